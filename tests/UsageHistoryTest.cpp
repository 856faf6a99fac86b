// The five-hour figure's history in a window, and the forecast `tarnel status` shows from it.

#include <gtest/gtest.h>

#include <cmath>

#include "Core/NumberText.hpp"
#include "Core/UsageHistory.hpp"
#include "Core/UsageWarning.hpp"

namespace tracker {
namespace {

constexpr double t0 = 1'800'000'000;
constexpr double resets = t0 + 4 * 3600;

Record report(double ts, double used, double resetsAt = resets) {
    Record record;
    record.sessionID = "s";
    record.pid = 1;
    record.ts = ts;
    record.rateLimits = JSONObject{{"five_hour", JSONObject{{"used_percentage", used}, {"resets_at", resetsAt}}}};
    return record;
}

TEST(UsageHistory, OneSampleForEachChangeOfTheFigure) {
    UsageHistory history;
    EXPECT_FALSE(history.observe(std::nullopt));
    EXPECT_TRUE(history.observe(report(t0, 40)));
    EXPECT_FALSE(history.observe(report(t0 + 5, 40)));  // the same figure refreshed
    EXPECT_TRUE(history.observe(report(t0 + 20, 42)));
    EXPECT_FALSE(history.observe(report(t0 + 20, 44)));  // in the same second: noise
    // The window's reset moves by a second: still the same window.
    EXPECT_TRUE(history.observe(report(t0 + 30, 45, resets + 1)));
    ASSERT_EQ(history.samples().size(), 3u);
    // A clock stepped back: the times before no longer compare, the history starts afresh.
    EXPECT_TRUE(history.observe(report(t0 - 600, 46)));
    ASSERT_EQ(history.samples().size(), 1u);
    EXPECT_TRUE(history.observe(report(t0 - 500, 47)));
    ASSERT_EQ(history.samples().size(), 2u);
    // A new window starts afresh.
    EXPECT_TRUE(history.observe(report(resets + 10, 2, resets + 5 * 3600)));
    ASSERT_EQ(history.samples().size(), 1u);
    EXPECT_EQ(history.samples().front().used, 2);
    // Figures that are not numbers are no sample.
    JSONObject junk{{"five_hour", JSONObject{{"used_percentage", "x"}, {"resets_at", resets}}}};
    Record broken = report(resets + 20, 3);
    broken.rateLimits = junk;
    EXPECT_FALSE(history.observe(broken));
}

TEST(UsageHistory, ForecastFromTheLastHour) {
    const struct {
        const char* name;
        std::vector<std::pair<double, double>> samples;  // seconds after t0, percent
        bool has;
        double perHour;
        double thresholdAt;  // NAN: none
        bool resetFirst;
    } cases[] = {
        {"one sample", {{0, 40}}, false, 0, NAN, false},
        {"under a minute", {{0, 40}, {30, 41}}, false, 0, NAN, false},
        {"rising", {{0, 40}, {1800, 50}}, true, 20, t0 + 1800 + 2 * 3600, false},
        {"only the last hour counts", {{0, 10}, {1800, 40}, {5400, 50}}, true, 10, t0 + 5400 + 4 * 3600, true},
        {"falling back (a correction)", {{0, 50}, {600, 45}}, true, -30, NAN, false},
        {"threshold passed", {{0, 80}, {600, 95}}, true, 90, NAN, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        UsageHistory history;
        for (auto [at, used] : c.samples) history.observe(report(t0 + at, used));
        auto forecast = history.forecast(90);
        ASSERT_EQ(forecast.has_value(), c.has);
        if (!forecast) continue;
        EXPECT_NEAR(forecast->perHour, c.perHour, 1e-9);
        EXPECT_EQ(forecast->thresholdAt.has_value(), !std::isnan(c.thresholdAt));
        if (forecast->thresholdAt) {
            EXPECT_NEAR(*forecast->thresholdAt, c.thresholdAt, 1e-6);
        }
        EXPECT_EQ(forecast->resetFirst, c.resetFirst);
    }
}

TEST(UsageHistory, StoredFormSurvivesAndBadEntriesAreLeftOut) {
    UsageHistory history;
    history.observe(report(t0, 40));
    history.observe(report(t0 + 600, 45));
    JSON stored = history.toJSON();
    auto back = UsageHistory::fromJSON(&stored);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->samples(), history.samples());
    EXPECT_EQ(back->resetsAt(), resets);

    JSON odd = JSON::parse(R"({"resets_at": 5, "samples": [[1, 2], "x", [3], [2, "4"], [0, 9], [7, 8]]})");
    auto read = UsageHistory::fromJSON(&odd);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->samples().size(), 2u);  // [1,2] and [7,8]; [0,9] goes back in time
    for (const char* text : {"[]", R"({"samples": []})", R"({"resets_at": "soon"})"}) {
        JSON value = JSON::parse(text);
        EXPECT_FALSE(UsageHistory::fromJSON(&value)) << text;
    }
}

// The warning before a hold: within warn_before of a window's threshold and below it, with the forecast's time
// when the window's history has one before the reset.
TEST(UsageWarning, NearTheThresholdOfItsWindow) {
    UsageHistory rising;
    rising.observe(report(t0 - 1800, 76));
    rising.observe(report(t0, 86));  // 20 points an hour: 90 % in 12 minutes
    UsageHistory weekly(UsageWindow::sevenDay);
    TrackerConfig quiet;
    quiet.warnBefore = 0;
    const struct {
        const char* name;
        UsageWindow window;
        double used;
        TrackerConfig settings;
        std::optional<UsageHistory> history;
        std::string text;  // empty: no warning
    } cases[] = {
        {"far below", UsageWindow::fiveHour, 84.9, TrackerConfig(), rising, ""},
        {"within, with the pace", UsageWindow::fiveHour, 86, TrackerConfig(), rising,
         "Claude sessions will be held at 90 % (now 86 %, about " + NumberText::clockText(t0 + 720) + " at this pace)"},
        {"within, no history", UsageWindow::fiveHour, 89.6, TrackerConfig(), std::nullopt,
         "Claude sessions will be held at 90 % (now 90 %)"},
        {"at the threshold: the hold, no warning", UsageWindow::fiveHour, 90, TrackerConfig(), rising, ""},
        {"warn_before 0", UsageWindow::fiveHour, 88, quiet, rising, ""},
        {"the week", UsageWindow::sevenDay, 91, TrackerConfig(), weekly,
         "Claude sessions will be held at 95 % of the seven-day window (now 91 %)"},
        {"another window's history is not its pace", UsageWindow::sevenDay, 91, TrackerConfig(), rising,
         "Claude sessions will be held at 95 % of the seven-day window (now 91 %)"},
        {"the spend limit off", UsageWindow::spend, 99, TrackerConfig(), std::nullopt, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Record figure = report(t0, 0);
        figure.rateLimits[UsageWindows::name(c.window)] =
            JSONObject{{"used_percentage", c.used}, {"resets_at", resets}};
        auto warning = UsageWarning::of(c.window, figure, c.settings, c.history ? &*c.history : nullptr, t0);
        EXPECT_EQ(warning ? warning->text(t0) : "", c.text);
    }
}

}  // namespace
}  // namespace tracker
