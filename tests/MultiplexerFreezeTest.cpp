// Freezing Claude Code sessions that run under terminal multiplexers, with real tmux and GNU screen and the
// Claude Code stand-in. tmux and screen resume a pane's process the moment it stops, so SIGSTOP alone does
// not hold there; the cgroup freezer does.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <thread>

#include "CgroupGuard.hpp"
#include "Core/ProcessTable.hpp"
#include "Daemon/FreezeOrder.hpp"
#include "Daemon/HoldingSignaller.hpp"
#include "Daemon/PosixSignaller.hpp"
#include "RealWorld.hpp"
#include "SkipOrFailInCI.hpp"
#include "TestSupport.hpp"

namespace tracker {
namespace {

using test::FreezeGroupGuard;
using test::readHeartbeat;
using test::StandIn;
using test::waitUntil;

struct Messages {
    std::vector<std::string> lines;
    LogHook hook() {
        return [this](const std::string& line) { lines.push_back(line); };
    }
    std::string all() const {
        std::string text;
        for (const auto& line : lines) text += line + "\n";
        return text;
    }
};

// How long a frozen session is watched.
constexpr auto frozenSpan = std::chrono::seconds(2);

bool commandIsStandIn(std::int64_t pid) {
    std::string cmdline = test::readFile("/proc/" + std::to_string(pid) + "/cmdline");
    return cmdline.rfind(test::supportProgram("claude") + std::string(1, '\0'), 0) == 0;
}

// Whether the session stays held for the whole span, whatever the multiplexer does meanwhile (it announces
// nothing): held by the signaller's freezer, frozen in its group, and its heartbeat unchanged.
::testing::AssertionResult staysFrozen(Signaller& signaller, std::int64_t pid, const std::string& heartbeat) {
    if (!signaller.isHeld(pid)) return ::testing::AssertionFailure() << "pid " << pid << " is not held";
    auto held = test::expectStaysHeld(pid, heartbeat, frozenSpan);
    if (held && !signaller.isHeld(pid)) return ::testing::AssertionFailure() << "pid " << pid << " is no longer held";
    return held;
}

class MultiplexerFreeze : public ::testing::Test {
protected:
    void SetUp() override { chmod(directory.path().c_str(), 0755); }

    void requireFreezer() {
        if (!CgroupV2::mount()) SKIP_OR_FAIL_IN_CI("no cgroup2 file system is mounted here");
        test::TestCgroup probe("tarnel-probe");
        if (!probe.made()) SKIP_OR_FAIL_IN_CI("the cgroup2 tree below this process cannot be written here");
    }

    test::TempDir directory;
    StandIn standIn{directory.path()};
    Messages messages;
};

TEST_F(MultiplexerFreeze, ShapeCInTmuxStaysFrozenAndRunsAgainAfterTheContinue) {
    requireFreezer();
    if (IsSkipped()) return;
    test::TmuxServer tmux;
    std::int64_t pid = tmux.newSession("s", "exec " + standIn.withCommand("echo tick").commandLine(50));
    ASSERT_GT(pid, 0);
    FreezeGroupGuard guard(pid);
    ASSERT_TRUE(test::heartbeatAdvances(standIn.heartbeat));
    ASSERT_TRUE(commandIsStandIn(pid));

    HoldingSignaller signaller(messages.hook());
    ASSERT_TRUE(signaller.stop(pid)) << messages.all();
    EXPECT_TRUE(staysFrozen(signaller, pid, standIn.heartbeat));
    ASSERT_TRUE(signaller.cont(pid));
    EXPECT_TRUE(test::heartbeatAdvances(standIn.heartbeat));
    EXPECT_FALSE(signaller.isHeld(pid));
    EXPECT_FALSE(test::fileExists(guard.group()));
    EXPECT_TRUE(messages.lines.empty()) << messages.all();
}

TEST_F(MultiplexerFreeze, ShapeCInScreenStaysFrozenAndRunsAgainAfterTheContinue) {
    requireFreezer();
    if (IsSkipped()) return;
    test::ScreenSession screen(standIn.arguments(50));
    std::int64_t pid = screen.windowPID();
    ASSERT_GT(pid, 0);
    FreezeGroupGuard guard(pid);
    ASSERT_TRUE(test::heartbeatAdvances(standIn.heartbeat));
    ASSERT_TRUE(commandIsStandIn(pid));

    HoldingSignaller signaller(messages.hook());
    ASSERT_TRUE(signaller.stop(pid)) << messages.all();
    EXPECT_TRUE(staysFrozen(signaller, pid, standIn.heartbeat));
    ASSERT_TRUE(signaller.cont(pid));
    EXPECT_TRUE(test::heartbeatAdvances(standIn.heartbeat));
    EXPECT_FALSE(test::fileExists(guard.group()));
    EXPECT_TRUE(messages.lines.empty()) << messages.all();
}

// Shape B: the stand-in as the foreground job of an interactive bash in a tmux pane.
class ShapeBInTmux : public MultiplexerFreeze {
protected:
    void startShellAndStandIn() {
        shellPID = tmux.newSession("s", "exec env PS1='ready$ ' HISTFILE=/dev/null bash --norc --noprofile -i");
        ASSERT_GT(shellPID, 0);
        ASSERT_TRUE(waitUntil([&] { return tmux.capture("s").find("ready$") != std::string::npos; }));
        tmux.sendKeys("s", standIn.withCommand("echo tick").commandLine(50));
        ASSERT_TRUE(waitUntil([&] {
            for (auto child : test::childrenOf(shellPID)) {
                if (commandIsStandIn(child)) claudePID = child;
            }
            return claudePID > 0;
        }));
        ASSERT_TRUE(test::heartbeatAdvances(standIn.heartbeat));
        ASSERT_TRUE(isForegroundJob());
        auto table = ProcessTable::fromSystem({shellPID, claudePID});
        ASSERT_TRUE(table.get(claudePID)) << "ps does not list the stand-in";
        target.pid = claudePID;
        target.pidStart = table.get(claudePID)->start.text();
        target.shellPID = shellPID;
        target.shape = Shape::b;
        target.sessionID = "shape-b-session";
        snapshot = table;
    }

    // Whether the stand-in's process group holds the terminal.
    bool isForegroundJob() const {
        auto stat = test::procStat(claudePID);
        return stat && stat->tpgid == stat->pgrp;
    }

    test::TmuxServer tmux;
    std::int64_t shellPID = -1;
    std::int64_t claudePID = -1;
    Target target;
    ProcessTable snapshot;
};

TEST_F(ShapeBInTmux, IsFrozenWithoutTheShellNoticingAndStaysTheForegroundJobAfterTheThaw) {
    requireFreezer();
    if (IsSkipped()) return;
    startShellAndStandIn();
    if (HasFatalFailure()) return;
    FreezeGroupGuard shellGuard(shellPID);
    FreezeGroupGuard claudeGuard(claudePID);

    HoldingSignaller signaller(messages.hook());
    auto frozen = freezeTarget(signaller, target, ShellStopMode::shellFirst, &snapshot, messages.hook());
    EXPECT_EQ(frozen, (std::vector<SignalResult>{{shellPID, true}, {claudePID, true}})) << messages.all();
    EXPECT_TRUE(staysFrozen(signaller, claudePID, standIn.heartbeat));
    EXPECT_TRUE(signaller.isHeld(shellPID));
    EXPECT_EQ(tmux.capture("s").find("Stopped"), std::string::npos) << tmux.capture("s");

    auto thawed = thawTarget(signaller, target, ShellStopMode::shellFirst, &snapshot, messages.hook());
    EXPECT_EQ(thawed, (std::vector<SignalResult>{{claudePID, true}, {shellPID, true}}));
    // Still refreshing, several times over, in the foreground: a job that lost the terminal would stop
    // (SIGTTOU) on its first terminal call after the continue.
    for (int beat = 0; beat < 3; ++beat) EXPECT_TRUE(test::heartbeatAdvances(standIn.heartbeat));
    EXPECT_TRUE(isForegroundJob());
    EXPECT_NE(test::processState(claudePID), 'T');
    EXPECT_EQ(tmux.capture("s").find("Stopped"), std::string::npos) << tmux.capture("s");
    EXPECT_TRUE(messages.lines.empty()) << messages.all();
}

// Without the freezer, the hold check reports the stops tmux undoes.
TEST_F(ShapeBInTmux, WithoutTheFreezerTheShellStopIsReportedAsNotHeld) {
    startShellAndStandIn();
    if (HasFatalFailure()) return;
    HoldingSignaller signaller(messages.hook(), std::make_unique<CgroupFreezer>(LogHook{}, std::nullopt));
    auto frozen = freezeTarget(signaller, target, ShellStopMode::shellFirst, &snapshot, messages.hook());
    ASSERT_EQ(frozen.size(), 2u);
    EXPECT_EQ(frozen[0], (SignalResult{shellPID, false}));
    EXPECT_NE(messages.all().find("error [signal] SIGSTOP pid=" + std::to_string(shellPID) + " did not hold"),
              std::string::npos)
        << messages.all();
    thawTarget(signaller, target, ShellStopMode::shellFirst, &snapshot, messages.hook());
}

TEST_F(MultiplexerFreeze, WithoutTheFreezerTheHoldCheckReportsTheTmuxCaseAsNotDelivered) {
    test::TmuxServer tmux;
    std::int64_t pid = tmux.newSession("s", "exec " + standIn.commandLine(50));
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(test::heartbeatAdvances(standIn.heartbeat));
    HoldingSignaller signaller(messages.hook(), std::make_unique<CgroupFreezer>(LogHook{}, std::nullopt));

    EXPECT_FALSE(signaller.stop(pid));
    ASSERT_EQ(messages.lines.size(), 2u) << messages.all();
    EXPECT_EQ(messages.lines[0], "warning [signal] pid " + std::to_string(pid) +
                                     " cannot be frozen through its cgroup (no cgroup2 file system is mounted) - "
                                     "using SIGSTOP/SIGCONT");
    EXPECT_EQ(messages.lines[1].rfind("error [signal] SIGSTOP pid=" + std::to_string(pid) + " did not hold - ", 0), 0u);
    EXPECT_NE(messages.lines[1].find("(tmux -L " + tmux.socketName()), std::string::npos) << messages.lines[1];
    // The session indeed goes on.
    EXPECT_TRUE(test::heartbeatAdvances(standIn.heartbeat));
    signaller.cont(pid);
}

TEST_F(MultiplexerFreeze, WithoutTheFreezerTheHoldCheckReportsTheScreenCaseAsNotDelivered) {
    test::ScreenSession screen(standIn.arguments(50));
    std::int64_t pid = screen.windowPID();
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(test::heartbeatAdvances(standIn.heartbeat));
    PosixSignaller signaller(messages.hook());

    EXPECT_FALSE(signaller.stop(pid));
    ASSERT_EQ(messages.lines.size(), 1u) << messages.all();
    std::string line = messages.lines[0];
    EXPECT_NE(line.find("parent pid=" + std::to_string(screen.serverPID()) + " (SCREEN -DmS"), std::string::npos)
        << line;
    EXPECT_TRUE(test::heartbeatAdvances(standIn.heartbeat));
    signaller.cont(pid);
}

}  // namespace
}  // namespace tracker
