// What a hold by the cgroup freezer does to the real Claude Code, by where in a turn it lands: which holds
// the session survives by itself and which cost it the reply it was receiving. Against the fake Messages
// API, which can close the connection while Claude Code is held (as a server does with a client that stops
// reading). Skips where the pinned Claude Code is not installed or the cgroup2 tree cannot be written.

#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>

#include "CgroupGuard.hpp"
#include "Platform/linux/CgroupFreezer.hpp"
#include "RealClaude.hpp"
#include "SkipOrFailInCI.hpp"

namespace tracker::test {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

json with(json block, const json& extra) {
    block.merge_patch(extra);
    return block;
}

// Where the hold lands: once the fake's log has an entry with these members (e.g. block 1 of turn 0 has
// started), plus a pause.
struct HoldCase {
    const char* name;
    json firstReply;      // blocks of the first reply; the second says "Finished the task."
    json when;            // members of the fake's log entry after which the hold begins
    double pauseSeconds;  // from that entry to the hold
    int holdSeconds;
    std::vector<std::string> environment;
    bool replyLost;  // whether Claude Code reports an API error afterwards
};

void PrintTo(const HoldCase& hold, std::ostream* out) {
    *out << hold.name;
}

std::vector<HoldCase> holdCases() {
    json slowFirstBlock = textBlock("one two three four five six seven eight", {{"chunks", 8}, {"chunk_delay", 0.8}});
    json slowToolCall = bashBlock("echo streamed", {{"chunks", 6}, {"chunk_delay", 1}});
    return {
        {"AtThePrompt",
         json::array({textBlock("Running it."), bashBlock("echo ran")}),
         {{"event", "end"}, {"turn", 1}},
         1.5,
         4,
         {},
         false},
        {"WhileAToolRunsAfterTheReply",
         json::array({textBlock("Running it."), bashBlock("sleep 6; echo ran")}),
         {{"event", "end"}, {"turn", 0}},
         1.5,
         4,
         {},
         false},
        // The connection breaks before any block is complete: Claude Code asks for the reply again.
        {"WhileTheFirstBlockStreamsAndTheServerHangsUp",
         json::array({with(slowFirstBlock, {{"hang_up_after", 3}}), bashBlock("echo ran")}),
         {{"event", "block"}, {"turn", 0}, {"block", 0}},
         1.2,
         5,
         {},
         false},
        {"AfterTheFirstBlockAndTheServerHangsUp",
         json::array({textBlock("First block."), with(slowToolCall, {{"hang_up_after", 2}})}),
         {{"event", "block"}, {"turn", 0}, {"block", 1}},
         0.5,
         5,
         {},
         true},
        // A tool starts as soon as its block is complete, while the reply's next block still streams.
        {"WhileAToolRunsBeforeTheReplyEndsAndTheServerHangsUp",
         json::array(
             {textBlock("Two commands."), bashBlock("sleep 3; echo first"),
              bashBlock("echo second", {{"delay", 4}, {"chunks", 3}, {"chunk_delay", 1}, {"hang_up_after", 1}})}),
         {{"event", "block"}, {"turn", 0}, {"block", 1}},
         1.0,
         5,
         {},
         true},
        // The whole reply arrives meanwhile, but the hold outlasts the watchdog on a reply that stops arriving
        // (300 s against a custom base URL; 10 s here, its least).
        {"AfterTheFirstBlockLongerThanTheWatchdog",
         json::array({textBlock("First block."), slowToolCall}),
         {{"event", "block"}, {"turn", 0}, {"block", 1}},
         0.5,
         12,
         {"CLAUDE_BYTE_STREAM_IDLE_TIMEOUT_MS=10000"},
         true},
    };
}

bool matches(const json& entry, const json& members) {
    for (const auto& [name, value] : members.items()) {
        if (!entry.is_object() || !entry.contains(name) || entry[name] != value) return false;
    }
    return true;
}

class RealClaudeHoldTest : public ::testing::TestWithParam<HoldCase> {
protected:
    void SetUp() override {
        // What each phase of Claude Code does under a hold, some 90 s in all: the facts the safe points rest on,
        // checked with every run, so that a Claude Code that changes its ways shows up.
        binary_ = runnableRealClaude(true);
        if (binary_.path.empty()) SKIP_OR_FAIL_IN_CI(binary_.whyNot);
    }

    RealClaudeBinary binary_;
};

TEST_P(RealClaudeHoldTest, TurnSurvivesTheHoldOrLosesTheReply) {
    const auto& hold = GetParam();
    RealClaude::Options options;
    options.binary = binary_.path;
    options.prompt = "Do the task.";
    options.environment = hold.environment;
    options.script = {
        {"replies", {{{"blocks", hold.firstReply}}, {{"blocks", json::array({textBlock("Finished the task.")})}}}}};
    RealClaude claude(options);
    ASSERT_TRUE(claude.start()) << claude.whyNot();
    FreezeGroupGuard guard(claude.pid());

    auto reached = [&] {
        for (const auto& entry : claude.api().log()) {
            if (matches(entry, hold.when)) return true;
        }
        return false;
    };
    ASSERT_TRUE(waitUntil(reached, 60s, 50ms)) << claude.screen();
    std::this_thread::sleep_for(std::chrono::duration<double>(hold.pauseSeconds));
    CgroupFreezer freezer;
    auto attempt = freezer.freeze(claude.pid());
    ASSERT_TRUE(attempt.held) << attempt.whyNot;
    std::this_thread::sleep_for(std::chrono::seconds(hold.holdSeconds));
    ASSERT_TRUE(freezer.cont(claude.pid()));

    auto ended = [&] {
        for (const auto& record : claude.hooks()) {
            if (record.event == "Stop" || record.event == "StopFailure") return true;
        }
        return false;
    };
    ASSERT_TRUE(waitUntil(ended, 60s, 100ms)) << claude.screen();
    // The screen settles a moment after the hook.
    std::this_thread::sleep_for(500ms);
    std::string screen = claude.screen();
    if (hold.replyLost) {
        EXPECT_NE(screen.find("API Error"), std::string::npos) << screen;
    } else {
        EXPECT_EQ(screen.find("API Error"), std::string::npos) << screen;
        EXPECT_NE(screen.find("Finished the task."), std::string::npos) << screen;
    }
}

// Held while Claude Code asks whether it may run a tool (the reply that asked for it is over): after the
// thaw the question is still there, and once answered the turn goes on.
TEST_F(RealClaudeHoldTest, AtAPermissionPrompt) {
    RealClaude::Options options;
    options.binary = binary_.path;
    options.prompt = "Do the task.";
    options.extraSettings = {{"permissions", {{"allow", json::array()}}}};
    options.script = {{"replies",
                       {{{"blocks", json::array({textBlock("Running it."), bashBlock("echo asked > asked.txt")})}},
                        {{"blocks", json::array({textBlock("Finished the task.")})}}}}};
    RealClaude claude(options);
    ASSERT_TRUE(claude.start()) << claude.whyNot();
    FreezeGroupGuard guard(claude.pid());
    ASSERT_TRUE(claude.waitForHook("PermissionRequest", 60s)) << claude.screen();
    std::this_thread::sleep_for(1500ms);
    const std::string asked = claude.screen();
    CgroupFreezer freezer;
    auto attempt = freezer.freeze(claude.pid());
    ASSERT_TRUE(attempt.held) << attempt.whyNot;
    std::this_thread::sleep_for(5s);
    ASSERT_TRUE(freezer.cont(claude.pid()));
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(claude.screen().find("API Error"), std::string::npos) << claude.screen();
    claude.type("", true);
    ASSERT_TRUE(claude.waitForHook("Stop", 60s)) << asked << "\n----\n" << claude.screen();
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(claude.screen().find("API Error"), std::string::npos) << claude.screen();
    EXPECT_NE(claude.screen().find("Finished the task."), std::string::npos) << claude.screen();
    EXPECT_TRUE(fileExists(claude.workDirectory() + "/asked.txt"));
}

INSTANTIATE_TEST_SUITE_P(Phases, RealClaudeHoldTest, ::testing::ValuesIn(holdCases()),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tracker::test
