// Tests on a booted systemd machine (scripts/systemd-machine): an ordinary user logs in over SSH, where the
// session's group belongs to root, and the user's systemd manager moves a process into a scope the user
// owns, where the freezer holds it against tmux. The machine boots once per test program and is torn down
// at its end. Needs root and systemd-nspawn; set TARNEL_SYSTEMD_MACHINE=1 to run them (they skip, saying
// why, otherwise):
//   TARNEL_SYSTEMD_MACHINE=1 ctest --test-dir build -L systemd --output-on-failure

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "RealWorld.hpp"
#include "TestSupport.hpp"

namespace tracker::test {
namespace {

// Where the build appears inside the machine (read-only).
const std::string buildInside = "/opt/tarnel-build";
const std::string probe = buildInside + "/tests/user_scope_probe";
const std::string script = std::string(TARNEL_SOURCE_DIR) + "/scripts/systemd-machine";

// The last lines of a program's output, for a reason to give.
std::string lastLines(const std::string& text, std::size_t count) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    std::string result;
    for (auto k = lines.size() > count ? lines.size() - count : 0; k < lines.size(); ++k) {
        result += (result.empty() ? "" : " / ") + lines[k];
    }
    return result;
}

class Machine : public ::testing::Environment {
public:
    void SetUp() override {
        if (!std::getenv("TARNEL_SYSTEMD_MACHINE")) {
            skipReason_ = "set TARNEL_SYSTEMD_MACHINE=1 to boot a systemd machine for these tests";
            return;
        }
        if (geteuid() != 0) {
            skipReason_ = "booting a systemd machine needs root";
            return;
        }
        std::string output;
        if (runProgram({"sh", "-c", shellQuote(script) + " check 2>&1"}, &output) != 0) {
            skipReason_ = "no systemd machine can be booted here: " + lastLines(output, 1);
            return;
        }
        dir_ = std::make_unique<TempDir>();
        std::string up = shellQuote(script) + " up " + shellQuote(dir_->file("machine")) + " --bind-ro " +
                         shellQuote(std::string(TARNEL_BINARY_DIR) + ":" + buildInside) + " 2>&1";
        if (runProgram({"sh", "-c", up}, &output) != 0) {
            skipReason_ = "the systemd machine did not come up: " + lastLines(output, 3);
            dir_.reset();
            return;
        }
        up_ = true;
    }

    void TearDown() override {
        if (!up_) return;
        std::string output;
        int status = runProgram(
            {"sh", "-c", shellQuote(script) + " down " + shellQuote(dir_->file("machine")) + " 2>&1"}, &output);
        EXPECT_EQ(status, 0) << "the machine was not removed cleanly:\n" << output;
        up_ = false;
        dir_.reset();
    }

    const std::string& skipReason() const { return skipReason_; }

    // Runs a bash script in a fresh SSH login of the test user; its exit status, and what it printed on
    // either stream in *output.
    // $probe names the probe program there.
    int ssh(const std::string& bashScript, std::string* output) const {
        std::string prelude = "exec 2>&1\nprobe=" + probe + "\n";
        return runProgram({script, "ssh", dir_->file("machine"), "--", "bash", "-c", prelude + bashScript}, output);
    }

private:
    std::unique_ptr<TempDir> dir_;
    bool up_ = false;
    std::string skipReason_;
};

Machine* const machine = static_cast<Machine*>(::testing::AddGlobalTestEnvironment(new Machine));

// "key value" lines, the last of each key.
std::map<std::string, std::string> fields(const std::string& output) {
    std::map<std::string, std::string> result;
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
        auto space = line.find(' ');
        if (space != std::string::npos) result[line.substr(0, space)] = line.substr(space + 1);
    }
    return result;
}

class SystemdMachineTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!machine->skipReason().empty()) GTEST_SKIP() << machine->skipReason();
    }
};

// The situation this is all about: the login's own group belongs to root, so no group can be made in it.
TEST_F(SystemdMachineTest, SshLoginSitsInARootOwnedSessionScope) {
    std::string output;
    int status = machine->ssh(R"sh(
        group=$(sed -n 's/^0:://p' /proc/self/cgroup)
        echo "group $group"
        echo "owner $(stat -c %U /sys/fs/cgroup$group)"
        mkdir /sys/fs/cgroup$group/tarnel-probe && echo "mkdir made" || echo "mkdir refused"
    )sh",
                              &output);
    ASSERT_EQ(status, 0) << output;
    auto got = fields(output);
    EXPECT_TRUE(got["group"].find("/user.slice/user-") == 0 && got["group"].find("/session-") != std::string::npos)
        << output;
    EXPECT_EQ(got["owner"], "root") << output;
    EXPECT_EQ(got["mkdir"], "refused") << output;
}

// A tmux pane started from the SSH login goes, alone, into a scope the user owns; our freeze holds it there
// against SIGSTOP/SIGCONT (what tmux sends), the thaw lets it run on, and removing the scope ends it.
TEST_F(SystemdMachineTest, PaneMovesIntoAUserScopeWhereTheFreezeHolds) {
    std::string output;
    int status = machine->ssh(R"sh(
        trap 'tmux kill-server 2>/dev/null' EXIT
        count() { cat /tmp/pane-count; }
        tmux new-session -d -s held "sh -c 'sleep 600 & i=0; while :; do i=\$((i+1)); echo \$i >/tmp/pane-count; sleep 0.05; done'"
        for k in $(seq 100); do [ -s /tmp/pane-count ] && break; sleep 0.05; done
        pane=$(tmux list-panes -t held -F '#{pane_pid}')
        child=$(pgrep -P $pane sleep | head -1)
        echo "probe $($probe move $pane)"
        again=$($probe move $pane)
        echo "again ${again%% *}"
        scope=$(sed -n 's/^0:://p' /proc/$pane/cgroup)
        echo "scope $scope"
        echo "owner $(stat -c %U /sys/fs/cgroup$scope)"
        echo "child $(sed -n 's/^0:://p' /proc/$child/cgroup)"
        # The freezer's way (a child group, the move, cgroup.freeze) under a name that the holding tests
        # running on this host beside us do not take for one of their own groups.
        group=/sys/fs/cgroup$scope/test-hold-$pane
        mkdir $group && echo $pane >$group/cgroup.procs && echo 1 >$group/cgroup.freeze
        for k in $(seq 100); do grep -q 'frozen 1' $group/cgroup.events && break; sleep 0.02; done
        before=$(count); kill -STOP $pane; kill -CONT $pane; sleep 0.5
        echo "frozen $before $(count)"
        echo 0 >$group/cgroup.freeze
        for p in $(cat $group/cgroup.procs); do echo $p >/sys/fs/cgroup$scope/cgroup.procs; done
        rmdir $group
        before=$(count); sleep 0.5
        echo "thawed $before $(count)"
        echo "remove $($probe remove tarnel-$pane.scope)"
        for k in $(seq 100); do [ -d /sys/fs/cgroup$scope ] || break; sleep 0.02; done
        [ -d /sys/fs/cgroup$scope ] && echo "left scope" || echo "left nothing"
    )sh",
                              &output);
    ASSERT_EQ(status, 0) << output;
    auto got = fields(output);

    auto moved = got["probe"];
    EXPECT_EQ(moved.rfind("moved ", 0), 0u) << output;
    EXPECT_EQ(got["again"], "moved") << "a second move of a process already there fails\n" << output;
    EXPECT_NE(got["scope"].find("/user@"), std::string::npos) << output;
    EXPECT_NE(got["scope"].find(".service/app.slice/tarnel-"), std::string::npos) << output;
    EXPECT_NE(moved.find(got["scope"]), std::string::npos) << "the probe reports the group the pane is in\n" << output;
    EXPECT_NE(got["owner"], "root") << output;
    EXPECT_NE(got["child"].find("/session-"), std::string::npos) << "children it had stay behind\n" << output;

    auto pair = [](const std::string& text) {
        std::istringstream in(text);
        long before = -1, after = -1;
        in >> before >> after;
        return std::make_pair(before, after);
    };
    auto [frozenBefore, frozenAfter] = pair(got["frozen"]);
    EXPECT_GT(frozenBefore, 0) << output;
    EXPECT_EQ(frozenBefore, frozenAfter) << "the frozen pane ran on\n" << output;
    auto [thawedBefore, thawedAfter] = pair(got["thawed"]);
    EXPECT_GT(thawedAfter, thawedBefore) << "the thawed pane does not run\n" << output;
    EXPECT_EQ(got["remove"].rfind("removed", 0), 0u) << output;
    EXPECT_EQ(got["left"], "nothing") << output;
}

// What the manager or the bus refuse comes back as a reason, never as a hang or a crash; the user bus is
// found without the session's variables too (as in a service started before any login).
struct ProbeCase {
    const char* name;
    const char* command;  // run in the login; $probe is the probe, $$ the login's shell
    int status;
    const char* says;  // part of the probe's answer
};

void PrintTo(const ProbeCase& c, std::ostream* out) {
    *out << c.name;
}

class ProbeAnswers : public SystemdMachineTest, public ::testing::WithParamInterface<ProbeCase> {};

TEST_P(ProbeAnswers, SayWhy) {
    const auto& c = GetParam();
    std::string output;
    int status = machine->ssh(std::string(c.command) + "\necho \"status $?\"", &output);
    ASSERT_EQ(status, 0) << output;
    auto got = fields(output);
    EXPECT_EQ(got["status"], std::to_string(c.status)) << output;
    EXPECT_NE(output.find(c.says), std::string::npos) << output;
}

INSTANTIATE_TEST_SUITE_P(
    UserScope, ProbeAnswers,
    ::testing::Values(ProbeCase{"GoneProcess", "$probe move 2147483000", 1, "is gone"},
                      ProbeCase{"ManagerProcess", "$probe move 1 tarnel-1.scope", 1, "did not start tarnel-1.scope"},
                      ProbeCase{"BadName", "$probe move $$ ../x", 1, "not a scope name"},
                      ProbeCase{"NameTaken",
                                "sleep 60 & a=$!; sleep 60 & b=$!; $probe move $a taken.scope >/dev/null; "
                                "$probe move $b taken.scope; s=$?; kill $a $b; (exit $s)",
                                1, "taken.scope"},
                      ProbeCase{"NoBus", "DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent $probe move $$", 1,
                                "cannot reach the user bus"},
                      ProbeCase{
                          "NoSessionVariables",
                          "sleep 60 & a=$!; env -u DBUS_SESSION_BUS_ADDRESS -u XDG_RUNTIME_DIR $probe move $a; s=$?; "
                          "kill $a; (exit $s)",
                          0, "/app.slice/tarnel-"},
                      ProbeCase{"RemoveMissing", "$probe remove never-made.scope", 0, "removed"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tracker::test
