// The real Claude Code against the fake Messages API: what its hooks and its status line are handed, which
// the session records rely on. Skips where the pinned Claude Code is not installed.

#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>

#include "RealClaude.hpp"
#include "SkipOrFailInCI.hpp"

namespace tracker::test {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

// A member of an object, or a null when either is missing.
json member(const json& object, const char* name) {
    return object.is_object() && object.contains(name) ? object[name] : json();
}
std::string stringAt(const json& object, const char* name) {
    auto value = member(object, name);
    return value.is_string() ? value.get<std::string>() : std::string();
}
double numberAt(const json& object, const char* name) {
    auto value = member(object, name);
    return value.is_number() ? value.get<double>() : -1;
}

json usage(double fiveHour, std::int64_t fiveHourReset) {
    return {{"5h", fiveHour}, {"5h_reset", fiveHourReset}, {"7d", 0.5}, {"7d_reset", fiveHourReset + 86400}};
}

class RealClaudeTest : public ::testing::Test {
protected:
    void SetUp() override {
        binary_ = runnableRealClaude(false);
        if (binary_.path.empty()) SKIP_OR_FAIL_IN_CI(binary_.whyNot);
    }

    std::unique_ptr<RealClaude> run(const json& script, const std::string& prompt) {
        RealClaude::Options options;
        options.binary = binary_.path;
        options.script = script;
        options.prompt = prompt;
        auto claude = std::make_unique<RealClaude>(options);
        EXPECT_TRUE(claude->start()) << claude->whyNot();
        return claude;
    }

    static std::vector<std::string> eventsOf(const std::vector<Recorded>& records) {
        std::vector<std::string> events;
        for (const auto& record : records) events.push_back(record.event);
        return events;
    }

    RealClaudeBinary binary_;
};

// A tool that succeeds and one that fails end in different hooks; both turns are told through the hooks in
// the same order, all for one session, and the status line gets the usage of the last complete reply.
struct ToolCase {
    const char* name;
    const char* command;
    const char* afterTool;
};

void PrintTo(const ToolCase& tool, std::ostream* out) {
    *out << tool.name;
}

class RealClaudeToolTest : public RealClaudeTest, public ::testing::WithParamInterface<ToolCase> {};

TEST_P(RealClaudeToolTest, HooksTellTheTurnAndTheStatusLineTheLimits) {
    const auto& tool = GetParam();
    std::int64_t reset = static_cast<std::int64_t>(std::time(nullptr)) + 3600;
    json script = {{"replies",
                    {{{"blocks", {textBlock("Running it."), bashBlock(tool.command)}}, {"usage", usage(0.25, reset)}},
                     {{"blocks", {textBlock("Finished the task.")}}, {"usage", usage(0.42, reset)}}}},
                   {"usage", usage(0.1, reset)}};
    auto claude = run(script, "Run the command.");
    ASSERT_GT(claude->pid(), 0);
    ASSERT_TRUE(claude->waitForHook("Stop", 60s)) << claude->screen();
    EXPECT_TRUE(claude->waitForScreen("Finished the task.", 10s)) << claude->screen();
    EXPECT_EQ(claude->screen().find("API Error"), std::string::npos) << claude->screen();

    auto hooks = claude->hooks();
    std::vector<std::string> expected = {"SessionStart", "UserPromptSubmit", "PreToolUse",
                                         tool.afterTool, "PostToolBatch",    "Stop"};
    EXPECT_EQ(eventsOf(hooks), expected);
    ASSERT_FALSE(hooks.empty());
    std::string session = stringAt(hooks.front().input, "session_id");
    EXPECT_FALSE(session.empty());
    for (const auto& hook : hooks) {
        EXPECT_EQ(stringAt(hook.input, "session_id"), session) << hook.event;
        EXPECT_EQ(stringAt(hook.input, "hook_event_name"), hook.event);
        if (hook.event == "PreToolUse" || hook.event == tool.afterTool) {
            EXPECT_EQ(stringAt(hook.input, "tool_name"), "Bash");
            EXPECT_EQ(stringAt(member(hook.input, "tool_input"), "command"), tool.command);
        }
    }

    // The status line runs again shortly after the last reply; that reply's headers are in it.
    bool reported = waitUntil(
        [&] {
            auto lines = claude->statusLines();
            if (lines.empty()) return false;
            return numberAt(member(member(lines.back().input, "rate_limits"), "five_hour"), "used_percentage") == 42;
        },
        10s, 100ms);
    auto lines = claude->statusLines();
    ASSERT_TRUE(reported) << (lines.empty() ? "no status line" : lines.back().input.dump());
    json last = lines.back().input;
    auto limits = member(last, "rate_limits");
    EXPECT_EQ(stringAt(last, "session_id"), session);
    EXPECT_EQ(numberAt(member(limits, "five_hour"), "resets_at"), reset);
    EXPECT_EQ(numberAt(member(limits, "seven_day"), "used_percentage"), 50);
    EXPECT_EQ(numberAt(member(limits, "seven_day"), "resets_at"), reset + 86400);
}

INSTANTIATE_TEST_SUITE_P(Tools, RealClaudeToolTest,
                         ::testing::Values(ToolCase{"Succeeds", "echo real > proof.txt", "PostToolUse"},
                                           ToolCase{"Fails", "exit 3", "PostToolUseFailure"}),
                         [](const auto& info) { return std::string(info.param.name); });

// Claude Code starts a tool as soon as its block is complete, while the rest of the reply still streams: a
// PreToolUse hook does not mean that the reply is over.
TEST_F(RealClaudeTest, ToolStartsWhileTheReplyStillStreams) {
    json slowSecondCall = bashBlock("echo second", {{"delay", 4}});
    json script = {{"replies",
                    {{{"blocks", {textBlock("Two commands."), bashBlock("echo first"), slowSecondCall}}},
                     {{"blocks", {textBlock("Finished the task.")}}}}}};
    auto claude = run(script, "Run both commands.");
    ASSERT_GT(claude->pid(), 0);
    ASSERT_TRUE(claude->waitForHook("Stop", 60s)) << claude->screen();

    double firstToolStarts = 0;
    for (const auto& hook : claude->hooks()) {
        if (hook.event == "PreToolUse" && stringAt(member(hook.input, "tool_input"), "command") == "echo first") {
            firstToolStarts = hook.time;
        }
    }
    double replyEnds = 0;
    for (const auto& entry : claude->api().log()) {
        if (stringAt(entry, "event") == "end" && numberAt(entry, "turn") == 0) replyEnds = numberAt(entry, "time");
    }
    ASSERT_GT(firstToolStarts, 0);
    ASSERT_GT(replyEnds, 0);
    EXPECT_LT(firstToolStarts, replyEnds - 1.0);
}

}  // namespace
}  // namespace tracker::test
