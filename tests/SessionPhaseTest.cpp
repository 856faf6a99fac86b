// A session's phase from the hook events Claude Code runs, as the tee records them and the daemon reads them.

#include <gtest/gtest.h>

#include <filesystem>

#include "Core/JSONFile.hpp"
#include "Core/ProcessTable.hpp"
#include "Core/SessionPhase.hpp"
#include "Core/StateDir.hpp"
#include "TestSupport.hpp"

namespace tracker {
namespace {

struct Step {
    const char* event;
    const char* agent;
};

struct PhaseCase {
    const char* name;
    std::vector<Step> steps;
    bool streaming;
};

void PrintTo(const PhaseCase& phaseCase, std::ostream* out) {
    *out << phaseCase.name;
}

class SessionPhaseEvents : public ::testing::TestWithParam<PhaseCase> {};

// The event orders the real Claude Code sends (see RealClaudeTest), and a subagent beside the main agent.
TEST_P(SessionPhaseEvents, StreamingUntilEveryAgentIsAtASafePoint) {
    SessionPhase phase;
    for (const auto& step : GetParam().steps) phase.apply(step.event, step.agent);
    EXPECT_EQ(phase.streaming(), GetParam().streaming);
}

INSTANTIATE_TEST_SUITE_P(
    Turns, SessionPhaseEvents,
    ::testing::Values(
        PhaseCase{"NothingYet", {}, false},
        // A tool that ran while its reply may still stream; PreToolUse says nothing.
        PhaseCase{"ToolRan", {{"PreToolUse", ""}, {"PostToolUse", ""}}, true},
        PhaseCase{"ToolFailed", {{"PostToolUseFailure", ""}}, true},
        // Safe only while the hook runs: the recorder marks it streaming again unless a hold is pending.
        PhaseCase{"EveryToolOfTheReplyRan", {{"PostToolUse", ""}, {"PostToolBatch", ""}}, false},
        PhaseCase{"PromptSubmitted", {{"Stop", ""}, {"UserPromptSubmit", ""}}, false},
        PhaseCase{"TurnEnded", {{"PostToolUse", ""}, {"Stop", ""}}, false},
        PhaseCase{"TurnFailed", {{"UserPromptSubmit", ""}, {"PostToolUse", ""}, {"StopFailure", ""}}, false},
        PhaseCase{"SubagentStillStreaming", {{"SubagentStart", "a1"}, {"PostToolUse", ""}, {"Stop", ""}}, true},
        PhaseCase{"SubagentAtItsSafePoint", {{"SubagentStart", "a1"}, {"PostToolBatch", "a1"}, {"Stop", ""}}, false},
        PhaseCase{"SubagentStopped", {{"SubagentStart", "a1"}, {"Stop", ""}, {"SubagentStop", "a1"}}, false},
        PhaseCase{"MainStreamsAfterSubagentStopped",
                  {{"SubagentStart", "a1"}, {"PostToolUse", ""}, {"SubagentStop", "a1"}},
                  true},
        PhaseCase{"UnknownEventsChangeNothing", {{"PostToolUse", ""}, {"Notification", ""}, {"Bogus", ""}}, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SessionPhase, RoundTripsAndADamagedFileNeverReadsAsSafe) {
    SessionPhase phase;
    phase.sessionID = "s1";
    phase.pid = 42;
    phase.startID = "123";
    phase.ts = 1.5;
    phase.apply("SubagentStart", "a1");
    phase.apply("Stop", "");
    JSON written = phase.toJSON();
    EXPECT_EQ(written["phase"], "streaming");
    EXPECT_EQ(SessionPhase::fromJSON(&written), phase);

    written["agents"]["a1"] = 7;
    EXPECT_TRUE(SessionPhase::fromJSON(&written)->streaming());
    for (const char* broken : {R"({"pid": 42})", R"({"session_id": "s1", "pid": 0})", R"([1])", R"("s1")"}) {
        JSON value = JSON::parse(broken);
        EXPECT_FALSE(SessionPhase::fromJSON(&value)) << broken;
    }
}

TEST(SessionPhase, LivesBesideTheRecordAndGoesWithIt) {
    test::TempDir dir;
    StateDir state(dir.file("state"));
    state.ensureDirectories();
    SessionPhase phase;
    phase.sessionID = "s1";
    phase.pid = 999999;
    phase.apply("PostToolUse", "");
    state.write(phase);
    EXPECT_EQ(state.phasePath("s1"), state.sessionsDir() + "/s1.phase");
    EXPECT_EQ(state.readPhase("s1"), phase);
    // Not a record, and not read for another session's id.
    EXPECT_TRUE(state.readRecords().empty());
    EXPECT_FALSE(state.readPhase("s2"));
    EXPECT_FALSE(state.readPhase("../s1"));

    Record record;
    record.sessionID = "s1";
    record.pid = 999999;
    record.ts = 1;
    state.write(record, false);
    record.ts = 2;
    state.write(record, false);
    phase.apply("Stop", "");
    state.write(phase);
    ASSERT_TRUE(test::fileExists(JSONFile::spareOf(state.recordPath("s1"))));
    ASSERT_TRUE(test::fileExists(JSONFile::spareOf(state.phasePath("s1"))));
    StateDir::pruneRecords(state.readRecords(), ProcessTable(), 1e9, 60, {});
    // The record goes with its phase and the spares they were rewritten through.
    EXPECT_TRUE(std::filesystem::is_empty(state.sessionsDir()));
}

}  // namespace
}  // namespace tracker
