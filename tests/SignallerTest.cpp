#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include "Daemon/DryRunSignaller.hpp"
#include "Daemon/FreezeOrder.hpp"
#include "Daemon/HoldingSignaller.hpp"
#include "Daemon/PosixSignaller.hpp"
#include "RealWorld.hpp"
#include "TestSupport.hpp"

namespace tracker {
namespace {

using test::ChildProcess;
using test::processState;
using test::waitUntil;

struct Messages {
    std::vector<std::string> lines;
    LogHook hook() {
        return [this](const std::string& line) { lines.push_back(line); };
    }
};

// When the made-up processes started, and as documents store it.
const ProcessStart started = test::startedAt(1'796'623'379);
const std::string startText = started.text();

Proc row(std::int64_t pid, std::int64_t ppid, std::string command, ProcessStart start = started) {
    return test::processRow(pid, ppid, std::move(command), std::move(start));
}

Target target(std::int64_t pid, std::optional<std::int64_t> shell, Shape shape, std::string pidStart = startText,
              std::string session = "0123456789abcdef") {
    Target t;
    t.pid = pid;
    t.pidStart = std::move(pidStart);
    t.shellPID = shell;
    t.shape = shape;
    t.sessionID = std::move(session);
    return t;
}

// A sleeping child that stays until the test ends.
std::unique_ptr<ChildProcess> sleeper() {
    return std::make_unique<ChildProcess>(std::vector<std::string>{"sleep", "600"});
}

bool stoppedSoon(std::int64_t pid) {
    return waitUntil([&] { return processState(pid) == 'T'; });
}
bool runningSoon(std::int64_t pid) {
    return waitUntil([&] {
        char state = processState(pid);
        return state != 'T' && state != '\0';
    });
}

TEST(PosixSignallerSend, RefusesPidsOutsideTwoTo2147483647WithoutASystemCall) {
    // Signal 0 only asks whether the pid could be signalled: kill() itself would say yes for 0 (our group),
    // -1 (every process) and 1, and a pid cut down to 32 bits would turn 2147483648 into a group.
    for (std::int64_t pid : {std::int64_t{0}, std::int64_t{1}, std::int64_t{-1}, std::int64_t{2147483648},
                             std::int64_t{-2147483648LL}, std::int64_t{4294967297LL}}) {
        EXPECT_FALSE(PosixSignaller::send(pid, 0)) << pid;
    }
}

TEST(PosixSignallerSend, SignalsARealProcess) {
    auto child = sleeper();
    EXPECT_TRUE(PosixSignaller::send(child->pid(), 0));
    EXPECT_TRUE(PosixSignaller::send(child->pid(), SIGSTOP));
    EXPECT_TRUE(stoppedSoon(child->pid()));
    EXPECT_TRUE(PosixSignaller::send(child->pid(), SIGCONT));
    EXPECT_TRUE(runningSoon(child->pid()));
}

TEST(PosixSignallerSend, FailsForAProcessThatIsGone) {
    std::int64_t pid;
    {
        ChildProcess child({"true"});
        child.wait();
        pid = child.pid();
    }
    EXPECT_FALSE(PosixSignaller::send(pid, SIGCONT));
    PosixSignaller signaller;
    EXPECT_FALSE(signaller.stop(pid));
    EXPECT_FALSE(signaller.cont(pid));
}

TEST(PosixSignallerHold, AStopThatHoldsIsDeliveredAndTheProcessStaysStopped) {
    auto child = sleeper();
    Messages messages;
    PosixSignaller signaller(messages.hook());
    EXPECT_TRUE(signaller.stop(child->pid()));
    EXPECT_EQ(processState(child->pid()), 'T');
    EXPECT_TRUE(messages.lines.empty());
    EXPECT_TRUE(signaller.cont(child->pid()));
    EXPECT_TRUE(runningSoon(child->pid()));
}

TEST(PosixSignallerHold, StopAllChecksEveryStopAndKeepsTheOrder) {
    std::vector<std::unique_ptr<ChildProcess>> children;
    std::vector<std::int64_t> pids;
    for (int i = 0; i < 12; ++i) {
        children.push_back(sleeper());
        pids.push_back(children.back()->pid());
    }
    auto gone = sleeper();
    const std::int64_t gonePID = gone->pid();
    gone.reset();
    pids.insert(pids.begin() + 3, gonePID);
    pids.insert(pids.begin(), 1);
    Messages messages;
    PosixSignaller signaller(messages.hook());
    auto results = signaller.stopAll(pids);
    ASSERT_EQ(results.size(), pids.size());
    for (std::size_t i = 0; i < pids.size(); ++i) {
        const bool expected = pids[i] != 1 && pids[i] != gonePID;
        EXPECT_EQ(results[i], expected) << pids[i];
        if (expected) {
            EXPECT_EQ(processState(pids[i]), 'T') << pids[i];
        }
    }
    for (const auto& child : children) signaller.cont(child->pid());
}

TEST(PosixSignallerHold, AStopItsParentUndoesIsNotDeliveredAndTheErrorNamesTheParent) {
    // A parent that resumes its child whenever it stops, the way a terminal multiplexer does.
    ChildProcess parent({"sh", "-c", "sleep 600 & while :; do kill -CONT $! 2>/dev/null; sleep 0.005; done"});
    std::int64_t sleeperPID = -1;
    // Of the shell's children, the long sleep is the one that is not a short-lived "sleep 0.005".
    ASSERT_TRUE(waitUntil([&] {
        for (auto pid : test::childrenOf(parent.pid())) {
            std::string cmdline = test::readFile("/proc/" + std::to_string(pid) + "/cmdline");
            if (cmdline == std::string("sleep\0"
                                       "600\0",
                                       10)) {
                sleeperPID = pid;
                return true;
            }
        }
        return false;
    }));
    Messages messages;
    PosixSignaller signaller(messages.hook(), std::chrono::milliseconds(300));
    EXPECT_FALSE(signaller.stop(sleeperPID));
    ASSERT_EQ(messages.lines.size(), 1u);
    const std::string& line = messages.lines.front();
    EXPECT_EQ(line.rfind("error [signal] SIGSTOP pid=" + std::to_string(sleeperPID) + " did not hold - ", 0), 0u)
        << line;
    EXPECT_NE(line.find("parent pid=" + std::to_string(parent.pid()) + " (sh -c sleep 600"), std::string::npos) << line;
}

TEST(PosixSignallerHold, AStoppedZombieIsNotReportedAsHeld) {
    // kill() succeeds on a child that has exited but is not yet reaped; nothing is held there.
    ChildProcess child({"true"});
    ASSERT_TRUE(waitUntil([&] { return processState(child.pid()) == 'Z'; }));
    Messages messages;
    PosixSignaller signaller(messages.hook());
    EXPECT_FALSE(signaller.stop(child.pid()));
    ASSERT_EQ(messages.lines.size(), 1u);
    EXPECT_NE(messages.lines.front().find("the process is gone"), std::string::npos);
}

TEST(DryRunSignaller, RecordsCallsInOrderAndReportsSuccess) {
    DryRunSignaller signaller;
    EXPECT_TRUE(signaller.stop(7));
    EXPECT_TRUE(signaller.cont(7));
    std::vector<DryRunSignaller::Call> expected = {{DryRunSignaller::Kind::stop, 7}, {DryRunSignaller::Kind::cont, 7}};
    EXPECT_EQ(signaller.calls, expected);
}

TEST(SignalOrder, ShellFirstOnlyForShapeBWithAShellInShellFirstMode) {
    auto shapeB = target(501, 500, Shape::b);
    EXPECT_EQ(freezeOrder(shapeB, ShellStopMode::shellFirst), (std::vector<std::int64_t>{500, 501}));
    EXPECT_EQ(thawOrder(shapeB, ShellStopMode::shellFirst), (std::vector<std::int64_t>{501, 500}));

    std::vector<std::pair<Target, ShellStopMode>> alone = {
        {shapeB, ShellStopMode::claudeOnly},
        {target(501, std::nullopt, Shape::b), ShellStopMode::shellFirst},
        {target(501, 0, Shape::b), ShellStopMode::shellFirst},
        {target(501, -3, Shape::b), ShellStopMode::shellFirst},
        {target(501, 500, Shape::a), ShellStopMode::shellFirst},
        {target(501, 500, Shape::c), ShellStopMode::shellFirst},
        {target(501, 500, Shape::unknown), ShellStopMode::shellFirst},
    };
    for (const auto& [t, mode] : alone) {
        EXPECT_EQ(freezeOrder(t, mode), (std::vector<std::int64_t>{501})) << ShellStopModes::text(mode);
        EXPECT_EQ(thawOrder(t, mode), (std::vector<std::int64_t>{501})) << ShellStopModes::text(mode);
    }
}

TEST(SignalOrder, ModesParseFromTheirExactTextsOnly) {
    for (const auto& text : ShellStopModes::texts()) {
        EXPECT_EQ(ShellStopModes::text(*ShellStopModes::parse(text)), text);
    }
    for (const char* other : {"Shell-First", "shell-first ", "", "claude"}) {
        EXPECT_EQ(ShellStopModes::parse(other), std::nullopt) << other;
    }
}

TEST(VerifyForSignal, ChecksPidAndStartAgainstTheTable) {
    auto withID = row(501, 500, "claude");
    withID.start.id = "boot-1:4242";
    ProcessTable table({row(501, 500, "claude")});
    ProcessTable stable({withID});
    auto target = [](std::int64_t pid, std::string start, std::string id = {}) {
        return Target{pid, std::move(start), std::nullopt, Shape::a, "s", std::move(id)};
    };
    struct Case {
        const ProcessTable* table;
        Target target;
        bool same;
    };
    const std::string start = startText;
    for (const auto& [in, t, same] : std::vector<Case>{
             {nullptr, target(501, ""), true},
             {&table, target(501, start), true},
             {&table, target(501, "  " + start + " "), true},
             {&table, target(501, ""), false},
             {&table, target(501, test::startedAt(*started.seconds + 1).text()), false},
             {&table, target(502, start), false},
             // A start id on one side only: the texts decide.
             {&table, target(501, start, "boot-1:4242"), true},
             {&stable, target(501, start), true},
             // Start ids on both sides decide, whatever the texts say (another time zone, a stepped clock).
             {&stable, target(501, test::startedAt(*started.seconds - 5 * 3600).text(), "boot-1:4242"), true},
             {&stable, target(501, start, "boot-1:4243"), false},
             {&stable, target(501, start, "boot-2:4242"), false},
         }) {
        EXPECT_EQ(verifyForSignal(in, t), same) << t.pid << " '" << t.pidStart << "' " << t.startID;
    }
}

class FreezePIDsCheck : public ::testing::Test {
protected:
    Messages messages;
    Target shapeB = target(501, 500, Shape::b);

    std::vector<std::int64_t> pidsWith(const std::vector<Proc>& rows) {
        ProcessTable table(rows);
        return freezePIDs(shapeB, ShellStopMode::shellFirst, &table, messages.hook());
    }
    void expectAloneBecause(const std::string& reason) {
        ASSERT_EQ(messages.lines.size(), 1u);
        EXPECT_EQ(messages.lines.front(),
                  "warning [freezePIDs] shape-B shell check failed (" + reason + ") - stopping claude alone");
    }
};

TEST_F(FreezePIDsCheck, ShellThenClaudeWhenClaudeStillSitsUnderItsInteractiveShell) {
    EXPECT_EQ(pidsWith({row(500, 400, "-bash"), row(501, 500, "claude")}), (std::vector<std::int64_t>{500, 501}));
    EXPECT_TRUE(messages.lines.empty());
}

TEST_F(FreezePIDsCheck, ClaudeAloneWhenClaudeIsGone) {
    EXPECT_EQ(pidsWith({row(500, 400, "-bash")}), (std::vector<std::int64_t>{501}));
    expectAloneBecause("claude pid 501 is gone");
}

TEST_F(FreezePIDsCheck, ClaudeAloneWhenClaudeWasReparented) {
    EXPECT_EQ(pidsWith({row(500, 400, "-bash"), row(501, 1, "claude")}), (std::vector<std::int64_t>{501}));
    expectAloneBecause("claude pid 501 ppid is now 1, not the recorded shell 500");
}

TEST_F(FreezePIDsCheck, ClaudeAloneWhenTheShellIsGone) {
    EXPECT_EQ(pidsWith({row(501, 500, "claude")}), (std::vector<std::int64_t>{501}));
    expectAloneBecause("shell pid 500 is gone");
}

TEST_F(FreezePIDsCheck, ClaudeAloneWhenTheShellNowRunsSomethingElseQuotingAtMostSixtyCharacters) {
    std::string command = "python3 -m http.server --directory /srv/some/rather/long/path/to/files --bind ::1";
    EXPECT_EQ(pidsWith({row(500, 400, command), row(501, 500, "claude")}), (std::vector<std::int64_t>{501}));
    expectAloneBecause("pid 500 is no longer an interactive shell (" + command.substr(0, 60) + ")");
}

TEST_F(FreezePIDsCheck, SixtyCharactersAreCharactersNotBytes) {
    std::string command = "vim " + std::string(70, 'x');
    for (std::size_t i = 4; i < 40; i += 2) command.replace(i, 1, "é");  // two bytes each
    pidsWith({row(500, 400, command), row(501, 500, "claude")});
    ASSERT_EQ(messages.lines.size(), 1u);
    auto open = messages.lines.front().find('(', messages.lines.front().find("shell ("));
    auto quoted = messages.lines.front().substr(open + 1, messages.lines.front().find(")) - ") - open - 1);
    std::size_t characters = 0;
    for (unsigned char c : quoted) characters += (c & 0xC0) != 0x80;
    EXPECT_EQ(characters, 60u);
}

TEST_F(FreezePIDsCheck, NoTableMeansNoCheckAndNoMessage) {
    EXPECT_EQ(freezePIDs(shapeB, ShellStopMode::shellFirst, nullptr, messages.hook()),
              (std::vector<std::int64_t>{500, 501}));
    EXPECT_TRUE(messages.lines.empty());
}

TEST_F(FreezePIDsCheck, AnAbsentLogIsNoProblem) {
    ProcessTable table({row(501, 1, "claude")});
    EXPECT_EQ(freezePIDs(shapeB, ShellStopMode::shellFirst, &table, {}), (std::vector<std::int64_t>{501}));
}

class TargetSignalling : public ::testing::Test {
protected:
    Messages messages;
    DryRunSignaller recorder;
    using Kind = DryRunSignaller::Kind;
};

TEST_F(TargetSignalling, AFreezeWhoseClaudeFailsIdentitySignalsNothingNotEvenTheShell) {
    ProcessTable table({row(500, 400, "-zsh"), row(501, 500, "claude", test::startedAt(1'796'720'400))});
    auto results =
        freezeTarget(recorder, target(501, 500, Shape::b), ShellStopMode::shellFirst, &table, messages.hook());
    EXPECT_EQ(results, (std::vector<SignalResult>{{501, false}}));
    EXPECT_TRUE(recorder.calls.empty());
    ASSERT_EQ(messages.lines.size(), 1u);
    EXPECT_EQ(messages.lines.front(),
              "error [freezeTarget] pid 501 failed identity verification - signalling nothing for session 01234567");
}

TEST_F(TargetSignalling, AnEmptySessionIsShownAsAQuestionMark) {
    ProcessTable table({row(501, 1, "claude")});
    freezeTarget(recorder, target(501, std::nullopt, Shape::a, "", ""), ShellStopMode::shellFirst, &table,
                 messages.hook());
    ASSERT_EQ(messages.lines.size(), 1u);
    EXPECT_EQ(messages.lines.front(),
              "error [freezeTarget] pid 501 failed identity verification - signalling nothing for session ?");
}

TEST_F(TargetSignalling, AnEmptyStartTimeIsNeverStoppedOrContinuedNorIsAShellThatCannotBeVerified) {
    ProcessTable table({row(500, 400, "-zsh"), row(501, 500, "claude")});
    auto t = target(501, 500, Shape::b, "");
    EXPECT_EQ(freezeTarget(recorder, t, ShellStopMode::shellFirst, &table, messages.hook()),
              (std::vector<SignalResult>{{501, false}}));
    EXPECT_EQ(thawTarget(recorder, t, ShellStopMode::shellFirst, &table, messages.hook()),
              (std::vector<SignalResult>{{501, false}, {500, false}}));
    EXPECT_TRUE(recorder.calls.empty());
    ASSERT_EQ(messages.lines.size(), 3u);
    EXPECT_EQ(messages.lines[1], "warning [thawTarget] pid 501 failed identity verification - not continuing it");
    EXPECT_EQ(messages.lines[2],
              "warning [thawTarget] shell pid 500 cannot be verified (not the parent of the recorded claude) - not "
              "continuing it");

    // The shell's own start, recorded when it was stopped, is what lets it go.
    t.shellStart = table.get(500)->start.text();
    EXPECT_EQ(thawTarget(recorder, t, ShellStopMode::shellFirst, &table, messages.hook()),
              (std::vector<SignalResult>{{501, false}, {500, true}}));
}

TEST_F(TargetSignalling, AShellIsContinuedOnlyWhenItIsTheProcessThatWasStopped) {
    auto shellRow = row(500, 400, "-zsh");
    auto t = target(501, 500, Shape::b);
    t.shellStart = shellRow.start.text();
    struct Case {
        const char* what;
        Proc shell;
        bool continued;
    };
    auto reused = shellRow;
    reused.start = test::startedAt(1'796'774'400);
    auto notAShell = shellRow;
    notAShell.command = "vim notes";
    auto otherUser = shellRow;
    otherUser.uid = static_cast<std::int64_t>(::getuid()) + 1;
    for (const auto& [what, shell, continued] : std::vector<Case>{{"the same shell", shellRow, true},
                                                                  {"a reused pid", reused, false},
                                                                  {"no longer a shell", notAShell, false},
                                                                  {"another user's", otherUser, false}}) {
        ProcessTable table({shell, row(501, 500, "claude")});
        recorder.calls.clear();
        auto results = thawTarget(recorder, t, ShellStopMode::shellFirst, &table, messages.hook());
        ASSERT_EQ(results.size(), 2u) << what;
        EXPECT_EQ(results[1], (SignalResult{500, continued})) << what;
    }
    // Nor is claude, when another user runs it.
    auto foreign = row(501, 500, "claude");
    foreign.uid = static_cast<std::int64_t>(::getuid()) + 1;
    ProcessTable table({shellRow, foreign});
    EXPECT_EQ(freezeTarget(recorder, t, ShellStopMode::shellFirst, &table, messages.hook()),
              (std::vector<SignalResult>{{501, false}}));
}

TEST_F(TargetSignalling, ShellFirstOnFreezeAndShellLastOnThaw) {
    ProcessTable table({row(500, 400, "/bin/bash --login"), row(501, 500, "claude")});
    auto t = target(501, 500, Shape::b);
    EXPECT_EQ(freezeTarget(recorder, t, ShellStopMode::shellFirst, &table, messages.hook()),
              (std::vector<SignalResult>{{500, true}, {501, true}}));
    EXPECT_EQ(thawTarget(recorder, t, ShellStopMode::shellFirst, &table, messages.hook()),
              (std::vector<SignalResult>{{501, true}, {500, true}}));
    EXPECT_EQ(recorder.calls, (std::vector<DryRunSignaller::Call>{
                                  {Kind::stop, 500}, {Kind::stop, 501}, {Kind::cont, 501}, {Kind::cont, 500}}));
    EXPECT_TRUE(messages.lines.empty());
}

TEST_F(TargetSignalling, TheThawContinuesTheShellEvenWhenTheFreezeStoppedClaudeAlone) {
    ProcessTable table({row(500, 400, "-zsh"), row(501, 1, "claude")});
    auto t = target(501, 500, Shape::b);
    t.shellStart = table.get(500)->start.text();
    EXPECT_EQ(freezeTarget(recorder, t, ShellStopMode::shellFirst, &table, messages.hook()),
              (std::vector<SignalResult>{{501, true}}));
    EXPECT_EQ(thawTarget(recorder, t, ShellStopMode::shellFirst, &table, messages.hook()),
              (std::vector<SignalResult>{{501, true}, {500, true}}));
}

TEST(TargetSignallingReal, FreezesAndThawsRealProcessesShellFirst) {
    auto shell = sleeper();
    auto claude = sleeper();
    ProcessTable table({row(shell->pid(), 1, "-bash"), row(claude->pid(), shell->pid(), "claude")});
    auto t = target(claude->pid(), shell->pid(), Shape::b);
    Messages messages;
    PosixSignaller signaller(messages.hook());

    auto frozen = freezeTarget(signaller, t, ShellStopMode::shellFirst, &table, messages.hook());
    EXPECT_EQ(frozen, (std::vector<SignalResult>{{shell->pid(), true}, {claude->pid(), true}}));
    EXPECT_EQ(processState(shell->pid()), 'T');
    EXPECT_EQ(processState(claude->pid()), 'T');

    auto thawed = thawTarget(signaller, t, ShellStopMode::shellFirst, &table, messages.hook());
    EXPECT_EQ(thawed, (std::vector<SignalResult>{{claude->pid(), true}, {shell->pid(), true}}));
    EXPECT_TRUE(runningSoon(shell->pid()));
    EXPECT_TRUE(runningSoon(claude->pid()));
    EXPECT_TRUE(messages.lines.empty());
}

TEST(TargetSignallingReal, AProcessThatIsNoLongerTheRecordedOneIsLeftRunning) {
    auto claude = sleeper();
    ProcessTable table({row(claude->pid(), 1, "claude", test::startedAt(1'796'720'400))});
    auto t = target(claude->pid(), std::nullopt, Shape::a, startText);
    PosixSignaller signaller;
    EXPECT_EQ(freezeTarget(signaller, t, ShellStopMode::shellFirst, &table, {}),
              (std::vector<SignalResult>{{claude->pid(), false}}));
    EXPECT_NE(processState(claude->pid()), 'T');
}

// A freezer that can hold nothing, so the combined signaller falls back to signals.
class RefusingFreezer : public Freezer {
public:
    int contCalls = 0;
    Attempt freeze(std::int64_t) override { return {false, "cgroup /x is not writable"}; }
    bool stop(std::int64_t pid) override { return freeze(pid).held; }
    bool cont(std::int64_t) override {
        ++contCalls;
        return false;
    }
};

TEST(HoldingSignallerFallback, FallsBackToSignalsSayingWhyOncePerProcess) {
    auto first = sleeper();
    auto second = sleeper();
    Messages messages;
    auto freezer = std::make_unique<RefusingFreezer>();
    auto* refusing = freezer.get();
    HoldingSignaller signaller(messages.hook(), std::move(freezer));

    EXPECT_TRUE(signaller.stop(first->pid()));
    EXPECT_EQ(processState(first->pid()), 'T');
    EXPECT_TRUE(signaller.cont(first->pid()));
    EXPECT_TRUE(runningSoon(first->pid()));
    EXPECT_TRUE(signaller.stop(first->pid()));
    EXPECT_TRUE(signaller.stop(second->pid()));
    EXPECT_FALSE(signaller.isHeld(first->pid()));
    EXPECT_EQ(refusing->contCalls, 0);  // nothing of the freezer's to release

    std::vector<std::string> expected = {
        "warning [signal] pid " + std::to_string(first->pid()) +
            " cannot be frozen through its cgroup (cgroup /x is not writable) - using SIGSTOP/SIGCONT",
        "warning [signal] pid " + std::to_string(second->pid()) +
            " cannot be frozen through its cgroup (cgroup /x is not writable) - using SIGSTOP/SIGCONT",
    };
    EXPECT_EQ(messages.lines, expected);
}

TEST(HoldingSignallerFallback, OutOfRangePidsAreRefusedWithoutAttemptOrMessage) {
    Messages messages;
    HoldingSignaller signaller(messages.hook(), std::make_unique<RefusingFreezer>());
    for (std::int64_t pid : {std::int64_t{0}, std::int64_t{1}, std::int64_t{-1}, std::int64_t{2147483648}}) {
        EXPECT_FALSE(signaller.stop(pid));
        EXPECT_FALSE(signaller.cont(pid));
    }
    EXPECT_TRUE(messages.lines.empty());
}

}  // namespace
}  // namespace tracker
