// Every program answers --version with the project's version as CMakeLists.txt's project() sets it, and the
// tee's --help prints its usage: both before anything else runs (the tee records nothing, the daemon starts
// nothing).

#include <gtest/gtest.h>

#include <string>

#include "HelpText.hpp"
#include "RealWorld.hpp"
#include "TestSupport.hpp"

namespace tracker::test {
namespace {

std::string projectVersion() {
    std::string version;
    runProgram({"sed", "-n", "s/^project(tarnel VERSION \\([0-9.]*\\).*/\\1/p",
                std::string(TARNEL_SOURCE_DIR) + "/CMakeLists.txt"},
               &version);
    return version;
}

class Version : public ::testing::TestWithParam<const char*> {};

TEST_P(Version, PrintsTheProjectsVersion) {
    const std::string version = projectVersion();
    ASSERT_FALSE(version.empty());
    const std::string program = GetParam();
    std::string out;
    EXPECT_EQ(runProgram({builtProgram(program), "--version"}, &out), 0);
    EXPECT_EQ(out, program + " " + version);
}

INSTANTIATE_TEST_SUITE_P(EachProgram, Version, ::testing::Values("tarnel", "tarnel-tee", "tarnel-vovivida"),
                         [](const auto& info) {
                             std::string name = info.param;
                             for (auto& c : name) c = c == '-' ? '_' : c;
                             return name;
                         });

// The tee's usage names its one mode; asked for it, the tee reads no status and records nothing.
TEST(TeeHelp, PrintsItsUsageAndRecordsNothing) {
    TempDir home;
    const std::string state = home.file("state");
    for (const char* word : {"--help", "-h"}) {
        std::string out;
        EXPECT_EQ(runProgram({"env", "VAZ_ADODIVO_STATE_DIR=" + state, builtProgram("tarnel-tee"), word}, &out), 0);
        EXPECT_EQ(out.rfind("usage: tarnel-tee", 0), 0u) << out;
        EXPECT_EQ(longOptions(out), (std::set<std::string>{"--help", "--hook", "--version"})) << out;
    }
    EXPECT_FALSE(fileExists(state));
}

}  // namespace
}  // namespace tracker::test
