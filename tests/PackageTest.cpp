// The Debian package cpack makes (the DebianPackage test makes it first) holds what a user of it needs where
// Debian looks for it: the programs, the user unit naming /usr/bin, man pages that render and describe every
// command and option the programs' --help names, the completions, the documentation, and Depends worked out
// from the shared libraries. Booted and used: SystemdMachineTest.

#include <gtest/gtest.h>

#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "DebianPackage.hpp"
#include "HelpText.hpp"
#include "RealWorld.hpp"
#include "SkipOrFailInCI.hpp"
#include "TestSupport.hpp"

namespace tracker::test {
namespace {

const std::string sourceDir = TARNEL_SOURCE_DIR;

std::string run(const std::string& shellScript) {
    std::string output;
    runProgram({"sh", "-c", shellScript + " 2>&1"}, &output);
    return output;
}

// The section of a man page source under a heading ("## pause", "# OPTIONS"), up to the next heading of the
// same or a higher level.
std::string section(const std::string& page, const std::string& heading) {
    const auto level = heading.find(' ');
    std::istringstream lines(page);
    std::string text;
    bool inside = false;
    for (std::string line; std::getline(lines, line);) {
        const auto hashes = line.find_first_not_of('#');
        if (line.starts_with('#') && hashes <= level && line[hashes] == ' ') inside = line == heading;
        if (inside) text += line + "\n";
    }
    return text;
}

class Package : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        deb_ = debianPackage();
        if (deb_.empty()) return;
        root_ = std::make_unique<TempDir>();
        extracted_ = runProgram({"dpkg-deb", "-x", deb_, root_->path()}) == 0;
    }
    static void TearDownTestSuite() { root_.reset(); }

    void SetUp() override {
        if (deb_.empty()) {
            SKIP_OR_FAIL_IN_CI("no package in " + debianPackageDir() + " (the DebianPackage test makes it)");
        }
        ASSERT_TRUE(extracted_) << "dpkg-deb -x " << deb_;
    }

    static std::string unpacked(const std::string& path) { return root_->path() + path; }

    static inline std::string deb_;
    static inline std::unique_ptr<TempDir> root_;
    static inline bool extracted_ = false;
};

TEST_F(Package, HoldsEachFileWhereDebianLooksAndNothingElse) {
    std::set<std::string> files;
    std::istringstream listing(run("dpkg-deb --fsys-tarfile '" + deb_ + "' | tar -t"));
    for (std::string line; std::getline(listing, line);) {
        if (!line.empty() && line.back() != '/') files.insert(line);
    }
    const std::set<std::string> expected{
        "./usr/bin/tarnel",
        "./usr/bin/tarnel-tee",
        "./usr/bin/tarnel-vovivida",
        "./usr/lib/systemd/user/tarnel-vovivida.service",
        "./usr/share/man/man1/tarnel.1.gz",
        "./usr/share/man/man1/tarnel-tee.1.gz",
        "./usr/share/man/man1/tarnel-vovivida.1.gz",
        "./usr/share/bash-completion/completions/tarnel",
        "./usr/share/zsh/vendor-completions/_tarnel",
        "./usr/share/fish/vendor_completions.d/tarnel.fish",
        "./usr/share/doc/tarnel/README.md",
        "./usr/share/doc/tarnel/copyright",
        "./usr/share/doc/tarnel/changelog.gz",
        "./usr/share/lintian/overrides/tarnel",
    };
    EXPECT_EQ(files, expected);

    // The unit runs the packaged daemon, not a path of the build or of the folder cpack staged it in.
    const std::string unit = readFile(unpacked("/usr/lib/systemd/user/tarnel-vovivida.service"));
    EXPECT_NE(unit.find("\nExecStart=/usr/bin/tarnel-vovivida\n"), std::string::npos) << unit;
    EXPECT_EQ(readFile(unpacked("/usr/share/zsh/vendor-completions/_tarnel")),
              readFile(sourceDir + "/packaging/completions/_tarnel"));
}

TEST_F(Package, ControlNamesItsVersionAndTheLibrariesItNeeds) {
    auto field = [this](const std::string& name) {
        std::string value = run("dpkg-deb -f '" + deb_ + "' " + name);
        while (!value.empty() && value.back() == '\n') value.pop_back();
        return value;
    };
    EXPECT_EQ(field("Package"), "tarnel");
    std::string version;
    runProgram(
        {"sh", "-c", "sed -n 's/^project(tarnel VERSION \\([0-9.]*\\).*/\\1/p' '" + sourceDir + "/CMakeLists.txt'"},
        &version);
    EXPECT_EQ(field("Version") + "\n", version);
    EXPECT_EQ(field("Architecture") + "\n", run("dpkg --print-architecture"));
    // dpkg-shlibdeps worked them out: the C library and the systemd library the daemon talks to its manager with.
    const std::string depends = field("Depends");
    EXPECT_TRUE(std::regex_search(depends, std::regex("(^|, )libc6 \\(>= [0-9.]+\\)"))) << depends;
    EXPECT_TRUE(std::regex_search(depends, std::regex("(^|, )libsystemd0 \\(>= [0-9.]+\\)"))) << depends;
    EXPECT_NE(field("Recommends").find("dbus-user-session"), std::string::npos);
}

// Each page renders without a warning from man, and describes every command and option of its program's --help:
// tarnel's commands each in a section of their own, their options there or among the options every command takes.
TEST_F(Package, ManPagesRenderAndDescribeEveryCommandAndOption) {
    for (const char* page : {"tarnel", "tarnel-tee", "tarnel-vovivida"}) {
        const std::string file = unpacked("/usr/share/man/man1/" + std::string(page) + ".1.gz");
        const std::string rendered = run("MANWIDTH=80 man --warnings -E UTF-8 -l '" + file + "' 2>&1 >/dev/null");
        EXPECT_EQ(rendered, "") << page;
        EXPECT_NE(run("MANWIDTH=80 man -E UTF-8 -l '" + file + "'").find("EXIT STATUS"), std::string::npos) << page;
    }

    const std::string tarnel = readFile(sourceDir + "/packaging/man/tarnel.1.scd");
    const std::string common = section(tarnel, "# OPTIONS");
    ASSERT_FALSE(common.empty());
    const auto commands = tarnelCommands();
    ASSERT_GE(commands.size(), 6u);
    for (const auto& command : commands) {
        const std::string own = section(tarnel, "## " + command);
        EXPECT_FALSE(own.empty()) << "tarnel(1) has no section for the command " << command;
        for (const auto& option : tarnelOptions(command)) {
            EXPECT_TRUE(own.find("*" + option + "*") != std::string::npos ||
                        common.find("*" + option + "*") != std::string::npos)
                << "tarnel(1) does not describe tarnel " << command << " " << option;
        }
    }

    const std::string daemon = readFile(sourceDir + "/packaging/man/tarnel-vovivida.1.scd");
    for (const auto& option : longOptions(helpOf("tarnel-vovivida", {"--help"}))) {
        EXPECT_NE(section(daemon, "# OPTIONS").find("*" + option + "*"), std::string::npos)
            << "tarnel-vovivida(1) does not describe " << option;
    }
    EXPECT_NE(section(readFile(sourceDir + "/packaging/man/tarnel-tee.1.scd"), "# OPTIONS").find("*--hook*"),
              std::string::npos);
}

}  // namespace
}  // namespace tracker::test
