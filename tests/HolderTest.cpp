// The holder on its own: what a freeze, a thaw and the sweep do to processes and documents, over a real
// state directory, a made-up process table and a recording signaller.

#include <gtest/gtest.h>

#include "Daemon/HoldDocuments.hpp"
#include "Daemon/Holder.hpp"
#include "Daemon/LiveConfig.hpp"
#include "FakeWorld.hpp"
#include "RecordingSignaller.hpp"
#include "TestSupport.hpp"

namespace tracker {
namespace {

constexpr double T = 1'796'690'000;
const std::string claudeStart = test::defaultStart.text();

Proc claudeRow(std::int64_t pid, std::int64_t ppid = 1, RunState state = RunState::sleeping) {
    return test::processRow(pid, ppid, "claude --resume", test::defaultStart, state);
}
Proc shellRow(std::int64_t pid, RunState state = RunState::sleeping) {
    return test::processRow(pid, 1, "-bash", test::startedAt(1'796'691'600), state);
}

class HolderTest : public ::testing::Test {
protected:
    test::TempDir dir;
    StateDir state{dir.file("state")};
    std::shared_ptr<DaemonLogger> logger;
    test::FakeWorld fake{T};
    std::vector<Proc>& rows = fake.rows;
    std::shared_ptr<test::RecordingSignaller> signaller = std::make_shared<test::RecordingSignaller>(&state, &rows);
    DaemonWorld world = fake.make(signaller);
    std::unique_ptr<LiveConfig> config;
    std::unique_ptr<HoldDocuments> documents;

    void SetUp() override {
        state.ensureDirectories();
        logger = DaemonLogger::create(state.logPath(), DaemonLogLevel::debug, false);
    }

    std::unique_ptr<Holder> make(TrackerConfig settings = TrackerConfig(), Holder::Options options = {}) {
        settings.notify = NotifyMode::off;
        config = std::make_unique<LiveConfig>(settings, std::set<std::string>{}, state.configPath(), logger);
        documents = std::make_unique<HoldDocuments>(state, logger, options.dryRun, JSONFile::RefusalHook{});
        return std::make_unique<Holder>(state, *documents, *config, world, logger, options);
    }

    std::string logText() const { return test::readFile(state.logPath()); }
    int logCount(const std::string& text) const { return test::occurrences(logText(), text); }
};

TEST_F(HolderTest, FailedStopsStayInThePause) {
    rows = {claudeRow(601), claudeRow(602)};
    rows[1].start = test::startedAt(1'796'774'400);  // 602 is another process now
    Action::Freeze freeze{{Target{601, claudeStart, std::nullopt, Shape::a, "first"},
                           Target{602, claudeStart, std::nullopt, Shape::a, "second"}},
                          T + 60,
                          "first",
                          95.4,
                          T + 60,
                          "95.4% >= 90.0%",
                          true};
    auto holder = make(TrackerConfig(), Holder::Options{false, 120.0});
    holder->freeze(freeze, ProcessTable(rows));
    EXPECT_EQ(signaller->pids("stop"), (std::vector<std::int64_t>{601}));
    auto pause = state.readPause();
    ASSERT_TRUE(pause);
    EXPECT_EQ(pause->targets.size(), 2u);
    EXPECT_EQ(pause->resumeAt, T + 120);  // --resume-in wins
    EXPECT_EQ(pause->reason, "95.4% >= 90.0% (re-freeze)");
    std::string log = logText();
    EXPECT_LT(log.find("[doFreeze] --resume-in override: resume_at="),
              log.find("[doFreeze] Entry - 95.4% >= 90.0%, 2 target(s)"));
    EXPECT_EQ(logCount("[re-freeze]"), 1);
    EXPECT_EQ(logCount("ERROR    [doFreeze] SIGSTOP pid=602 FAILED - left in pause.json for thaw"), 1);
    EXPECT_EQ(
        logCount(
            "ERROR    [freezeTarget] pid 602 failed identity verification - signalling nothing for session second"),
        1);
    EXPECT_EQ(logCount("[notify] mode=off - not posting from the daemon: Claude sessions paused"), 1);
}

TEST_F(HolderTest, ThawWithoutTargetsOrPause) {
    auto holder = make();
    holder->thaw({}, ProcessTable(), "nothing to do");
    EXPECT_EQ(state.readLastThaw(), (LastThaw{T, 0}));
    EXPECT_EQ(logCount("[notify] mode=off - not posting from the daemon: Claude sessions resumed"), 1);
    EXPECT_EQ(logCount("[doThaw] Exit - pause cleared"), 1);
}

TEST_F(HolderTest, SweepContinuesOnlyWhatThisStateDirectoryHeldAndNoPauseClaims) {
    constexpr RunState stopped = RunState::stopped, sleeping = RunState::sleeping;
    rows = {claudeRow(10, 5, stopped), claudeRow(11, 5, stopped), claudeRow(12, 6, sleeping), shellRow(5, stopped),
            shellRow(6, stopped),      claudeRow(13, 1, stopped), claudeRow(14, 1, sleeping)};
    signaller->held = {14};  // frozen by our cgroup freezer: sleeping, yet held
    // The ledger names 10 (with its shell), 11 and 14; 13 is a job the user stopped with Ctrl-Z, 12 runs.
    Target ten{10, claudeStart, 5, Shape::b, "x"};
    ten.shellStart = shellRow(5).start.text();
    state.writeHeld(Pause{T,
                          T + 10,
                          {ten, Target{11, claudeStart, std::nullopt, Shape::a, "y"},
                           Target{14, claudeStart, std::nullopt, Shape::a, "z"}},
                          "",
                          "",
                          1});
    auto holder = make(TrackerConfig::fromJSON(JSONObject{{"shell_stop_mode", "shell-first"}}));
    Pause pause{T, T + 10, {Target{11, claudeStart, std::nullopt, Shape::a, "y"}}, "", "", 1};
    EXPECT_EQ(holder->sweep(ProcessTable(rows), pause), 3);
    EXPECT_EQ(signaller->pids("cont"), (std::vector<std::int64_t>{10, 5, 14}));
    EXPECT_EQ(logCount("[sweep] orphaned stopped claude pid=10 state=T - SIGCONT"), 1);
    EXPECT_EQ(logCount("[sweep] Exit - continued 3 orphaned process(es)"), 1);
    EXPECT_TRUE(test::fileExists(state.heldPath()));  // a pause stands: the ledger stays

    // With no pause the whole ledger goes (11 too), and then nothing is ours: the stopped job and every
    // other held claude stay as they are.
    signaller->calls.clear();
    EXPECT_EQ(holder->sweep(ProcessTable(rows), std::nullopt), 1);
    EXPECT_EQ(signaller->pids("cont"), (std::vector<std::int64_t>{11}));
    EXPECT_FALSE(test::fileExists(state.heldPath()));
    signaller->calls.clear();
    EXPECT_EQ(holder->sweep(ProcessTable(rows), std::nullopt), 0);
    EXPECT_TRUE(signaller->calls.empty());
}

// Both pause.json and the ledger lost while a session sat in a frozen group of ours: the sweep lets it go when
// the session is this state directory's (its record names it) and no pause names it; nobody else's.
TEST_F(HolderTest, TheSweepReleasesAFrozenSessionThatNoPauseNames) {
    rows = {claudeRow(14), claudeRow(15), claudeRow(16)};
    signaller->held = {14, 15, 16};
    Record mine;
    mine.sessionID = "mine";
    mine.pid = 14;
    mine.pidStart = claudeStart;
    Record named = mine;
    named.sessionID = "named";
    named.pid = 16;
    Record reused = mine;  // another process has its pid now
    reused.sessionID = "reused";
    reused.pid = 15;
    reused.pidStart = test::startedAt(1'796'774'400).text();
    auto holder = make();
    Pause standing{T, T + 10, {Target{16, claudeStart, std::nullopt, Shape::a, "named"}}, "", "", 1};
    EXPECT_EQ(holder->sweep(ProcessTable(rows), standing, {mine, reused, named}), 1);
    EXPECT_EQ(signaller->pids("cont"), (std::vector<std::int64_t>{14}));
    EXPECT_EQ(logCount("[sweep] session mine (pid 14) is held in a frozen group that no pause names"), 1);
}

}  // namespace
}  // namespace tracker
