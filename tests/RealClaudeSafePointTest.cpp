// The real Claude Code, the real daemon, tee and hooks (put in place by `tarnel install` beside hooks of the
// user's own): a threshold is crossed (the five-hour window's or the seven-day window's while a reply streams
// slowly, or another session's while a `claude -p` run works), the session is held at its next safe point,
// continued at the (short, scripted) reset, and finishes its task with no key typed and no reply lost. Skips
// where the pinned Claude Code is not installed or the cgroup2 tree cannot be written.

#include <gtest/gtest.h>
#include <signal.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>

#include "CgroupGuard.hpp"
#include "Core/StateDir.hpp"
#include "RealClaude.hpp"
#include "SkipOrFailInCI.hpp"

namespace tracker::test {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

double secondsNow() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

class RealClaudeSafePointTest : public ::testing::Test {
protected:
    void SetUp() override {
        binary_ = runnableRealClaude(true);
        if (binary_.path.empty()) SKIP_OR_FAIL_IN_CI(binary_.whyNot);
    }

    // A session whose settings `tarnel install` completes with our hooks and status line on this state
    // directory; the user's own hooks (the recorder) stay beside ours.
    RealClaude::Options installed(json script, std::string prompt) {
        RealClaude::Options options;
        options.binary = binary_.path;
        options.script = std::move(script);
        options.prompt = std::move(prompt);
        options.hookEvents = {"PostToolBatch", "Stop", "StopFailure"};
        options.beforeLaunch = [this](const RealClaude& claude) {
            std::string out;
            int status =
                runProgram({builtProgram("tarnel"), "install", "--tee", builtProgram("tarnel-tee"), "--state-dir",
                            state_.root(), "--settings", claude.settingsPath(), "--notify", "off"},
                           &out);
            ASSERT_EQ(status, 0) << out;
        };
        return options;
    }

    void startDaemon() {
        SpawnOptions options;
        options.stderrPath = dir_.file("daemon.stderr");
        daemon_ = std::make_unique<ChildProcess>(
            std::vector<std::string>{builtProgram("tarnel-vovivida"), "--state-dir", state_.root(), "--notify", "off",
                                     "--log-level", "debug"},
            options);
    }

    void stopDaemon() {
        ::kill(daemon_->pid(), SIGTERM);
        daemon_->wait(15s);
    }

    std::string log() const { return readFile(state_.logPath()); }

    // When the daemon decided to hold, held every session (none waits for its safe point any more) and continued
    // claude's; pause.json as it stood once every session was held.
    struct Hold {
        double decided = 0;
        double held = 0;
        double continued = 0;
        json pause;
        std::size_t waited = 0;     // sessions that waited for their safe point
        bool byTheFreezer = false;  // held in a freezer group of ours
    };

    // Follows one hold of claude's session from the decision to its end: held at a safe point, by the kernel.
    Hold followHold(const RealClaude& claude) {
        Hold hold;
        std::optional<Pause> decided;
        EXPECT_TRUE(waitUntil([&] { return (decided = state_.readPause()).has_value(); }, 60s, 20ms))
            << claude.screen() << log();
        if (!decided) return hold;
        hold.decided = secondsNow();
        hold.waited = decided->waiting.size();
        EXPECT_TRUE(waitUntil(
            [&] {
                auto pause = state_.readPause();
                return pause && pause->waiting.empty();
            },
            30s, 20ms))
            << log();
        hold.held = secondsNow();
        hold.pause = json::parse(readFile(state_.pausePath()), nullptr, false);
        EXPECT_NE(log().find("reached a safe point - holding it"), std::string::npos) << log();
        EXPECT_TRUE(expectHeld(claude.pid(), 5s)) << claude.screen() << log();
        hold.byTheFreezer =
            readFile("/proc/" + std::to_string(claude.pid()) + "/cgroup").find(CgroupFreezer::groupPrefix) !=
            std::string::npos;
        EXPECT_TRUE(waitUntil([&] { return !heldByKernel(claude.pid()); }, 60s, 10ms)) << log();
        hold.continued = secondsNow();
        // The pause ends once every session is continued, which the daemon spaces out.
        EXPECT_TRUE(waitUntil([&] { return !fileExists(state_.pausePath()); }, 30s, 50ms)) << log();
        return hold;
    }

    // Held between replies: no request of the conversation from the hold until it was continued (the last half
    // second aside), and every reply came whole.
    static void expectQuietWhileHeld(RealClaude& claude, const Hold& hold) {
        for (const auto& entry : claude.api().log()) {
            const std::string event = entry.value("event", "");
            EXPECT_NE(event, "hang_up");
            EXPECT_NE(event, "client_gone");
            if (!entry.value("turn", json()).is_number() || !event.empty()) continue;
            const double time = entry.value("time", 0.0);
            EXPECT_FALSE(time > hold.held && time < hold.continued - 0.5) << entry.dump();
        }
    }

    RealClaudeBinary binary_;
    TempDir dir_;
    StateDir state_{dir_.file("state")};
    std::unique_ptr<ChildProcess> daemon_;
};

TEST_F(RealClaudeSafePointTest, HeldBetweenRepliesAndFinishesAfterTheReset) {
    // The window resets 25 s after each reply: the pause ends 25 s after the reply that crossed the threshold,
    // however long Claude Code took to start.
    auto usage = [](double fiveHour) { return json{{"5h", fiveHour}, {"5h_reset_in", 25}, {"7d", 0.3}}; };
    // Usage rises with each reply; the second reply crosses the threshold (90 %) and the third streams
    // slowly, a text and then a tool call, when the daemon decides.
    const std::map<int, double> used = {{0, 0.30}, {1, 0.95}, {2, 0.97}};
    json script = {
        {"replies",
         {{{"blocks", {textBlock("Step one."), bashBlock("echo one > one.txt")}}, {"usage", usage(used.at(0))}},
          {{"blocks", {textBlock("Step two."), bashBlock("echo two > two.txt")}}, {"usage", usage(used.at(1))}},
          {{"blocks",
            {textBlock("Step three, told slowly word by word.", {{"delay", 1}, {"chunks", 8}, {"chunk_delay", 0.4}}),
             bashBlock("echo three > three.txt", {{"chunks", 4}, {"chunk_delay", 0.4}})}},
           {"usage", usage(used.at(2))}},
          {{"blocks", {textBlock("Finished the task.")}},
           {"usage", {{"5h", 0.02}, {"5h_reset_in", 18000}, {"7d", 0.3}}}}}},
        {"usage", usage(used.at(0))}};

    RealClaude claude(installed(script, "Write one.txt, two.txt and three.txt."));
    startDaemon();
    ASSERT_TRUE(claude.start()) << claude.whyNot();
    FreezeGroupGuard guard(claude.pid());
    auto settings = json::parse(readFile(claude.settingsPath()), nullptr, false);
    ASSERT_TRUE(settings.is_object()) << claude.settingsPath() << ": " << readFile(claude.settingsPath());
    ASSERT_EQ(settings["hooks"]["Stop"].size(), 2u) << settings.dump(1);

    // The decision comes while the third reply streams: the session waits for its safe point. Then it is
    // continued at the reset, and the task ends without a key typed.
    const Hold hold = followHold(claude);
    ASSERT_FALSE(HasFailure());
    EXPECT_EQ(hold.waited, 1u) << log();
    EXPECT_TRUE(hold.byTheFreezer);
    ASSERT_TRUE(claude.waitForHook("Stop", 60s)) << claude.screen();
    // The turn is over (its Stop hook ran) and its last words are on the screen: an error would be there too.
    EXPECT_TRUE(claude.waitForScreen("Finished the task.", 10s)) << claude.screen();
    const std::string screen = claude.screen();
    EXPECT_EQ(screen.find("API Error"), std::string::npos) << screen;
    for (const char* file : {"one.txt", "two.txt", "three.txt"}) {
        EXPECT_TRUE(fileExists(claude.workDirectory() + "/" + file)) << file << "\n" << screen;
    }
    expectQuietWhileHeld(claude, hold);

    // What waiting for the safe point cost.
    double usedAtDecision = 0;
    double usedAtHold = 0;
    for (const auto& entry : claude.api().log()) {
        const double time = entry.value("time", 0.0);
        const json turn = entry.value("turn", json());
        if (!turn.is_number() || entry.value("event", "") != "end" || !used.count(turn.get<int>())) continue;
        const double fraction = used.at(turn.get<int>());
        if (time <= hold.decided) usedAtDecision = std::max(usedAtDecision, fraction);
        if (time <= hold.held) usedAtHold = std::max(usedAtHold, fraction);
    }
    std::cout << "[ safe point ] decision at " << usedAtDecision * 100 << " %, hold at " << usedAtHold * 100
              << " %: the wait cost " << (usedAtHold - usedAtDecision) * 100 << " percentage points, "
              << (hold.held - hold.decided) << " s\n";
    RecordProperty("wait_cost_points", std::to_string((usedAtHold - usedAtDecision) * 100));

    stopDaemon();
}

// The seven-day window nearly spent while the five-hour one is not: held at the safe point until the
// seven-day reset (a short one here), then the task goes on.
TEST_F(RealClaudeSafePointTest, WeeklyHoldLastsToTheSevenDayReset) {
    auto usage = [](double sevenDay) {
        return json{{"5h", 0.2}, {"5h_reset_in", 18000}, {"7d", sevenDay}, {"7d_reset_in", 30}};
    };
    // The second reply crosses the weekly threshold (95 %); the third streams when the daemon decides.
    json script = {{"replies",
                    {{{"blocks", {textBlock("Step one."), bashBlock("echo one > one.txt")}}, {"usage", usage(0.5)}},
                     {{"blocks", {textBlock("Step two."), bashBlock("echo two > two.txt")}}, {"usage", usage(0.96)}},
                     {{"blocks",
                       {textBlock("Step three, told slowly.", {{"delay", 1}, {"chunks", 6}, {"chunk_delay", 0.4}}),
                        bashBlock("echo three > three.txt")}},
                      {"usage", usage(0.97)}},
                     {{"blocks", {textBlock("Finished the task.")}},
                      {"usage", {{"5h", 0.2}, {"5h_reset_in", 18000}, {"7d", 0.01}, {"7d_reset_in", 7 * 86400}}}}}},
                   {"usage", usage(0.5)}};
    RealClaude claude(installed(script, "Write one.txt, two.txt and three.txt."));
    startDaemon();
    ASSERT_TRUE(claude.start()) << claude.whyNot();
    FreezeGroupGuard guard(claude.pid());

    const Hold hold = followHold(claude);
    ASSERT_FALSE(HasFailure());
    EXPECT_EQ(hold.pause.value("window", ""), "seven_day") << hold.pause.dump(1);
    EXPECT_EQ(hold.waited, 1u) << log();
    EXPECT_TRUE(hold.byTheFreezer);
    ASSERT_TRUE(claude.waitForHook("Stop", 60s)) << claude.screen();
    EXPECT_TRUE(claude.waitForScreen("Finished the task.", 10s)) << claude.screen();
    const std::string screen = claude.screen();
    EXPECT_EQ(screen.find("API Error"), std::string::npos) << screen;
    EXPECT_TRUE(fileExists(claude.workDirectory() + "/three.txt")) << screen;
    expectQuietWhileHeld(claude, hold);
    std::cout << "[ weekly ] decided " << hold.waited << " session(s) waiting, held " << (hold.held - hold.decided)
              << " s later for " << (hold.continued - hold.held) << " s\n";
    stopDaemon();
}

// A `claude -p` run draws no status line: its hooks register it, and it is held at its safe point while
// another session reports the five-hour window nearly spent, continued at that window's reset, and ends well.
TEST_F(RealClaudeSafePointTest, PrintRunKnownFromItsHooksIsHeldAndFinishes) {
    json script = {{"replies",
                    {{{"blocks", {textBlock("Step one."), bashBlock("sleep 3; echo one > one.txt")}}},
                     {{"blocks", {textBlock("Step two."), bashBlock("echo two > two.txt")}}},
                     {{"blocks", {textBlock("Step three."), bashBlock("echo three > three.txt")}}},
                     {{"blocks", {textBlock("Finished the task.")}}}}}};
    RealClaude::Options options = installed(script, "Write one.txt, two.txt and three.txt.");
    options.print = true;
    RealClaude claude(options);
    startDaemon();
    ASSERT_TRUE(claude.start()) << claude.whyNot();
    FreezeGroupGuard guard(claude.pid());

    auto registered = [&] {
        for (const Record& record : state_.readRecords()) {
            if (record.pid == claude.pid() && record.fromHooks && !record.hasFigures()) return true;
        }
        return false;
    };
    ASSERT_TRUE(waitUntil(registered, 60s, 50ms)) << claude.screen() << log();

    // Another session, on the status line through the real tee, at 95 % of a window that resets in 20 s.
    std::filesystem::create_directories(dir_.file("other"));
    StandIn other(dir_.file("other"));
    other.withCommand(builtProgram("tarnel-tee")).withFiveHour(95, secondsNow() + 20);
    other.extra = {"--session-id", "other-session"};
    SpawnOptions otherOptions;
    otherOptions.newSession = true;
    otherOptions.environment = {"VAZ_ADODIVO_STATE_DIR=" + state_.root()};
    ChildProcess otherSession(other.arguments(), otherOptions);
    FreezeGroupGuard otherGuard(other.pid());

    const Hold hold = followHold(claude);
    ASSERT_FALSE(HasFailure());
    EXPECT_EQ(hold.pause.value("window", ""), "five_hour") << hold.pause.dump(1);
    EXPECT_EQ(hold.pause.value("targets", json::array()).size(), 2u) << hold.pause.dump(1);
    // The other session has no hooks and is held at once; the run waits for its safe point.
    EXPECT_EQ(hold.waited, 1u) << log();
    const auto status = claude.exitStatus(60s);
    ASSERT_TRUE(status.has_value()) << claude.screen() << log();
    EXPECT_EQ(*status, 0) << claude.screen();
    const std::string output = claude.screen();
    EXPECT_NE(output.find("Finished the task."), std::string::npos) << output;
    EXPECT_EQ(output.find("API Error"), std::string::npos) << output;
    for (const char* file : {"one.txt", "two.txt", "three.txt"}) {
        EXPECT_TRUE(fileExists(claude.workDirectory() + "/" + file)) << file << "\n" << output;
    }
    expectQuietWhileHeld(claude, hold);
    std::cout << "[ print run ] held " << (hold.held - hold.decided) << " s after the decision, for "
              << (hold.continued - hold.held) << " s; exit " << *status << ", printed: " << output << "\n";
    stopDaemon();
}

}  // namespace
}  // namespace tracker::test
