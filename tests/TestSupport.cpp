#include "TestSupport.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "Core/Spawn.hpp"
#include "Platform/linux/CgroupFreezer.hpp"

namespace fs = std::filesystem;

namespace tracker::test {

namespace {

// A test that ends a process while it is frozen leaves its freeze cgroup
// behind, empty once the process is gone. Every test program removes such
// cgroups when it ends (those of live processes stay: they may be in use).
class FreezeCgroupCleanup : public ::testing::Environment {
public:
    void TearDown() override {
        CgroupFreezer freezer;
        for (int attempt = 0; attempt < 20 && !freezer.groups().empty(); ++attempt) {
            freezer.removeUnused();
            if (freezer.groups().empty()) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));  // a dying task leaves its cgroup late
        }
    }
};

[[maybe_unused]] ::testing::Environment* const freezeCgroupCleanup =
    ::testing::AddGlobalTestEnvironment(new FreezeCgroupCleanup);

}  // namespace

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/tarnel-test-XXXXXX";
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed for " + pattern);
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    // Leave nothing read-only behind that would stop the removal.
    for (auto it = fs::recursive_directory_iterator(path_, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(path_, ec);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    if (!out) throw std::runtime_error("could not write " + path);
}

bool fileExists(const std::string& path) {
    std::error_code ec;
    return fs::exists(fs::symlink_status(path, ec));
}

std::string fixturePath(const std::string& name) {
    return std::string(TARNEL_SOURCE_DIR) + "/tests/fixtures/" + name;
}

std::string statusInputFixture() {
    return readFile(fixturePath("status-input.json"));
}

std::string builtProgram(const std::string& name) {
    return std::string(TARNEL_BINARY_DIR) + "/Tracker/" + name;
}

std::string supportProgram(const std::string& name) {
    return std::string(TARNEL_TEST_BINARY_DIR) + "/" + name;
}

ScopedEnv::ScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name)) previous_ = old;
    ::setenv(name, value.c_str(), 1);
}

ScopedEnv::~ScopedEnv() {
    if (previous_) {
        ::setenv(name_, previous_->c_str(), 1);
    } else {
        ::unsetenv(name_);
    }
}

std::string psStart(std::int64_t pid) {
    std::string out = Spawn::capture({"/bin/ps", "-o", "lstart=", "-p", std::to_string(pid)});
    size_t start = out.find_first_not_of(" \n");
    if (start == std::string::npos) return "";
    size_t end = out.find_last_not_of(" \n");
    return out.substr(start, end - start + 1);
}

int occurrences(const std::string& text, const std::string& part) {
    int count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

Proc processRow(std::int64_t pid, std::int64_t ppid, std::string command, ProcessStart start, RunState state,
                std::optional<std::uint64_t> terminal) {
    Proc proc;
    proc.pid = pid;
    proc.ppid = ppid;
    proc.state = state;
    proc.foreground = terminal.has_value();
    proc.terminal = terminal;
    proc.start = std::move(start);
    proc.command = std::move(command);
    return proc;
}

}  // namespace tracker::test
