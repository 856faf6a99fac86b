// The daemon's configuration in force: start-up overrides, live reload of the three live keys, pinning,
// and how values show in the log.

#include <gtest/gtest.h>

#include <cmath>

#include "Core/NumberText.hpp"
#include "Daemon/LiveConfig.hpp"
#include "TestSupport.hpp"

namespace tracker {
namespace {

using test::TempDir;

class LiveConfigTest : public ::testing::Test {
protected:
    TempDir dir;
    StateDir state{dir.file("state")};
    std::shared_ptr<DaemonLogger> logger;

    void SetUp() override {
        state.ensureDirectories();
        logger = DaemonLogger::create(state.logPath(), DaemonLogLevel::debug, false);
    }

    LiveConfig make(TrackerConfig config = TrackerConfig(), std::set<std::string> pinned = {}) {
        return LiveConfig(std::move(config), std::move(pinned), state.configPath(), logger);
    }
    int logCount(const std::string& text) const {
        std::string all = test::readFile(state.logPath());
        int count = 0;
        for (size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) ++count;
        return count;
    }
    void writeConfig(JSONObject raw) { state.write(TrackerConfig(std::move(raw))); }
};

TEST_F(LiveConfigTest, LoadDropsBadLiveKeysThenAppliesOverrides) {
    writeConfig({{"threshold", "high"}, {"notify", "OFF"}, {"shell_stop_mode", "claude-only"}, {"grace", "x"}});
    auto config = LiveConfig::load(state, std::nullopt, std::nullopt, std::nullopt, {});
    EXPECT_FALSE(config.raw.count("threshold"));
    EXPECT_FALSE(config.raw.count("notify"));
    EXPECT_EQ(config.raw.at("shell_stop_mode"), "claude-only");
    EXPECT_EQ(config.raw.at("grace"), "x");  // not a live key: left for its accessor's default

    config = LiveConfig::load(state, std::nullopt, std::nullopt, std::nullopt, {{"VAZ_ADODIVO_THRESHOLD", "80"}});
    EXPECT_EQ(config.threshold(), 80);
    config = LiveConfig::load(state, 70.0, 0.5, NotifyMode::app, {{"VAZ_ADODIVO_THRESHOLD", "80"}});
    EXPECT_EQ(config.threshold(), 70);
    EXPECT_EQ(config.pollInterval(), 0.5);
    EXPECT_EQ(config.notify(), "app");
    config = LiveConfig::load(state, std::nullopt, std::nullopt, std::nullopt, {{"VAZ_ADODIVO_THRESHOLD", " 80"}});
    EXPECT_EQ(config.threshold(), 90);
}

TEST_F(LiveConfigTest, ReloadOfTheThreeKeys) {
    auto live = make();
    writeConfig({{"threshold", 85}});
    auto changes = live.reload();
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes[0], (ConfigChange{"threshold", "90", "85"}));
    EXPECT_EQ(logCount("INFO     [reloadConfig] threshold: 90 -> 85"), 1);
    writeConfig({{"threshold", 85.0}});
    EXPECT_TRUE(live.reload().empty());
    writeConfig({{"threshold", "85"}});
    EXPECT_TRUE(live.reload().empty());

    writeConfig({{"threshold", 85}, {"notify", "OFF"}, {"shell_stop_mode", "claude-only"}});
    changes = live.reload();
    live.reload();
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes[0], (ConfigChange{"shell_stop_mode", "shell-first", "claude-only"}));
    EXPECT_EQ(logCount("WARNING  [reloadConfig] ignoring bad notify=OFF in " + state.configPath()),
              1);  // once, not per tick
    EXPECT_EQ(live.notifyMode(), NotifyMode::osascript);
    EXPECT_EQ(live.shellStopMode(), ShellStopMode::claudeOnly);

    // A removed key keeps the value in force.
    writeConfig({});
    EXPECT_TRUE(live.reload().empty());
    EXPECT_EQ(live.config().threshold(), 85);
    EXPECT_EQ(live.value("shell_stop_mode"), "claude-only");

    writeConfig({{"threshold", JSONArray{1}}});
    live.reload();
    EXPECT_EQ(logCount("ignoring bad threshold=[1] in "), 1);
}

TEST_F(LiveConfigTest, PinnedKeysAreNeverReloaded) {
    auto live = make(TrackerConfig(JSONObject{{"threshold", 95}}), {"threshold"});
    writeConfig({{"threshold", "junk"}});
    EXPECT_TRUE(live.reload().empty());
    writeConfig({{"threshold", 50}});
    EXPECT_TRUE(live.reload().empty());
    EXPECT_EQ(live.config().threshold(), 95);
    EXPECT_EQ(logCount("reloadConfig"), 0);
}

TEST_F(LiveConfigTest, ModesThatAreNotTheirTextsStopClaudeAloneAndPostItself) {
    EXPECT_EQ(make(TrackerConfig(JSONObject{{"shell_stop_mode", ""}})).shellStopMode(), ShellStopMode::claudeOnly);
    EXPECT_EQ(make().shellStopMode(), ShellStopMode::shellFirst);
    EXPECT_EQ(make(TrackerConfig(JSONObject{{"notify", "app"}})).notifyMode(), NotifyMode::app);
    EXPECT_EQ(make(TrackerConfig(JSONObject{{"notify", 7}})).notifyMode(), NotifyMode::osascript);
}

TEST(LiveConfigForms, DisplayForms) {
    EXPECT_EQ(LiveConfig::describe(JSON(87.5)), "87.5");
    EXPECT_EQ(LiveConfig::describe(JSON(90.0)), "90");
    EXPECT_EQ(LiveConfig::describe(JSON("85")), "85");
    EXPECT_EQ(LiveConfig::describe(JSON(true)), "1");
    EXPECT_EQ(NumberText::clockText(std::nan("")), "--:--");
    EXPECT_EQ(NumberText::clockText(1'796'690'000).size(), 5u);
    EXPECT_EQ(LiveConfig::coerce("notify", nullptr), std::nullopt);
    JSON null = nullptr;
    EXPECT_EQ(LiveConfig::coerce("threshold", &null), std::nullopt);
    JSON text = "0x10";
    EXPECT_EQ(LiveConfig::coerce("threshold", &text), JSON(16.0));
}

}  // namespace
}  // namespace tracker
