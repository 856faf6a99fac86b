// The daemon loop driven through its hooks: a fixed clock, a made-up process
// table and a recording signaller, over a real state directory.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <thread>

#include "Core/JSONFile.hpp"
#include "Core/PauseRequest.hpp"
#include "Daemon/DaemonFlags.hpp"
#include "Daemon/DaemonLoop.hpp"
#include "Daemon/DryRunSignaller.hpp"
#include "FakeWorld.hpp"
#include "RealWorld.hpp"
#include "RecordingSignaller.hpp"
#include "TestSupport.hpp"

namespace tracker {
namespace {

using test::TempDir;

constexpr double T = 1'796'690'000;
const ProcessStart claudeStarted = test::defaultStart;
const std::string claudeStart = claudeStarted.text();

Proc claudeRow(std::int64_t pid, std::int64_t ppid = 1, RunState state = RunState::sleeping) {
    return test::processRow(pid, ppid, "claude --resume", claudeStarted, state);
}
Proc shellRow(std::int64_t pid, RunState state = RunState::sleeping) {
    return test::processRow(pid, 1, "-bash", test::startedAt(1'796'691'600), state);
}

class LoopTest : public ::testing::Test {
protected:
    TempDir dir;
    StateDir state{dir.file("state")};
    std::shared_ptr<DaemonLogger> logger;
    test::FakeWorld world{T};
    std::vector<Proc>& rows = world.rows;
    std::shared_ptr<test::RecordingSignaller> signaller = std::make_shared<test::RecordingSignaller>(&state, &rows);
    double& now = world.now;
    std::vector<int>& exits = world.exits;

    void SetUp() override {
        state.ensureDirectories();
        logger = DaemonLogger::create(state.logPath(), DaemonLogLevel::debug, false);
    }

    std::unique_ptr<DaemonLoop> makeLoop(TrackerConfig config = TrackerConfig(), DaemonLoop::Options options = {},
                                         std::shared_ptr<Signaller> signalling = nullptr) {
        config.notify = NotifyMode::off;
        return std::make_unique<DaemonLoop>(state, config, logger, options,
                                            world.make(signalling ? signalling : signaller));
    }

    std::string logText() const { return test::readFile(state.logPath()); }
    int logCount(const std::string& text) const { return test::occurrences(logText(), text); }

    void writeRecord(const std::string& id, std::int64_t pid, double used, double resetsAt,
                     std::optional<std::int64_t> shell = std::nullopt, bool exempt = false) {
        Record record;
        record.sessionID = id;
        record.pid = pid;
        record.ts = now;
        record.pidStart = claudeStart;
        record.parentShellPID = shell;
        record.shape = shell ? Shape::b : Shape::a;
        record.exempt = exempt;
        record.rateLimits["five_hour"] = JSONObject{{"used_percentage", used}, {"resets_at", resetsAt}};
        state.write(record, false);
    }
    void writeConfig(JSONObject raw) { state.write(TrackerConfig::fromJSON(std::move(raw))); }
    // Two sessions over the threshold, "streaming" (pid 501) and "idle" (601); the phase of the first, to fill in.
    SessionPhase streamingAndIdle() {
        rows = {claudeRow(501), claudeRow(601)};
        writeRecord("streaming", 501, 95, T + 3600);
        writeRecord("idle", 601, 95, T + 3600);
        SessionPhase phase;
        phase.sessionID = "streaming";
        phase.pid = 501;
        return phase;
    }
};

TEST_F(LoopTest, TickFreezesWithThePauseWrittenBeforeAnySignal) {
    rows = {claudeRow(501, 500), shellRow(500), claudeRow(601)};
    writeRecord("b-session", 501, 95, T + 3600, 500);
    writeRecord("z-session", 601, 10, T + 3600);
    writeRecord("exempt-session", 602, 99, T + 3600, std::nullopt, true);
    auto loop = makeLoop();
    Action action = loop->tick();
    ASSERT_TRUE(action.isFreeze()) << action.reason();
    // Shell first, then claude; every stop came after pause.json existed.
    ASSERT_EQ(signaller->pids("stop"), (std::vector<std::int64_t>{500, 501, 601}));
    for (const auto& call : signaller->calls) EXPECT_TRUE(call.pausePresent);
    auto pause = state.readPause();
    ASSERT_TRUE(pause);
    EXPECT_EQ(pause->targets.size(), 2u);
    EXPECT_EQ(pause->resumeAt, T + 3600);
    EXPECT_EQ(pause->sourceSession, "b-session");
    EXPECT_EQ(logCount("[doFreeze] SIGSTOP pid=500 (session b-sessio shape B) ok"), 1);
    EXPECT_EQ(logCount("[doFreeze] Exit - paused until "), 1);

    // Further ticks wait, then thaw at the resume time: claude first, then its shell.
    now = T + 100;
    EXPECT_EQ(loop->tick().reason(), "paused until 1796693600 (3500 s left)");
    now = T + 3600;
    signaller->calls.clear();
    Action thaw = loop->tick();
    ASSERT_TRUE(thaw.isThaw());
    EXPECT_EQ(signaller->pids("cont"), (std::vector<std::int64_t>{501, 500, 601}));
    EXPECT_FALSE(state.readPause());
    // Continued thaw_spacing apart: the thaw ends after the second.
    auto lastThaw = state.readLastThaw();
    ASSERT_TRUE(lastThaw);
    EXPECT_NEAR(lastThaw->thawedAt, T + 3600 + TrackerConfig::defaultThawSpacing, 1e-3);
    EXPECT_EQ(lastThaw->previousResumeAt, T + 3600);
    // The same window does not freeze again.
    now = T + 3700;
    EXPECT_TRUE(loop->tick().isNothing());
}

TEST_F(LoopTest, FreezeThatCannotWriteThePauseStopsNothing) {
    rows = {claudeRow(601)};
    writeRecord("a", 601, 95, T + 3600);
    auto loop = makeLoop();
    std::filesystem::create_directories(state.pausePath() + "/blocked");  // a directory where the file goes
    loop->tick();
    EXPECT_TRUE(signaller->calls.empty());
    EXPECT_EQ(logCount("CRITICAL [doFreeze] could not write pause.json (writeFailed(\"rename: "), 1);
    EXPECT_EQ(logCount("NOTIFY"), 0);
    EXPECT_EQ(logCount("[doFreeze] Exit"), 0);
}

TEST_F(LoopTest, DryRunWritesDeletesAndSignalsNothing) {
    rows = {claudeRow(601)};
    writeRecord("a", 601, 95, T + 3600);
    writeRecord("dead", 999, 10, T + 3600);
    auto dry = std::make_shared<DryRunSignaller>();
    auto loop = makeLoop(TrackerConfig(), DaemonLoop::Options{true, {}, {}}, dry);
    now = T + 100000;  // the dead session's record is long past its ttl
    writeRecord("a", 601, 95, now + 3600);
    ASSERT_TRUE(loop->tick().isFreeze());
    EXPECT_FALSE(state.readPause());
    EXPECT_TRUE(test::fileExists(state.recordPath("dead")));
    EXPECT_EQ(logCount("[doFreeze] DRY-RUN would stop pid=601 shell=- shape=A"), 1);
    EXPECT_EQ(logCount("[doFreeze] Exit - dry run, nothing written or signalled"), 1);

    Pause pause{now, now, {Target{601, claudeStart, 7, Shape::b, "a"}}, "r", "a", 1};
    pause.implyUsage();
    state.write(pause);
    ASSERT_TRUE(loop->tick().isThaw());
    EXPECT_TRUE(state.readPause());
    EXPECT_FALSE(state.readLastThaw());
    EXPECT_EQ(logCount("[doThaw] DRY-RUN would cont pid=601 shell=7"), 1);
    // Nor on the way out: a real daemon's pause.json stays as it is.
    loop->thawEverything("exit");
    EXPECT_EQ(state.readPause(), pause);
    EXPECT_TRUE(dry->calls.empty());

    // Nor does it remove a request (the daemon that acts takes it), which it considers once.
    state.deletePause();
    state.write(PauseRequest{PauseRequest::Kind::pause, std::nullopt, now});
    auto again = makeLoop(TrackerConfig(), DaemonLoop::Options{true, {}, {}}, dry);
    EXPECT_TRUE(again->tick().isFreeze());
    EXPECT_TRUE(again->tick().isFreeze());  // the usage, at 95 %, without the request
    EXPECT_TRUE(test::fileExists(state.requestPath()));
    EXPECT_EQ(logCount("[request] pause asked for until"), 1);
}

TEST_F(LoopTest, IdentityOnTheStartIDWhateverTheTimeZoneSays) {
    // The tee ran under another time zone: its start-time text differs, its start id does not.
    rows = {claudeRow(601), claudeRow(602)};
    rows[0].start.id = "boot:1000";
    rows[1].start.id = "boot:2000";
    writeRecord("moved", 601, 95, T + 3600);
    writeRecord("reused", 602, 95, T + 3600);
    for (auto [id, startID] : {std::pair{"moved", "boot:1000"}, std::pair{"reused", "boot:1999"}}) {
        auto document = JSONFile::read(state.recordPath(id));
        auto record = Record::fromJSON(document ? &*document : nullptr);
        record->pidStart = "Mon Dec  7 20:16:34 2026";
        record->startID = startID;
        state.write(*record, false);
    }
    auto loop = makeLoop();
    ASSERT_TRUE(loop->tick().isFreeze());
    EXPECT_EQ(signaller->pids("stop"), (std::vector<std::int64_t>{601}));
}

TEST_F(LoopTest, APauseJsonLostWhileHeldIsRestoredAndStillEnds) {
    rows = {claudeRow(601)};
    writeRecord("a", 601, 95, T + 3600);
    auto loop = makeLoop();
    ASSERT_TRUE(loop->tick().isFreeze());
    const auto written = state.readPause();
    for (const char* damage : {"delete", "garbage"}) {
        if (std::string(damage) == "delete") {
            std::filesystem::remove(state.pausePath());
        } else {
            test::writeFile(state.pausePath(), "{not json");
        }
        now += 10;
        EXPECT_TRUE(loop->tick().isNothing()) << damage;
        EXPECT_EQ(state.readPause(), written) << damage;
    }
    EXPECT_EQ(logCount("pause.json is gone or unreadable while 1 session(s) are held"), 1);
    // And on the way out, even with pause.json gone, what is held is let go.
    std::filesystem::remove(state.pausePath());
    signaller->calls.clear();
    loop->thawEverything("signal 15");
    EXPECT_EQ(signaller->pids("cont"), (std::vector<std::int64_t>{601}));
    EXPECT_FALSE(test::fileExists(state.heldPath()));
}

TEST_F(LoopTest, AnInterruptedFreezeIsFinishedByTheNextDaemon) {
    // A daemon wrote the pause and was killed before it held 602 and 603; 601 is held, 604 is gone.
    rows = {claudeRow(601, 1, RunState::stopped), claudeRow(602), claudeRow(603)};
    std::vector<Target> targets;
    for (std::int64_t pid : {601, 602, 603, 604}) {
        targets.push_back(Target{pid, claudeStart, std::nullopt, Shape::a, "s" + std::to_string(pid)});
    }
    state.write(Pause{T, T + 600, targets, "r", "s601", 1});
    auto loop = makeLoop();
    loop->run(true);
    EXPECT_EQ(signaller->pids("stop"), (std::vector<std::int64_t>{602, 603}));
    EXPECT_EQ(logCount("[adopt] session s602 (pid 602) is not held - holding it"), 1);
}

TEST_F(LoopTest, AStopThatDoesNotHoldIsNotCountedAndIsRetriedAFewTimes) {
    rows = {claudeRow(601), claudeRow(602)};
    writeRecord("a", 601, 95, T + 3600);
    writeRecord("b", 602, 95, T + 3600);
    signaller->refuse = {602};
    auto loop = makeLoop();
    ASSERT_TRUE(loop->tick().isFreeze());
    rows[0].state = RunState::stopped;  // 601 is held from now on
    EXPECT_EQ(logCount("ERROR    [doFreeze] 1 of 2 session(s) could not be held"), 1);
    for (int i = 0; i < 10; ++i) {
        now += 2;
        loop->tick();
    }
    // The failed stop, then at most maxRetries more; one warning, one final error.
    auto stops = signaller->pids("stop");
    EXPECT_EQ(std::count(stops.begin(), stops.end(), 601), 1);
    EXPECT_EQ(std::count(stops.begin(), stops.end(), 602), 1 + Holder::maxRetries);
    EXPECT_EQ(logCount("[tick] session b (pid 602) is not held - holding it"), 1);
    EXPECT_EQ(logCount("could not be held after 5 tries"), 1);
}

// The seven-day window holds with the five-hour one low, to its reset; `tarnel resume --usage` ends it, and the
// week is not held for again.
TEST_F(LoopTest, TheWeekHoldsUntilItsResetOrAResumeOfTheUsage) {
    rows = {claudeRow(601)};
    const double week = T + 3 * 86400;
    writeRecord("a", 601, 20, T + 3600);
    Record record = *state.readRecords().begin();
    record.rateLimits["seven_day"] = JSONObject{{"used_percentage", 96}, {"resets_at", week}};
    state.write(record, false);
    auto loop = makeLoop();
    ASSERT_TRUE(loop->tick().isFreeze());
    auto pause = state.readPause();
    ASSERT_TRUE(pause);
    EXPECT_EQ(pause->resumeAt, week);
    EXPECT_EQ(pause->window(), "seven_day");
    EXPECT_TRUE(test::readFile(state.pausePath()).find(R"("window": "seven_day")") != std::string::npos);

    now = T + 600;
    PauseRequest resume{PauseRequest::Kind::resume, std::nullopt, now};
    resume.usage = true;
    state.write(resume);
    ASSERT_TRUE(loop->tick().isThaw());
    EXPECT_FALSE(state.readPause());
    EXPECT_EQ(state.readLastThaw()->done.at(UsageWindow::sevenDay), week);
    // Past the grace, the same figure of the same week holds no more, after a restart too.
    now = T + 4000;
    record.ts = now;
    state.write(record, false);
    EXPECT_TRUE(loop->tick().isNothing());
    EXPECT_TRUE(makeLoop()->tick().isNothing());
}

// The warning before a hold comes once per window and reset, never while a usage hold stands.
TEST_F(LoopTest, WarnsOnceAsTheFigureNearsTheThreshold) {
    rows = {claudeRow(601)};
    auto loop = makeLoop();
    const std::string warning = "[warn] Claude sessions will be held at 90 % (now 8";
    writeRecord("a", 601, 80, T + 3600);
    loop->tick();
    EXPECT_EQ(logCount(warning), 0);
    for (double used : {86.0, 87.0, 89.0}) {
        now += 30;
        writeRecord("a", 601, used, T + 3600);
        loop->tick();
    }
    EXPECT_EQ(logCount(warning), 1);
    // The next window warns again.
    now += 30;
    writeRecord("a", 601, 86, T + 3600 + 18000);
    loop->tick();
    EXPECT_EQ(logCount(warning), 2);
}

TEST_F(LoopTest, NoPauseOutlastsMaxFreezeWhateverItsFileSays) {
    rows = {claudeRow(601, 1, RunState::stopped)};
    for (JSON resumeAt : {JSON("inf"), JSON(T + 1e9)}) {
        JSONObject pause = Pause{T, 0, {Target{601, claudeStart, std::nullopt, Shape::a, "a"}}, "r", "a", 1}.toJSON();
        pause["resume_at"] = resumeAt;
        test::writeFile(state.pausePath(), JSON(pause).dump());
        auto loop = makeLoop(TrackerConfig::fromJSON(JSONObject{{"max_freeze", 600}}));
        now = T + 599;
        EXPECT_TRUE(loop->tick().isNothing());
        now = T + 600;
        EXPECT_TRUE(loop->tick().isThaw()) << resumeAt.dump();
        EXPECT_FALSE(state.readPause());
        now = T;
    }
}

TEST_F(LoopTest, APauseAskedForMeetsTheUsagesAndTheLaterEndWins) {
    rows = {claudeRow(601), claudeRow(602), claudeRow(603)};
    writeRecord("low", 601, 40, T + 3600);
    writeRecord("no-figures", 602, 40, T + 3600);
    writeRecord("exempt", 603, 40, T + 3600, std::nullopt, true);
    auto loop = makeLoop(TrackerConfig::fromJSON(JSONObject{{"max_freeze", 600}}));
    auto ask = [&](PauseRequest::Kind kind, std::optional<double> until) {
        state.write(PauseRequest{kind, until, now});
        Action action = loop->tick();
        EXPECT_FALSE(test::fileExists(state.requestPath()));  // taken, whatever came of it
        return action;
    };

    // Held whatever the usage, the exempt session excepted, for longer than max_freeze.
    ASSERT_TRUE(ask(PauseRequest::Kind::pause, T + 7200).isFreeze());
    EXPECT_EQ(signaller->pids("stop"), (std::vector<std::int64_t>{601, 602}));
    auto pause = state.readPause();
    ASSERT_TRUE(pause);
    EXPECT_EQ(pause->manualUntil, T + 7200);
    now = T + 3000;
    EXPECT_TRUE(loop->tick().isNothing());
    EXPECT_TRUE(
        makeLoop(TrackerConfig::fromJSON(JSONObject{{"max_freeze", 600}}))->tick().isNothing());  // and after a crash

    // The usage crossing the threshold meanwhile: its hold (max_freeze from now) ends sooner, so the pause asked
    // for stands as it is, and the usage's end goes with it.
    writeRecord("low", 601, 95, T + 9000);
    loop->tick();
    pause = state.readPause();
    ASSERT_TRUE(pause);
    EXPECT_EQ(pause->resumeAt, T + 7200);
    EXPECT_EQ(pause->usageUntil(), T + 3600);

    // A resume ends only what was asked for; a second one finds nothing to end.
    EXPECT_TRUE(ask(PauseRequest::Kind::resume, std::nullopt).isReplace());
    pause = state.readPause();
    ASSERT_TRUE(pause);
    EXPECT_EQ(pause->resumeAt, T + 3600);
    EXPECT_FALSE(pause->manualUntil);
    EXPECT_TRUE(ask(PauseRequest::Kind::resume, std::nullopt).isNothing());
    EXPECT_EQ(logCount("[request] resume asked for, but the hold that stands is the usage's"), 1);

    // Asked for again over the usage's hold, then resumed: back to the usage's end; a pause of its own ends.
    EXPECT_TRUE(ask(PauseRequest::Kind::pause, T + 20000).isReplace());
    EXPECT_EQ(state.readPause()->resumeAt, T + 20000);
    ask(PauseRequest::Kind::resume, std::nullopt);
    EXPECT_EQ(state.readPause()->resumeAt, T + 3600);
    now = T + 3600;
    EXPECT_TRUE(loop->tick().isThaw());
    writeRecord("low", 601, 10, T + 30000);
    ASSERT_TRUE(ask(PauseRequest::Kind::pause, std::nullopt).isFreeze());
    EXPECT_EQ(state.readPause()->resumeAt, now + PauseRequest::longest);
    EXPECT_TRUE(ask(PauseRequest::Kind::resume, std::nullopt).isThaw());
    // One with an end runs out by itself.
    ASSERT_TRUE(ask(PauseRequest::Kind::pause, now + 100).isFreeze());
    now += 100;
    EXPECT_TRUE(loop->tick().isThaw());
    EXPECT_FALSE(state.readPause());

    // Not a request, or an end already past: removed, nothing held.
    test::writeFile(state.requestPath(), R"({"action": "hold everything"})");
    EXPECT_TRUE(loop->tick().isNothing());
    EXPECT_FALSE(test::fileExists(state.requestPath()));
    EXPECT_TRUE(ask(PauseRequest::Kind::pause, now - 5).isNothing());
    EXPECT_FALSE(state.readPause());
}

TEST_F(LoopTest, AdoptionOfAPauseOverStaleOrPartlyLost) {
    auto loop = makeLoop();
    rows = {claudeRow(601)};
    // Over: thawed before the first tick.
    state.write(Pause{T - 100, T - 1, {Target{601, claudeStart, std::nullopt, Shape::a, "a"}}, "r", "a", 1});
    loop->run(true);
    EXPECT_FALSE(state.readPause());
    EXPECT_EQ(logCount("[doThaw] Entry - 1 target(s): adopt: resume_at past"), 1);

    // Stale: none verifies (one gone, one with a reused pid, one without a start time).
    rows = {claudeRow(601), claudeRow(603)};
    rows[0].start = test::startedAt(1'798'761'600);
    state.write(
        Pause{T,
              T + 600,
              {Target{601, claudeStart, std::nullopt, Shape::a, "a"},
               Target{602, claudeStart, std::nullopt, Shape::a, "b"}, Target{603, "", std::nullopt, Shape::a, "c"}},
              "r",
              "a",
              1});
    loop->run(true);
    EXPECT_EQ(logCount("[adopt] STALE pause.json: none of its 3 target(s) verify against the live process table "
                       "(pids 601,602,603) - the machine almost certainly rebooted. Clearing it instead of staying "
                       "inert until "),
              1);
    EXPECT_FALSE(state.readPause());
    EXPECT_TRUE(state.readLastThaw());

    // Partly lost: the pause stands.
    rows = {claudeRow(601), claudeRow(603)};
    state.write(Pause{
        T,
        T + 600,
        {Target{601, claudeStart, std::nullopt, Shape::a, "a"}, Target{602, claudeStart, std::nullopt, Shape::a, "b"},
         Target{603, claudeStart, std::nullopt, Shape::a, "c"}},
        "r",
        "a",
        1});
    loop->run(true);
    EXPECT_EQ(logCount("[adopt] 1 of 3 target(s) no longer verify (pids 602); 2 still do, so the pause stands"), 1);
    EXPECT_TRUE(state.readPause());
}

TEST_F(LoopTest, ThawNowAndTheExitPaths) {
    rows = {claudeRow(601, 1, RunState::stopped)};
    state.write(Pause{T, T + 600, {Target{601, claudeStart, std::nullopt, Shape::a, "a"}}, "r", "a", 1});
    auto loop = makeLoop();
    EXPECT_EQ(loop->thawNow(), 0);
    EXPECT_FALSE(state.readPause());
    EXPECT_EQ(logCount("[thawNow] pause.json: 1 target(s), resume at "), 1);
    EXPECT_EQ(logCount("[thawNow] Exit - "), 1);

    // thawEverything acts once, even when a pause appears afterwards.
    loop->thawEverything("first");
    state.write(Pause{T, T + 600, {}, "r", "a", 1});
    loop->thawEverything("second");
    EXPECT_TRUE(state.readPause());
    EXPECT_EQ(logCount("[thawEverything]"), 0);

    // A signal: logged, the loop stops, the exit handler gets 0.
    auto second = makeLoop();
    second->handleSignal(15);
    EXPECT_EQ(exits, (std::vector<int>{0}));
    EXPECT_EQ(second->run(false), 0);  // the loop has ended
    EXPECT_FALSE(state.readPause());
    EXPECT_EQ(logCount("WARNING  [signal] received 15"), 1);
    EXPECT_EQ(logCount("[thawEverything] signal 15 - thawing 0 target(s) before exit"), 1);
}

// A pause asked for holds for no usage window: ending it, early or on the way out, never keeps the usage from
// holding in a window that resets before the pause would have ended.
TEST_F(LoopTest, APauseAskedForNeverDisarmsTheUsageHold) {
    for (const char* end : {"resume", "daemon stops"}) {
        SCOPED_TRACE(end);
        std::filesystem::remove(state.lastThawPath());
        rows = {claudeRow(601)};
        signaller->calls.clear();
        writeRecord("a", 601, 40, now + 3600);
        auto loop = makeLoop();
        state.write(PauseRequest{PauseRequest::Kind::pause, std::nullopt, now});
        ASSERT_TRUE(loop->tick().isFreeze());
        now += 60;
        if (std::string(end) == "resume") {
            state.write(PauseRequest{PauseRequest::Kind::resume, std::nullopt, now});
            ASSERT_TRUE(loop->tick().isThaw());
        } else {
            loop->thawEverything("signal 15");
            loop = makeLoop();
        }
        EXPECT_FALSE(state.readPause());
        now += 120;
        writeRecord("a", 601, 95, now + 3000);
        Action action = loop->tick();
        EXPECT_TRUE(action.isFreeze()) << action.describe();
        now += 3600;
        loop->tick();
    }
}

// A session whose first record comes while the usage holds the others is held too, at its safe point, and
// continued at the same reset.
TEST_F(LoopTest, ASessionThatStartsDuringTheHoldIsHeldUntilTheSameReset) {
    rows = {claudeRow(501)};
    writeRecord("first", 501, 95, T + 3600);
    auto loop = makeLoop();
    ASSERT_TRUE(loop->tick().isFreeze());
    const double resumeAt = state.readPause()->resumeAt;

    // Half a second later the next one reports; it is receiving a reply.
    now += 0.5;
    rows.push_back(claudeRow(601));
    writeRecord("late", 601, 95, T + 3600);
    SessionPhase phase;
    phase.sessionID = "late";
    phase.pid = 601;
    phase.apply("PostToolUse", "");
    state.write(phase);
    Action grown = loop->tick();
    ASSERT_TRUE(grown.isReplace()) << grown.describe();
    auto pause = state.readPause();
    ASSERT_TRUE(pause);
    EXPECT_EQ(pause->targets.size(), 2u);
    EXPECT_EQ(pause->resumeAt, resumeAt);
    EXPECT_EQ(pause->waiting.count("late"), 1u);
    EXPECT_EQ(state.readHeld(), pause);
    EXPECT_EQ(signaller->pids("stop"), (std::vector<std::int64_t>{501}));
    EXPECT_EQ(logCount("[notify] mode=off - not posting from the daemon: Claude sessions paused"), 2);

    // At its safe point it is held; at the reset both go on.
    phase.apply("Stop", "");
    state.write(phase);
    now += 5;
    EXPECT_TRUE(loop->tick().isNothing());
    EXPECT_EQ(signaller->pids("stop"), (std::vector<std::int64_t>{501, 601}));
    now = resumeAt;
    ASSERT_TRUE(loop->tick().isThaw());
    EXPECT_EQ(signaller->pids("cont"), (std::vector<std::int64_t>{501, 601}));
}

TEST_F(LoopTest, RunOnceLogsItsEntryLine) {
    auto loop = makeLoop(TrackerConfig(), DaemonLoop::Options{false, {}, {"threshold", "notify"}});
    EXPECT_EQ(loop->run(true), 0);
    EXPECT_EQ(logCount("[run] Entry - state_dir=" + state.root() +
                       " threshold=90.0 poll=2.0s dry_run=false shell_stop_mode=shell-first notify=off "
                       "pinned=notify,threshold"),
              1);
    EXPECT_EQ(logCount("[run] Exit - --once complete"), 1);
    EXPECT_EQ(logCount("[run] watching"), 0);
}

// A session whose hooks say it is receiving a reply is held at its safe point, or when its wait is over.
struct SafePointCase {
    const char* name;
    double safePointWait;
    const char* phasePid;    // "same": the target's claude, "other": a process that had its pid before
    const char* laterEvent;  // hook event after the freeze ("" none)
    double later;            // seconds after the freeze of the next tick
    bool heldAtOnce;
    bool heldLater;
    const char* logged;  // after the later tick
};

void PrintTo(const SafePointCase& safePoint, std::ostream* out) {
    *out << safePoint.name;
}

class SafePointTest : public LoopTest, public ::testing::WithParamInterface<SafePointCase> {};

TEST_P(SafePointTest, StreamingSessionWaitsForItsSafePoint) {
    const auto& safePoint = GetParam();
    SessionPhase phase = streamingAndIdle();
    if (std::string(safePoint.phasePid) == "other") phase.startID = "1";
    rows[0].start.id = "2";
    phase.apply("PostToolUse", "");
    state.write(phase);
    writeConfig({{"safe_point_wait", safePoint.safePointWait}, {"notify", "off"}});
    auto loop = makeLoop();
    ASSERT_TRUE(loop->tick().isFreeze());
    auto stops = signaller->pids("stop");
    EXPECT_EQ(std::count(stops.begin(), stops.end(), 501), safePoint.heldAtOnce ? 1 : 0);
    EXPECT_EQ(std::count(stops.begin(), stops.end(), 601), 1);
    // The pause names every target, and the waiting one with the end of its wait.
    auto pause = state.readPause();
    ASSERT_TRUE(pause);
    EXPECT_EQ(pause->targets.size(), 2u);
    EXPECT_EQ(pause->waiting.count("streaming"), safePoint.heldAtOnce ? 0u : 1u);
    if (!safePoint.heldAtOnce) {
        EXPECT_EQ(pause->waiting["streaming"], T + safePoint.safePointWait);
    }

    rows[1].state = RunState::stopped;
    if (safePoint.heldAtOnce) rows[0].state = RunState::stopped;
    if (*safePoint.laterEvent) {
        phase.apply(safePoint.laterEvent, "");
        state.write(phase);
    }
    now = T + safePoint.later;
    loop->tick();
    stops = signaller->pids("stop");
    EXPECT_EQ(std::count(stops.begin(), stops.end(), 501), safePoint.heldAtOnce || safePoint.heldLater ? 1 : 0);
    EXPECT_EQ(state.readPause()->waiting.empty(), safePoint.heldAtOnce || safePoint.heldLater);
    EXPECT_EQ(state.readHeld()->waiting, state.readPause()->waiting);
    if (*safePoint.logged) {
        EXPECT_EQ(logCount(safePoint.logged), 1) << logText();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Phases, SafePointTest,
    ::testing::Values(SafePointCase{"ReachesItsSafePoint", 90, "same", "PostToolBatch", 5, false, true,
                                    "[tick] session streamin reached a safe point - holding it"},
                      SafePointCase{"TurnEnds", 90, "same", "Stop", 5, false, true, "reached a safe point"},
                      SafePointCase{"StillStreaming", 90, "same", "PostToolUse", 89, false, false,
                                    "[doFreeze] waiting for a safe point: session streamin (pid 501, up to "},
                      SafePointCase{"WaitIsOver", 90, "same", "", 90, false, true,
                                    "[tick] session streamin did not reach a safe point by "},
                      SafePointCase{"NoWait", 0, "same", "", 1, true, true, ""},
                      SafePointCase{"PhaseOfAnEarlierProcess", 90, "other", "", 1, true, true, ""}),
    [](const auto& info) { return std::string(info.param.name); });

// A live change of safe_point_wait to 0 ends a wait that runs: the session is held at the next look.
TEST_F(LoopTest, AWaitSetToZeroMeanwhileEndsAtOnce) {
    SessionPhase phase = streamingAndIdle();
    phase.apply("PostToolUse", "");
    state.write(phase);
    writeConfig({{"safe_point_wait", 90}});
    auto loop = makeLoop();
    ASSERT_TRUE(loop->tick().isFreeze());
    EXPECT_EQ(signaller->pids("stop"), (std::vector<std::int64_t>{601}));
    writeConfig({{"safe_point_wait", 0}});
    now += 1;
    loop->tick();
    EXPECT_EQ(signaller->pids("stop"), (std::vector<std::int64_t>{601, 501}));
    EXPECT_TRUE(state.readPause()->waiting.empty());
}

// A daemon that starts while a session waits keeps the wait; one that is told to stop ends a spaced thaw at once.
TEST_F(LoopTest, WaitSurvivesARestartAndSpacedThawsHurryOnTheWayOut) {
    SessionPhase phase = streamingAndIdle();
    phase.apply("UserPromptSubmit", "");
    phase.apply("PostToolUse", "");
    state.write(phase);
    writeConfig({{"thaw_spacing", 30}, {"notify", "off"}});
    makeLoop()->tick();
    rows[1].state = RunState::stopped;
    signaller->calls.clear();

    auto loop = makeLoop();
    loop->run(true);
    EXPECT_TRUE(signaller->pids("stop").empty());
    phase.apply("Stop", "");
    state.write(phase);
    loop->tick();
    EXPECT_EQ(signaller->pids("stop"), (std::vector<std::int64_t>{501}));

    // Thirty seconds between the two sessions, unless the daemon is told to end meanwhile: the signal comes
    // (from its own thread, as in the daemon) while the thaw waits between them.
    std::thread signal;
    world.onSleep = [&](double) {
        if (signal.joinable()) return;
        signal = std::thread([&] { loop->handleSignal(SIGTERM); });
        ASSERT_TRUE(test::waitUntil([&] { return logCount("[signal] received 15") == 1; }));
    };
    now = T + 3600;
    const double before = world.slept;
    EXPECT_TRUE(loop->tick().isThaw());
    signal.join();
    EXPECT_EQ(world.slept - before, 0.02);  // one step of the wait, not thirty seconds
    EXPECT_EQ(signaller->pids("cont").size(), 2u);
    EXPECT_EQ(exits, (std::vector<int>{0}));
}

TEST(DaemonFlags, ParsingAndItsMessages) {
    auto ok = parseFlags({"--dry-run", "--threshold", "1e2", "--poll", "0.5", "--notify", "off", "--log-level", "WARN",
                          "--state-dir", "~/s", "--once", "--thaw-now", "--threshold", "80", "--log-stderr"});
    ASSERT_TRUE(ok.flags);
    EXPECT_TRUE(ok.flags->dryRun && ok.flags->once && ok.flags->thawNow && ok.flags->logToStandardError);
    EXPECT_FALSE(parseFlags({}).flags->logToStandardError);
    EXPECT_EQ(ok.flags->threshold, 80);
    EXPECT_EQ(ok.flags->poll, 0.5);
    EXPECT_EQ(ok.flags->notify, NotifyMode::off);
    EXPECT_EQ(ok.flags->stateDir, "~/s");
    EXPECT_EQ(ok.flags->logLevel, DaemonLogLevel::warning);
    EXPECT_EQ(ok.flags->pinnedKeys({}), (std::set<std::string>{"notify", "threshold"}));
    EXPECT_EQ(Flags().pinnedKeys({{"VAZ_ADODIVO_THRESHOLD", "nope"}}), std::set<std::string>{"threshold"});
    EXPECT_TRUE(Flags().pinnedKeys({{"VAZ_ADODIVO_THRESHOLD", ""}}).empty());

    auto error = [](std::vector<std::string> args) {
        auto outcome = parseFlags(args);
        EXPECT_FALSE(outcome.flags);
        EXPECT_EQ(outcome.status, 2);
        return outcome.error;
    };
    EXPECT_EQ(error({"--poll"}), "--poll needs a value");
    EXPECT_EQ(error({"--threshold", "ninety"}), "--threshold: not a number: ninety");
    EXPECT_EQ(error({"--threshold", " 5"}), "--threshold: not a number:  5");
    EXPECT_EQ(error({"--threshold", ""}), "--threshold: not a number: ");
    EXPECT_EQ(error({"--threshold", "--once"}), "--threshold: not a number: --once");
    EXPECT_EQ(error({"--notify", "OFF"}), "--notify: choose from desktop, app, off");
    EXPECT_EQ(error({"--log-level", "loud"}),
              "--log-level: choose from verbose, debug, info, warning, error, critical");
    EXPECT_EQ(error({"--threshold=95"}), "unrecognised argument: --threshold=95\n\n" + daemonUsage());

    auto help = parseFlags({"--once", "-h", "--bogus"});
    EXPECT_FALSE(help.flags);
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out, daemonUsage() + "\n");
    EXPECT_EQ(std::count(daemonUsage().begin(), daemonUsage().end(), '\n'), 20);
}

}  // namespace
}  // namespace tracker
