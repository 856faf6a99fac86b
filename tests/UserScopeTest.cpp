// UserScope where no user manager answers: every refusal comes back as a reason, within the bound, and
// nothing is moved. (The moves themselves are tested on a booted systemd machine: SystemdMachineTest.)

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ostream>
#include <string>

#include "Platform/UserScope.hpp"
#include "Platform/linux/CgroupV2.hpp"
#include "TestSupport.hpp"

namespace tracker::test {
namespace {

// A socket that takes connections into its backlog and never says a word: a bus that hangs.
class SilentSocket {
public:
    explicit SilentSocket(const std::string& path) {
        fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd_, 8) != 0) {
            ADD_FAILURE() << "cannot listen on " << path << ": " << std::strerror(errno);
        }
    }
    ~SilentSocket() {
        if (fd_ >= 0) close(fd_);
    }
    SilentSocket(const SilentSocket&) = delete;
    SilentSocket& operator=(const SilentSocket&) = delete;

private:
    int fd_ = -1;
};

struct Refusal {
    const char* name;
    std::int64_t pid;  // 0: this test's own process
    const char* scope;
    const char* bus;  // "missing", "silent" or "" (whatever the environment has)
    const char* says;
};

void PrintTo(const Refusal& c, std::ostream* out) {
    *out << c.name;
}

class UserScopeRefusals : public ::testing::TestWithParam<Refusal> {};

TEST_P(UserScopeRefusals, ComeBackAsReasonsWithinTheBound) {
    const auto& c = GetParam();
    TempDir dir;
    std::string bus = std::string(c.bus) == "missing"  ? "unix:path=" + dir.file("no-bus")
                      : std::string(c.bus) == "silent" ? "unix:path=" + dir.file("silent-bus")
                                                       : "";
    SilentSocket silent(dir.file("silent-bus"));
    ScopedEnv address("DBUS_SESSION_BUS_ADDRESS", bus.empty() ? "unix:path=" + dir.file("no-bus") : bus);
    auto before = CgroupV2::pathOf(getpid());

    std::int64_t pid = c.pid == 0 ? getpid() : c.pid;
    std::string whyNot;
    auto start = std::chrono::steady_clock::now();
    auto moved = UserScope::move(pid, c.scope, &whyNot, std::chrono::milliseconds(300));
    auto took = std::chrono::steady_clock::now() - start;

    EXPECT_FALSE(moved.has_value()) << *moved;
    EXPECT_NE(whyNot.find(c.says), std::string::npos) << whyNot;
    // Not a timing target: a hang would run into the seconds.
    EXPECT_LT(took, std::chrono::seconds(3)) << whyNot;
    EXPECT_EQ(CgroupV2::pathOf(getpid()), before);

    std::string removeWhy;
    EXPECT_FALSE(UserScope::remove(c.scope, &removeWhy, std::chrono::milliseconds(300)));
    EXPECT_FALSE(removeWhy.empty());
}

INSTANTIATE_TEST_SUITE_P(
    UserScope, UserScopeRefusals,
    ::testing::Values(Refusal{"NoBus", 0, "tarnel-test.scope", "missing", "cannot reach the user bus"},
                      Refusal{"SilentBus", 0, "tarnel-test.scope", "silent", "did not answer in time"},
                      Refusal{"ZeroPid", -1, "tarnel-test.scope", "missing", "not a process id"},
                      Refusal{"GonePid", 2147483000, "tarnel-test.scope", "missing", "is gone"},
                      Refusal{"NotAScope", 0, "tarnel-test.service", "missing", "not a scope name"},
                      Refusal{"PathInName", 0, "../tarnel.scope", "missing", "not a scope name"},
                      Refusal{"EmptyName", 0, ".scope", "missing", "not a scope name"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(UserScopeName, NamesTheProjectAndThePid) {
    EXPECT_EQ(UserScope::nameFor(4242), "tarnel-4242.scope");
}

}  // namespace
}  // namespace tracker::test
