#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

#include "Core/JSONFile.hpp"
#include "Core/TrackerConfig.hpp"
#include "TestSupport.hpp"

namespace tracker {
namespace {

TrackerConfig configWith(const std::string& key, JSON value) {
    return TrackerConfig::fromJSON(JSONObject{{key, std::move(value)}});
}

TEST(TrackerConfig, EmptyConfigurationGivesEveryDefault) {
    const TrackerConfig config = TrackerConfig::fromJSON({});
    EXPECT_EQ(config.threshold, 90);
    EXPECT_EQ(config.refreshInterval, 60);
    EXPECT_EQ(config.shellStopMode, ShellStopMode::shellFirst);
    EXPECT_FALSE(config.displayCommand);
    EXPECT_FALSE(config.notify);
    EXPECT_EQ(config.staleAfter, 1800);
    EXPECT_EQ(config.grace, 60);
    EXPECT_EQ(config.maxFreeze, 18600);
    EXPECT_EQ(config.pollInterval, 2);
    EXPECT_EQ(config.recordTTL, 3600);
    EXPECT_EQ(config.safePointWait, 90);
    EXPECT_EQ(config.thawSpacing, 1.5);
    EXPECT_TRUE(config.problems.empty());
    EXPECT_EQ(config, TrackerConfig());
}

// Each value is checked once, where it is read: what can be used is, leniently; what cannot is set aside for
// its default with a problem that says so; a member that is missing or null is silently the default.
struct Reading {
    const char* key;
    JSON value;
    // The setting's value as read (its default when set aside), as the log shows it.
    std::string read;
    bool setAside;
};

std::string shown(const TrackerConfig& config, const std::string& key) {
    auto number = [](double value) {
        std::ostringstream out;
        out << value;
        return out.str();
    };
    if (key == "threshold") return number(config.threshold);
    if (key == "refresh_interval") return std::to_string(config.refreshInterval);
    if (key == "shell_stop_mode") return std::string(ShellStopModes::text(config.shellStopMode));
    if (key == "notify") return config.notify ? std::string(NotifyModes::text(*config.notify)) : "none";
    if (key == "display_command") return config.displayCommand.value_or("none");
    if (key == "stale_after") return number(config.staleAfter);
    if (key == "grace") return number(config.grace);
    if (key == "max_freeze") return number(config.maxFreeze);
    if (key == "poll_interval") return number(config.pollInterval);
    if (key == "record_ttl") return number(config.recordTTL);
    if (key == "safe_point_wait") return number(config.safePointWait);
    return number(config.thawSpacing);
}

class Readings : public ::testing::TestWithParam<Reading> {};

TEST_P(Readings, EachValueCheckedOnce) {
    const Reading& reading = GetParam();
    const TrackerConfig config = configWith(reading.key, reading.value);
    EXPECT_EQ(shown(config, reading.key), reading.read);
    if (!reading.setAside) {
        EXPECT_TRUE(config.problems.empty()) << config.problems.front().text();
        return;
    }
    ASSERT_EQ(config.problems.size(), 1u);
    EXPECT_EQ(config.problems[0].key, reading.key);
    EXPECT_EQ(config.problems[0].value, reading.value);
    EXPECT_EQ(config.problems[0].text().rfind(std::string(reading.key) + " " + reading.value.dump() + ": ", 0), 0u)
        << config.problems[0].text();
}

INSTANTIATE_TEST_SUITE_P(
    Values, Readings,
    ::testing::Values(
        Reading{"threshold", "85", "85", false}, Reading{"threshold", true, "1", false},
        Reading{"threshold", 0, "0", false}, Reading{"threshold", 100, "100", false},
        Reading{"threshold", "0x10", "16", false}, Reading{"threshold", nullptr, "90", false},
        // Not a percentage: the default, so no reader freezes at any usage or never.
        Reading{"threshold", "high", "90", true}, Reading{"threshold", -5, "90", true},
        Reading{"threshold", 100.5, "90", true}, Reading{"threshold", "nan", "90", true},
        Reading{"threshold", "inf", "90", true}, Reading{"threshold", "-inf", "90", true},
        Reading{"threshold", 1e300, "90", true}, Reading{"threshold", JSONArray{1}, "90", true},
        Reading{"refresh_interval", 2.7, "2", false}, Reading{"refresh_interval", "30", "30", false},
        Reading{"refresh_interval", "30s", "60", true}, Reading{"refresh_interval", 1e300, "60", true},
        Reading{"refresh_interval", 0, "60", true}, Reading{"display_command", "", "none", false},
        Reading{"display_command", nullptr, "none", false}, Reading{"display_command", JSON::array(), "none", true},
        Reading{"display_command", 42, "42", false}, Reading{"shell_stop_mode", "claude-only", "claude-only", false},
        Reading{"shell_stop_mode", "", "shell-first", true}, Reading{"shell_stop_mode", 7, "shell-first", true},
        Reading{"notify", "off", "off", false}, Reading{"notify", "desktop", "desktop", false},
        // The name older configurations give the desktop mode.
        Reading{"notify", "osascript", "desktop", false}, Reading{"notify", "OFF", "none", true},
        Reading{"grace", "0x10", "16", false}, Reading{"grace", 0, "0", false}, Reading{"grace", -1, "60", true},
        Reading{"grace", "inf", "60", true}, Reading{"stale_after", 0, "1800", true},
        Reading{"stale_after", "nan", "1800", true}, Reading{"max_freeze", -600, "18600", true},
        Reading{"record_ttl", 0, "0", false}, Reading{"poll_interval", "fast", "2", true},
        Reading{"poll_interval", 0.5, "0.5", false},
        // Out of bounds: the nearest bound, said so.
        Reading{"poll_interval", 1e-9, "0.05", true}, Reading{"poll_interval", 1e9, "3600", true},
        Reading{"safe_point_wait", 0, "0", false}, Reading{"safe_point_wait", 3600, "3600", false},
        Reading{"safe_point_wait", -3, "90", true}, Reading{"safe_point_wait", 3601, "90", true},
        Reading{"thaw_spacing", 60, "60", false}, Reading{"thaw_spacing", 61, "1.5", true}),
    [](const auto& info) { return std::to_string(info.index); });

TEST(TrackerConfig, PollIntervalBounds) {
    for (auto [stored, used] : std::vector<std::pair<double, double>>{
             {0, 2}, {-1, 2}, {std::nan(""), 2}, {1e-9, 0.05}, {0.5, 0.5}, {1e9, 3600}, {INFINITY, 2}}) {
        EXPECT_EQ(TrackerConfig::boundedPollInterval(stored), used) << stored;
    }
}

TEST(TrackerConfig, UnknownKeysAndValuesSetAsideSurviveAWrite) {
    test::TempDir dir;
    JSON odd = JSONObject{{"nested", JSONArray{1, "two", nullptr}}};
    JSONObject document{{"notify", nullptr},
                        {"threshold", 85.5},
                        {"grace", "soon"},
                        {"display_command", "echo hi"},
                        {"previous_statusline", nullptr},
                        {"future_key", odd}};
    const TrackerConfig config = TrackerConfig::fromJSON(document);
    EXPECT_EQ(config.document(), document);

    JSONFile::atomicWrite(config.document(), dir.file("config.json"), true);
    const TrackerConfig back = TrackerConfig::fromJSON(*JSONFile::readObject(dir.file("config.json")));
    EXPECT_FALSE(back.notify);
    EXPECT_EQ(back.threshold, 85.5);
    EXPECT_EQ(back.displayCommand, "echo hi");
    EXPECT_EQ(back.document().at("future_key"), odd);
    EXPECT_EQ(back.document().at("grace"), "soon");
    EXPECT_EQ(back, config);
}

}  // namespace
}  // namespace tracker
