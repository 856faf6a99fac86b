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
    void writeConfig(JSONObject raw) { state.write(TrackerConfig::fromJSON(std::move(raw))); }
};

TEST_F(LiveConfigTest, LoadWarnsOfBadValuesThenAppliesOverrides) {
    writeConfig({{"threshold", "high"}, {"notify", "OFF"}, {"shell_stop_mode", "claude-only"}, {"grace", "x"}});
    std::vector<std::string> warned;
    auto config = LiveConfig::load(state, {}, {}, [&](const std::string& line) { warned.push_back(line); });
    EXPECT_EQ(config.threshold, 90);
    EXPECT_FALSE(config.notify);
    EXPECT_EQ(config.shellStopMode, ShellStopMode::claudeOnly);
    EXPECT_EQ(config.grace, 60);
    ASSERT_EQ(warned.size(), 3u);
    EXPECT_EQ(warned[0], "warning [loadConfig] ignoring bad threshold=high in " + state.configPath() +
                             " (not a percentage from 0 to 100 - using 90)");
    EXPECT_EQ(warned[2].rfind("warning [loadConfig] ignoring bad grace=x in ", 0), 0u);

    config = LiveConfig::load(state, {}, {{"VAZ_ADODIVO_THRESHOLD", "80"}});
    EXPECT_EQ(config.threshold, 80);
    config = LiveConfig::load(state, {70.0, 0.5, NotifyMode::app}, {{"VAZ_ADODIVO_THRESHOLD", "80"}});
    EXPECT_EQ(config.threshold, 70);
    EXPECT_EQ(config.pollInterval, 0.5);
    EXPECT_EQ(config.notify, NotifyMode::app);
    config = LiveConfig::load(state, {}, {{"VAZ_ADODIVO_THRESHOLD", " 80"}});
    EXPECT_EQ(config.threshold, 90);
    // A poll interval out of bounds from the command line is bounded too, and said so.
    warned.clear();
    config = LiveConfig::load(state, {std::nullopt, 1e-6, std::nullopt}, {},
                              [&](const std::string& line) { warned.push_back(line); });
    EXPECT_EQ(config.pollInterval, TrackerConfig::minPollInterval);
    EXPECT_EQ(warned.back(), "warning [loadConfig] poll interval 1e-06 is not usable - polling every 0.05s");
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
    EXPECT_EQ(live.notifyMode(), NotifyMode::desktop);
    EXPECT_EQ(live.settings().shellStopMode, ShellStopMode::claudeOnly);

    // A removed key keeps the value in force.
    writeConfig({});
    EXPECT_TRUE(live.reload().empty());
    EXPECT_EQ(live.settings().threshold, 85);
    EXPECT_EQ(live.settings().shellStopMode, ShellStopMode::claudeOnly);

    writeConfig({{"threshold", JSONArray{1}}});
    live.reload();
    EXPECT_EQ(logCount("ignoring bad threshold=[1] in "), 1);
}

// A config.json that is not JSON changes nothing the daemon has in force and is warned about once for each
// change of the file, naming the line and column; mended, it is taken again.
TEST_F(LiveConfigTest, AFileThatIsNotJSONKeepsTheLastGoodSettingsAndWarnsOncePerChange) {
    auto live = make();
    writeConfig({{"threshold", 85}, {"safe_point_wait", 30}});
    ASSERT_EQ(live.reload().size(), 2u);

    const std::string warning = "WARNING  [reloadConfig] " + state.configPath() +
                                " is not JSON: line 1, column 31: unexpected '}'; expected string literal - keeping "
                                "the settings in force";
    test::writeFile(state.configPath(), R"({"threshold": 70, "notify": 1,})");
    EXPECT_TRUE(live.reload().empty());
    EXPECT_TRUE(live.reload().empty());
    EXPECT_EQ(logCount(warning), 1);
    EXPECT_EQ(live.settings().threshold, 85);
    EXPECT_EQ(live.settings().safePointWait, 30);

    // Written again, still broken: one more warning.
    test::writeFile(state.configPath(), std::string(R"({"threshold": 70, "notify": 1,})") + "\n");
    EXPECT_TRUE(live.reload().empty());
    EXPECT_EQ(logCount(warning), 2);

    test::writeFile(state.configPath(), "[70]");
    EXPECT_TRUE(live.reload().empty());
    EXPECT_EQ(logCount(state.configPath() + " holds no JSON object - keeping the settings in force"), 1);

    test::writeFile(state.configPath(), R"({"threshold": 70})");
    auto changes = live.reload();
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes[0], (ConfigChange{"threshold", "85", "70"}));
    EXPECT_EQ(live.settings().safePointWait, 30);  // taken out: the value in force stays
}

TEST_F(LiveConfigTest, PinnedKeysAreNeverReloaded) {
    auto live = make(TrackerConfig::fromJSON(JSONObject{{"threshold", 95}}), {"threshold"});
    writeConfig({{"threshold", "junk"}});
    EXPECT_TRUE(live.reload().empty());
    writeConfig({{"threshold", 50}});
    EXPECT_TRUE(live.reload().empty());
    EXPECT_EQ(live.settings().threshold, 95);
    EXPECT_EQ(logCount("reloadConfig"), 0);
}

TEST_F(LiveConfigTest, ALiveChangeOfTheWaitsIsTakenAndABadOneLeavesTheOneInForce) {
    auto live = make();
    writeConfig({{"safe_point_wait", 0}, {"thaw_spacing", 3}});
    EXPECT_EQ(live.reload(), (std::vector<ConfigChange>{{"safe_point_wait", "90", "0"}, {"thaw_spacing", "1.5", "3"}}));
    writeConfig({{"safe_point_wait", -3}, {"thaw_spacing", 3}});
    EXPECT_TRUE(live.reload().empty());
    EXPECT_EQ(live.settings().safePointWait, 0);
    EXPECT_EQ(logCount("ignoring bad safe_point_wait=-3 in "), 1);
    EXPECT_EQ(make(TrackerConfig::fromJSON(JSONObject{{"notify", 7}})).notifyMode(), NotifyMode::desktop);
}

TEST_F(LiveConfigTest, TheWeeksAndTheSpendLimitsThresholdsAreLive) {
    auto live = make();
    writeConfig({{"weekly_threshold", "off"}, {"spend_threshold", 80}, {"warn_before", 10}});
    EXPECT_EQ(live.reload(),
              (std::vector<ConfigChange>{
                  {"weekly_threshold", "95", "off"}, {"spend_threshold", "off", "80"}, {"warn_before", "5", "10"}}));
    EXPECT_FALSE(live.settings().weeklyThreshold);
    writeConfig({{"weekly_threshold", 101}, {"spend_threshold", 80}, {"warn_before", 10}});
    EXPECT_TRUE(live.reload().empty());
    EXPECT_EQ(logCount("ignoring bad weekly_threshold=101 in "), 1);
}

}  // namespace
}  // namespace tracker
