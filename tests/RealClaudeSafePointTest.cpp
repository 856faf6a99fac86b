// The real Claude Code, the real daemon, tee and hooks (put in place by `tarnel install` beside hooks of the
// user's own): the threshold is crossed while a reply streams slowly, the session is held at its next safe
// point, continued at the (short, scripted) reset, and finishes its task with no key typed and no reply
// lost. Skips where the pinned Claude Code is not installed or the cgroup2 tree cannot be written.

#include <gtest/gtest.h>
#include <signal.h>

#include <ctime>
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

    RealClaudeBinary binary_;
};

TEST_F(RealClaudeSafePointTest, HeldBetweenRepliesAndFinishesAfterTheReset) {
    TempDir dir;
    StateDir state(dir.file("state"));
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

    RealClaude::Options options;
    options.binary = binary_.path;
    options.script = script;
    options.prompt = "Write one.txt, two.txt and three.txt.";
    // The user's own hooks (the recorder) stay beside ours.
    options.hookEvents = {"PostToolBatch", "Stop", "StopFailure"};
    options.beforeLaunch = [&](const RealClaude& claude) {
        std::string out;
        int status = runProgram({builtProgram("tarnel"), "install", "--tee", builtProgram("tarnel-tee"), "--state-dir",
                                 state.root(), "--settings", claude.settingsPath(), "--notify", "off"},
                                &out);
        ASSERT_EQ(status, 0) << out;
    };
    RealClaude claude(options);

    SpawnOptions daemonOptions;
    daemonOptions.stderrPath = dir.file("daemon.stderr");
    auto daemon = std::make_unique<ChildProcess>(
        std::vector<std::string>{builtProgram("tarnel-vovivida"), "--state-dir", state.root(), "--notify", "off",
                                 "--log-level", "debug"},
        daemonOptions);
    ASSERT_TRUE(claude.start()) << claude.whyNot();
    FreezeGroupGuard guard(claude.pid());
    auto settings = json::parse(readFile(claude.settingsPath()), nullptr, false);
    ASSERT_TRUE(settings.is_object()) << claude.settingsPath() << ": " << readFile(claude.settingsPath());
    ASSERT_EQ(settings["hooks"]["Stop"].size(), 2u) << settings.dump(1);

    // The decision comes while the third reply streams: the session waits for its safe point.
    std::optional<Pause> decided;
    ASSERT_TRUE(waitUntil([&] { return (decided = state.readPause()).has_value(); }, 60s, 20ms))
        << claude.screen() << readFile(state.logPath());
    const double decidedAt = secondsNow();
    EXPECT_EQ(decided->waiting.size(), 1u) << readFile(state.logPath());
    ASSERT_TRUE(waitUntil(
        [&] {
            auto pause = state.readPause();
            return pause && pause->waiting.empty();
        },
        30s, 20ms))
        << readFile(state.logPath());
    const double heldAt = secondsNow();
    EXPECT_NE(readFile(state.logPath()).find("reached a safe point - holding it"), std::string::npos)
        << readFile(state.logPath());
    EXPECT_NE(readFile("/proc/" + std::to_string(claude.pid()) + "/cgroup").find(CgroupFreezer::groupPrefix),
              std::string::npos);

    // Continued at the reset; the task ends without a key typed.
    ASSERT_TRUE(waitUntil([&] { return !fileExists(state.pausePath()); }, 60s, 50ms)) << readFile(state.logPath());
    const double thawedAt = secondsNow();
    ASSERT_TRUE(claude.waitForHook("Stop", 60s)) << claude.screen();
    // The turn is over (its Stop hook ran) and its last words are on the screen: an error would be there too.
    EXPECT_TRUE(claude.waitForScreen("Finished the task.", 10s)) << claude.screen();
    const std::string screen = claude.screen();
    EXPECT_EQ(screen.find("API Error"), std::string::npos) << screen;
    for (const char* file : {"one.txt", "two.txt", "three.txt"}) {
        EXPECT_TRUE(fileExists(claude.workDirectory() + "/" + file)) << file << "\n" << screen;
    }

    // Held between replies: no reply was streaming from the hold to the thaw, and every reply came whole.
    double usedAtDecision = 0;
    double usedAtHold = 0;
    for (const auto& entry : claude.api().log()) {
        const double time = entry.value("time", 0.0);
        const json turn = entry.value("turn", json());
        const std::string event = entry.value("event", "");
        EXPECT_NE(event, "hang_up");
        EXPECT_NE(event, "client_gone");
        if (!turn.is_number()) continue;
        if (event.empty()) {
            EXPECT_FALSE(time > heldAt && time < thawedAt - 0.5) << entry.dump();
        }
        if (event != "end" || !used.count(turn.get<int>())) continue;
        const double fraction = used.at(turn.get<int>());
        if (time <= decidedAt) usedAtDecision = std::max(usedAtDecision, fraction);
        if (time <= heldAt) usedAtHold = std::max(usedAtHold, fraction);
    }
    std::cout << "[ safe point ] decision at " << usedAtDecision * 100 << " %, hold at " << usedAtHold * 100
              << " %: the wait cost " << (usedAtHold - usedAtDecision) * 100 << " percentage points, "
              << (heldAt - decidedAt) << " s\n";
    RecordProperty("wait_cost_points", std::to_string((usedAtHold - usedAtDecision) * 100));

    ::kill(daemon->pid(), SIGTERM);
    daemon->wait(15s);
}

}  // namespace
}  // namespace tracker::test
