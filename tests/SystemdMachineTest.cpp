// Tests on a booted systemd machine (scripts/systemd-machine): an ordinary user logs in over SSH, where the
// session's group belongs to root, and the user's systemd manager moves a process into a scope the user
// owns, where the freezer holds it against tmux; and the daemon, installed from the Debian package and run as
// the user's systemd service, holds a Claude Code stand-in started in tmux from the SSH login. The machine
// boots once per test program and is torn down at its end. They need root and systemd-nspawn and skip, saying
// why, where a machine cannot be booted (TARNEL_SYSTEMD_MACHINE=0 skips them too); under CI (CI=true) they
// fail instead, naming the reason.
//   ctest --test-dir build -L systemd --output-on-failure

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <memory>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "DebianPackage.hpp"
#include "RealWorld.hpp"
#include "SkipOrFailInCI.hpp"
#include "TestSupport.hpp"

namespace tracker::test {
namespace {

// The source and build trees appear inside the machine at the same places as here (the build writable, its
// changes kept in the machine), so that the build installs there as it would here.
const std::string sourceDir = TARNEL_SOURCE_DIR;
const std::string buildDir = TARNEL_BINARY_DIR;
const std::string probe = buildDir + "/tests/user_scope_probe";
const std::string script = std::string(TARNEL_SOURCE_DIR) + "/scripts/systemd-machine";

long long millisecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}

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
        if (const char* wanted = std::getenv("TARNEL_SYSTEMD_MACHINE"); wanted && std::string(wanted) == "0") {
            skipReason_ = "TARNEL_SYSTEMD_MACHINE=0 asks for no systemd machine";
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
                         shellQuote(sourceDir) + " --overlay " + shellQuote(buildDir) + " 2>&1";
        auto start = std::chrono::steady_clock::now();
        if (runProgram({"sh", "-c", up}, &output) != 0) {
            skipReason_ = "the systemd machine did not come up: " + lastLines(output, 3);
            dir_.reset();
            return;
        }
        up_ = true;
        std::cout << "[ machine  ] up in " << millisecondsSince(start) << " ms: " << lastLines(output, 1) << "\n";
    }

    void TearDown() override {
        if (!up_) return;
        std::string output;
        auto start = std::chrono::steady_clock::now();
        int status = runProgram(
            {"sh", "-c", shellQuote(script) + " down " + shellQuote(dir_->file("machine")) + " 2>&1"}, &output);
        EXPECT_EQ(status, 0) << "the machine was not removed cleanly:\n" << output;
        std::cout << "[ machine  ] down in " << millisecondsSince(start) << " ms\n";
        up_ = false;
        dir_.reset();
    }

    const std::string& skipReason() const { return skipReason_; }

    // Runs a bash script in a fresh SSH login of the test user; its exit status, and what it printed on
    // either stream in *output. $probe names the probe program there, $build the build tree.
    int ssh(const std::string& bashScript, std::string* output) const {
        std::string prelude = "exec 2>&1\nprobe=" + shellQuote(probe) + "\nbuild=" + shellQuote(buildDir) + "\n";
        return runProgram({script, "ssh", dir_->file("machine"), "--", "bash", "-c", prelude + bashScript}, output);
    }

    // Runs a command as root inside the machine; its exit status, its output (both streams) in *output.
    int exec(const std::string& shellScript, std::string* output) const {
        return runProgram({script, "exec", dir_->file("machine"), "--", "sh", "-c", "exec 2>&1\n" + shellScript},
                          output);
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
        if (!machine->skipReason().empty()) SKIP_OR_FAIL_IN_CI(machine->skipReason());
    }
};

// `up` waits until the process it started has exec'd systemd-nspawn: until then that process is the shell
// (here a setsid that takes its time), which is no reason to give up. A second machine, booted and removed.
TEST_F(SystemdMachineTest, UpWaitsForTheStartOfSystemdNspawn) {
    TempDir dir;
    writeFile(dir.file("setsid"), "#!/bin/sh\nsleep 0.5\nexec /usr/bin/setsid \"$@\"\n");
    ASSERT_EQ(::chmod(dir.file("setsid").c_str(), 0755), 0);
    const std::string machineDir = dir.file("machine");
    struct Down {
        std::string dir;
        ~Down() { runProgram({"sh", "-c", shellQuote(script) + " down " + shellQuote(dir) + " >/dev/null 2>&1"}); }
    } down{machineDir};
    std::string output;
    int status = runProgram(
        {"sh", "-c",
         "PATH=" + shellQuote(dir.path()) + ":$PATH " + shellQuote(script) + " up " + shellQuote(machineDir) + " 2>&1"},
        &output);
    EXPECT_EQ(status, 0) << output;
    EXPECT_NE(output.find("systemd-machine: up:"), std::string::npos) << output;
}

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

// The daemon as the user's systemd service, installed from the Debian package as a new user would have it:
// root installs the package with dpkg; the user, in an SSH login, enables the unit and puts the tee into Claude
// Code's settings. Once for every test below.
class DaemonService : public SystemdMachineTest {
protected:
    void SetUp() override {
        SystemdMachineTest::SetUp();
        if (IsSkipped() || HasFailure()) return;
        static std::string failure = install();
        ASSERT_EQ(failure, "") << "installing the Debian package and enabling the daemon failed";
    }

    static std::string install() {
        const std::string deb = debianPackage();
        if (deb.empty()) return "no package in " + debianPackageDir() + " (the DebianPackage test makes it)";
        std::string output;
        if (machine->exec("dpkg -i " + shellQuote(deb) + " >/dev/null", &output) != 0) return "dpkg -i: " + output;
        int status = machine->ssh(R"sh(
            set -e
            echo "tarnel $(command -v tarnel)"
            man -w tarnel | sed 's/^/man /'
            systemctl --user daemon-reload
            systemctl --user enable --now tarnel-vovivida.service
            systemctl --user is-active tarnel-vovivida.service
            tarnel install
            sed -n 's/.*"command": "\([^"]*tarnel-tee\)".*/status-line \1/p' ~/.claude/settings.json
        )sh",
                                  &output);
        if (status != 0) return "systemctl --user enable --now and tarnel install: " + output;
        // The packaged programs, found as a new user finds them, and the tee install names the packaged one.
        auto got = fields(output);
        if (got["tarnel"] != "/usr/bin/tarnel" || got["status-line"] != "/usr/bin/tarnel-tee" ||
            got["man"] != "/usr/share/man/man1/tarnel.1.gz") {
            return "not the packaged programs and man page:\n" + output;
        }
        return "";
    }
};

// Milliseconds between the clock texts ("2026-12-08 10:41:28,123") that begin two log lines; -1 when either
// has none.
long long logMilliseconds(const std::string& line) {
    int hours = 0, minutes = 0, seconds = 0, millis = 0;
    if (line.size() < 23 || std::sscanf(line.c_str() + 11, "%d:%d:%d,%d", &hours, &minutes, &seconds, &millis) != 4) {
        return -1;
    }
    return ((hours * 60LL + minutes) * 60 + seconds) * 1000 + millis;
}

// The whole life of a hold in an SSH login: a stand-in started in tmux from the login crosses the threshold
// and is held (moved into a scope of the user's manager and frozen there); a SIGSTOP and SIGCONT, what tmux
// sends, do not undo it; a SIGKILL of the daemon makes systemd start it again, and the new daemon keeps the
// hold and continues the stand-in at the window's reset; the stand-in runs on in its scope, which goes away
// when it ends, and nothing of ours is left.
TEST_F(DaemonService, HoldsAStandInInTmuxFromAnSshLoginThroughADaemonCrashUntilTheReset) {
    std::string output;
    int status = machine->ssh(R"sh(
        trap 'tmux kill-server 2>/dev/null' EXIT
        now() { date +%s.%N; }
        ms() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%d", (b - a) * 1000 }'; }
        beat() { cat ~/stand-in/beat 2>/dev/null || echo 0; }
        group() { sed -n 's/^0:://p' /proc/$pid/cgroup; }
        frozen() { grep -qx 'frozen 1' /sys/fs/cgroup$(group)/cgroup.events 2>/dev/null; }
        waitfor() { local k; for k in $(seq $(($1 * 20))); do eval "$2" && return 0; sleep 0.05; done; return 1; }
        mainpid() { systemctl --user show -p MainPID --value tarnel-vovivida.service; }
        limits() { echo "{\"five_hour\": {\"used_percentage\": $1, \"resets_at\": $2}}" >~/stand-in/limits.json.new
                   mv ~/stand-in/limits.json.new ~/stand-in/limits.json; }
        mkdir -p ~/stand-in
        limits 10 $(($(date +%s) + 3600))
        tmux new-session -d -s claude "exec $build/tests/claude --settings $HOME/.claude/settings.json \
            --period-ms 200 --heartbeat $HOME/stand-in/beat --limits-file $HOME/stand-in/limits.json"
        waitfor 10 '[ $(beat) -gt 2 ]' || echo "stand-in does not run"
        pid=$(tmux list-panes -t claude -F '#{pane_pid}')
        echo "session $(group)"
        waitfor 10 '[ -n "$(ls ~/.claude/usage-state/sessions 2>/dev/null)" ]' || echo "no record"

        resume=$(($(date +%s) + 20))
        limits 95 $resume
        crossed=$(now)
        waitfor 15 frozen || echo "not held"
        echo "held-after $(ms $crossed $(now))"
        echo "held-in $(group)"
        # Held by the daemon the unit confines (see the unit's hardening).
        echo "no-new-privileges $(awk '/^NoNewPrivs:/ { print $2 }' /proc/$(mainpid)/status)"

        before=$(beat); kill -STOP $pid; kill -CONT $pid; sleep 1.5
        echo "stays $before $(beat)"

        old=$(mainpid)
        nrestarts() { systemctl --user show -p NRestarts --value tarnel-vovivida.service; }
        restarts=$(nrestarts)
        kill -KILL $old
        killed=$(now)
        restarted() { local p; p=$(mainpid); [ -n "$p" ] && [ "$p" != 0 ] && [ "$p" != "$old" ]; }
        waitfor 20 restarted || echo "not restarted"
        echo "restarted-after $(ms $killed $(now))"
        # Read once the restart is seen and counted (bounded: a restart never counted shows as 0).
        waitfor 5 '[ "$(nrestarts)" -gt "$restarts" ]'
        echo "restarts $(($(nrestarts) - restarts))"
        sleep 1
        frozen && echo "kept frozen $before $(beat)" || echo "kept thawed $before $(beat)"

        waitfor 30 '[ $(beat) -gt $before ]' || echo "not resumed"
        echo "resumed-after-reset $(ms $resume $(now))"
        limits 10 $(($(date +%s) + 3600))
        sleep 1
        echo "thawed-in $(group)"
        ours() { find /sys/fs/cgroup -type d -name 'tarnel-*' ! -name tarnel-vovivida.service | sed 's|^/sys/fs/cgroup||'; }
        echo "ours-running $(ours | xargs)"
        grep -a -e '\[doFreeze\] Entry' -e 'cgroup freeze pid=' -e 'cannot be frozen' -e 'adopt' \
            -e '\[doThaw\]\|thaw' ~/.claude/usage-state/daemon.log | sed 's/^/log /'
        # The journal has the same lines, each with its priority and without a stamp of its own.
        journal() { journalctl --user -u tarnel-vovivida.service -o cat --no-pager "$@" 2>&1; }
        journal -p info | grep -a -m1 'cgroup freeze pid=' | sed 's/^/journal-info /'
        echo "journal-warning-info-lines $(journal -p warning | grep -ac '^INFO ')"

        tmux kill-server
        waitfor 10 '[ -z "$(ours)" ]'
        echo "ours-after $(ours | xargs)"
    )sh",
                              &output);
    ASSERT_EQ(status, 0) << output;
    auto got = fields(output);
    for (const char* complaint : {"stand-in does not run", "no record", "not held", "not restarted", "not resumed"}) {
        EXPECT_EQ(output.find(complaint), std::string::npos) << complaint << "\n" << output;
    }
    std::string pid;
    EXPECT_NE(got["session"].find("/session-"), std::string::npos) << output;
    auto scope = got["held-in"];
    auto slash = scope.rfind("/tarnel-freeze-");
    ASSERT_NE(slash, std::string::npos) << output;
    pid = scope.substr(slash + std::string("/tarnel-freeze-").size());
    EXPECT_TRUE(scope.find("/user@") != std::string::npos &&
                scope.find("/app.slice/tarnel-" + pid + ".scope/tarnel-freeze-" + pid) != std::string::npos)
        << output;

    EXPECT_EQ(got["no-new-privileges"], "1") << "the daemon runs without the unit's hardening\n" << output;

    std::istringstream stays(got["stays"]);
    long before = -1, after = -2;
    stays >> before >> after;
    EXPECT_EQ(before, after) << "a SIGSTOP and SIGCONT undid the hold\n" << output;
    EXPECT_EQ(got["restarts"], "1") << output;
    EXPECT_EQ(got["kept"].rfind("frozen", 0), 0u) << "the new daemon lost the hold\n" << output;
    std::istringstream kept(got["kept"].substr(got["kept"].find(' ') + 1));
    kept >> before >> after;
    EXPECT_EQ(before, after) << output;

    // Continued at the reset (a refresh later), not before it.
    long long late = std::stoll("0" + got["resumed-after-reset"]);
    EXPECT_GE(late, -500) << output;
    EXPECT_LE(late, 5000) << output;
    EXPECT_EQ(got["thawed-in"], scope.substr(0, slash)) << "the thawed stand-in runs on in its scope\n" << output;
    EXPECT_EQ(got["ours-running"], scope.substr(0, slash)) << output;
    EXPECT_EQ(got["ours-after"], "") << output;

    // The log says which way held, and the decision-to-frozen time is reported.
    std::string decided, held;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("log ", 0) != 0) continue;
        if (decided.empty() && line.find("[doFreeze] Entry") != std::string::npos) decided = line.substr(4);
        if (held.empty() &&
            line.find("cgroup freeze pid=" + pid + " ok (user scope tarnel-" + pid + ".scope") != std::string::npos) {
            held = line.substr(4);
        }
    }
    EXPECT_FALSE(held.empty()) << output;
    EXPECT_EQ(output.find("cannot be frozen"), std::string::npos) << output;
    // journalctl --user -p info shows the hold, with its label and no second stamp; -p warning leaves info out.
    EXPECT_EQ(got["journal-info"].rfind("INFO     [", 0), 0u) << output;
    EXPECT_NE(got["journal-info"].find("cgroup freeze pid=" + pid + " ok"), std::string::npos) << output;
    EXPECT_EQ(got["journal-warning-info-lines"], "0") << output;
    std::cout << "[ measured ] threshold crossed -> held: " << got["held-after"]
              << " ms; decision -> frozen in its user scope: "
              << (decided.empty() || held.empty() ? -1 : logMilliseconds(held) - logMilliseconds(decided))
              << " ms; daemon killed -> restarted: " << got["restarted-after"]
              << " ms; reset -> running: " << got["resumed-after-reset"] << " ms\n";
}

// The unit's Restart= rules: a daemon that dies is started again (above), one that exits with status 2 (a state
// directory it may not trust, which trying again does not mend) is not.
TEST_F(DaemonService, AnExitWithStatusTwoIsNotRestarted) {
    std::string output;
    int status = machine->ssh(R"sh(
        show() { systemctl --user show -p $1 --value tarnel-vovivida.service; }
        trap 'chmod 700 ~/.claude/usage-state; systemctl --user reset-failed tarnel-vovivida.service
              systemctl --user start tarnel-vovivida.service' EXIT
        chmod 770 ~/.claude/usage-state
        systemctl --user restart tarnel-vovivida.service
        for k in $(seq 100); do [ "$(show ActiveState)" = failed ] && break; sleep 0.1; done
        # (A start by hand counts restarts from 0 again.) Longer than RestartSec=, so that a restart would come.
        restarts=$(show NRestarts)
        sleep 6
        echo "state $(show ActiveState)"
        echo "status $(show ExecMainStatus)"
        echo "restarts $(($(show NRestarts) - restarts))"
        grep -a 'usage-state' ~/.claude/usage-state/daemon.log | tail -1 | sed 's/^/log /'
        journalctl --user -u tarnel-vovivida.service -n 3 --no-pager 2>/dev/null | sed 's/^/journal /'
    )sh",
                              &output);
    ASSERT_EQ(status, 0) << output;
    auto got = fields(output);
    EXPECT_EQ(got["state"], "failed") << output;
    EXPECT_EQ(got["status"], "2") << output;
    EXPECT_EQ(got["restarts"], "0") << output;
}

// Removing the package (after the user stopped the daemon, as the README says) takes the programs and the unit
// and leaves the user's state directory and settings alone; `tarnel restore` of another install (the build's
// here) still takes the packaged tee out of the settings afterwards.
TEST_F(DaemonService, RemovingThePackageLeavesTheUsersStateAndSettings) {
    std::string output;
    ASSERT_EQ(machine->ssh("systemctl --user disable --now tarnel-vovivida.service", &output), 0) << output;
    ASSERT_EQ(machine->exec("dpkg -r tarnel >/dev/null", &output), 0) << output;
    int status = machine->ssh(R"sh(
        for f in /usr/bin/tarnel /usr/bin/tarnel-tee /usr/bin/tarnel-vovivida /usr/lib/systemd/user/tarnel-vovivida.service \
                 /usr/share/man/man1/tarnel.1.gz; do [ -e $f ] && echo "left $f"; done
        [ -f ~/.claude/usage-state/config.json ] && echo "state kept"
        grep -q '/usr/bin/tarnel-tee' ~/.claude/settings.json && echo "settings kept"
        $build/Tracker/tarnel restore >/dev/null && echo "restore done"
        grep -c 'tarnel-tee' ~/.claude/settings.json | sed 's/^/tee-mentions /'
    )sh",
                              &output);
    ASSERT_EQ(status, 0) << output;
    auto got = fields(output);
    EXPECT_EQ(got.count("left"), 0u) << output;
    EXPECT_EQ(got["state"], "kept") << output;
    EXPECT_EQ(got["settings"], "kept") << output;
    EXPECT_EQ(got["restore"], "done") << output;
    EXPECT_EQ(got["tee-mentions"], "0") << output;
}

}  // namespace
}  // namespace tracker::test
