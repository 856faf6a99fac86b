#include <gtest/gtest.h>

#include "Core/JSONFile.hpp"
#include "Core/TrackerConfig.hpp"
#include "TestSupport.hpp"

namespace tracker {
namespace {

TrackerConfig configWith(const std::string& key, JSON value) {
    return TrackerConfig(JSONObject{{key, std::move(value)}});
}

TEST(TrackerConfig, EmptyConfigurationGivesEveryDefault) {
    TrackerConfig config;
    EXPECT_EQ(config.threshold(), 90);
    EXPECT_EQ(config.refreshInterval(), 60);
    EXPECT_EQ(config.shellStopMode(), "shell-first");
    EXPECT_FALSE(config.displayCommand());
    EXPECT_FALSE(config.notify());
    EXPECT_FALSE(config.previousStatusLine());
    EXPECT_FALSE(config.hasPreviousStatusLineKey());
    EXPECT_EQ(config.staleAfter(), 1800);
    EXPECT_EQ(config.grace(), 60);
    EXPECT_EQ(config.maxFreeze(), 18600);
    EXPECT_EQ(config.pollInterval(), 2);
    EXPECT_EQ(config.recordTTL(), 3600);
}

TEST(TrackerConfig, GettersCoerceLeniently) {
    EXPECT_EQ(configWith("threshold", "85").threshold(), 85);
    EXPECT_EQ(configWith("threshold", true).threshold(), 1);
    EXPECT_EQ(configWith("threshold", "high").threshold(), 90);
    // Not a percentage: the default, so no reader freezes at any usage or never.
    for (JSON bad : {JSON(-5), JSON(100.5), JSON("nan"), JSON("inf"), JSON("-inf"), JSON(1e300)}) {
        EXPECT_EQ(configWith("threshold", bad).threshold(), 90) << bad.dump();
    }
    EXPECT_EQ(configWith("threshold", 0).threshold(), 0);
    EXPECT_EQ(configWith("threshold", 100).threshold(), 100);
    for (auto [stored, used] : std::vector<std::pair<double, double>>{
             {0, 2}, {-1, 2}, {std::nan(""), 2}, {1e-9, 0.05}, {0.5, 0.5}, {1e9, 3600}, {INFINITY, 2}}) {
        EXPECT_EQ(TrackerConfig::boundedPollInterval(stored), used) << stored;
    }
    EXPECT_EQ(configWith("refresh_interval", 2.7).refreshInterval(), 2);
    EXPECT_EQ(configWith("refresh_interval", "30").refreshInterval(), 30);
    EXPECT_EQ(configWith("refresh_interval", "30s").refreshInterval(), 60);
    EXPECT_EQ(configWith("refresh_interval", 1e300).refreshInterval(), 60);
    EXPECT_FALSE(configWith("display_command", "").displayCommand());
    EXPECT_FALSE(configWith("display_command", nullptr).displayCommand());
    EXPECT_FALSE(configWith("display_command", JSON::array()).displayCommand());
    EXPECT_EQ(configWith("display_command", 42).displayCommand(), "42");
    EXPECT_EQ(configWith("shell_stop_mode", "").shellStopMode(), "");
    EXPECT_EQ(configWith("grace", "0x10").grace(), 16);
    EXPECT_EQ(configWith("poll_interval", "fast").pollInterval(), 2);
}

TEST(TrackerConfig, PreviousStatusLineKeepsWhateverWasThere) {
    auto nullValue = configWith("previous_statusline", nullptr);
    EXPECT_FALSE(nullValue.previousStatusLine());
    EXPECT_TRUE(nullValue.hasPreviousStatusLineKey());
    JSON entry = JSONObject{{"type", "command"}, {"command", "~/bin/line.sh"}};
    auto object = configWith("previous_statusline", entry);
    ASSERT_TRUE(object.previousStatusLine());
    EXPECT_EQ(*object.previousStatusLine(), entry);
    EXPECT_TRUE(object.hasPreviousStatusLineKey());
}

TEST(TrackerConfig, SettingAbsentStoresNullAndUnknownKeysSurviveAWrite) {
    test::TempDir dir;
    JSON odd = JSONObject{{"nested", JSONArray{1, "two", nullptr}}};
    TrackerConfig config(JSONObject{{"notify", "off"}, {"future_key", odd}});
    config.setNotify(std::nullopt);
    config.setThreshold(85.5);
    config.setDisplayCommand(std::string("echo hi"));
    config.setPreviousStatusLine(std::nullopt);
    EXPECT_TRUE(config.raw.at("notify").is_null());
    EXPECT_TRUE(config.hasPreviousStatusLineKey());

    JSONFile::atomicWrite(config.raw, dir.file("config.json"), true);
    TrackerConfig back(*JSONFile::readObject(dir.file("config.json")));
    EXPECT_FALSE(back.notify());
    EXPECT_EQ(back.threshold(), 85.5);
    EXPECT_EQ(back.displayCommand(), "echo hi");
    EXPECT_EQ(back.raw.at("future_key"), odd);
    EXPECT_EQ(back, config);
}

}  // namespace
}  // namespace tracker
