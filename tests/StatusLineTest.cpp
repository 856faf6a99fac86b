#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <limits>

#include "Core/HoldNotice.hpp"
#include "Core/NumberText.hpp"
#include "Core/StatusLine.hpp"

namespace tracker {
namespace {

constexpr double now = 1'796'700'000;

JSONObject limits(JSON used, JSON resets) {
    return JSONObject{{"five_hour", JSONObject{{"used_percentage", used}, {"resets_at", resets}}}};
}

TEST(StatusLineRemaining, WholeMinutesAndHours) {
    EXPECT_EQ(StatusLine::remaining(3900), "1h5m");
    EXPECT_EQ(StatusLine::remaining(3600), "1h0m");
    EXPECT_EQ(StatusLine::remaining(3599), "59m");
    EXPECT_EQ(StatusLine::remaining(3599.5), "1h0m");  // rounds half away from zero first
    EXPECT_EQ(StatusLine::remaining(60), "1m");
    EXPECT_EQ(StatusLine::remaining(59), "0m");
    EXPECT_EQ(StatusLine::remaining(-5), "0m");
    EXPECT_EQ(StatusLine::remaining(std::nan("")), "0m");
    EXPECT_EQ(StatusLine::remaining(18000), "5h0m");
}

TEST(StatusLineMinimal, PercentAndTimeLeft) {
    EXPECT_EQ(StatusLine::minimal(limits(41.5, now + 3900), now), "\u23F3 5h 42% \u00B7 1h5m");
    EXPECT_EQ(StatusLine::minimal(limits(41.5, now - 1), now), "\u23F3 5h 42%");
    EXPECT_EQ(StatusLine::minimal(limits(41.5, now), now), "\u23F3 5h 42%");
    EXPECT_EQ(StatusLine::minimal(limits(89.5, now - 1), now), "\u23F3 5h 90%");
    EXPECT_EQ(StatusLine::minimal(limits("41.5", "junk"), now), "\u23F3 5h 42%");
    EXPECT_FALSE(StatusLine::minimal(JSONObject{}, now));
    EXPECT_FALSE(StatusLine::minimal(limits(nullptr, now + 60), now));
}

TEST(StatusLineMinimal, FiguresWithoutAWholeNumberGiveNoLine) {
    EXPECT_FALSE(StatusLine::minimal(limits("nan", now + 60), now));
    EXPECT_FALSE(StatusLine::minimal(limits("inf", now + 60), now));
    EXPECT_FALSE(StatusLine::minimal(limits(1e300, now + 60), now));
    EXPECT_FALSE(StatusLine::minimal(limits(50, 1e300), now));
    EXPECT_FALSE(StatusLine::minimal(limits(50, "inf"), now));
    EXPECT_EQ(StatusLine::minimal(limits(50, "-inf"), now), "\u23F3 5h 50%");
}

TEST(HoldNoticeLine, HeldWarnedOrPlain) {
    Pause pause;
    pause.pausedAt = now - 60;
    pause.resumeAt = now + 1800;
    pause.targets.resize(3);
    Pause over = pause;
    over.resumeAt = now - 1;
    Pause clamped = pause;
    clamped.resumeAt = now + 99999;  // max_freeze ends it earlier
    TrackerConfig config;
    config.threshold = 90;
    const std::string until = NumberText::clockText(now + 1800);
    const struct {
        const char* name;
        std::optional<Pause> pause;
        double used;
        std::string line;
        std::string held;
    } cases[] = {
        {"nothing near", std::nullopt, 41.5, "\u23F3 5h 42% \u00B7 1h5m", "0"},
        {"within the warning", std::nullopt, 86, "\u23F3 5h 86% \u00B7 1h5m \u00B7 hold at 90%", "0"},
        {"at the threshold, no hold yet", std::nullopt, 90, "\u23F3 5h 90% \u00B7 1h5m", "0"},
        {"held", pause, 93, "\u23F3 5h 93% \u00B7 \u23F8 3 held until " + until, "3"},
        {"a hold already over", over, 93, "\u23F3 5h 93% \u00B7 1h5m", "0"},
        {"clamped by max_freeze", clamped, 93,
         "\u23F3 5h 93% \u00B7 \u23F8 3 held until " + NumberText::clockText(now - 60 + config.maxFreeze), "3"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto notice = HoldNotice::of(c.pause, config, c.used, now);
        EXPECT_EQ(notice.line(limits(c.used, now + 3900), now), c.line);
        auto environment = notice.environment();
        ASSERT_EQ(environment.size(), 5u);
        EXPECT_EQ(environment[0], (std::pair<std::string, std::string>{"VAZ_ADODIVO_HELD", c.held}));
        EXPECT_EQ(environment[3].second, "90");
        EXPECT_EQ(environment[4].second, notice.text());
    }
    // Without figures a hold still shows.
    EXPECT_EQ(HoldNotice::of(pause, config, std::nullopt, now).line(JSONObject{}, now), "\u23F8 3 held until " + until);
}

// The seven-day figure and the spend limit's join the line once within 10 points of their threshold.
TEST(HoldNoticeLine, OtherWindowsNearTheirThreshold) {
    auto account = [](double weekly, double spend) {
        JSONObject figures = limits(41.5, now + 3900);
        figures["seven_day"] = JSONObject{{"used_percentage", weekly}, {"resets_at", now + 86400 * 3}};
        figures["spend_limit"] = JSONObject{{"used_percentage", spend}, {"resets_at", now + 86400 * 9}};
        return figures;
    };
    TrackerConfig weeklyOff;
    weeklyOff.weeklyThreshold.reset();
    TrackerConfig spendOn;
    spendOn.spendThreshold = 80;
    const struct {
        const char* name;
        TrackerConfig config;
        double weekly;
        double spend;
        std::string line;
    } cases[] = {
        {"far from both", TrackerConfig(), 84.9, 50, "\u23F3 5h 42% \u00B7 1h5m"},
        {"the week near", TrackerConfig(), 91.4, 50, "\u23F3 5h 42% \u00B7 1h5m \u00B7 7d 91%"},
        {"the week off", weeklyOff, 99, 50, "\u23F3 5h 42% \u00B7 1h5m"},
        {"the spend limit near its end", TrackerConfig(), 10, 92, "\u23F3 5h 42% \u00B7 1h5m \u00B7 spend 92%"},
        {"the spend limit near its threshold", spendOn, 95, 71,
         "\u23F3 5h 42% \u00B7 1h5m \u00B7 7d 95% \u00B7 spend 71%"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(HoldNotice::of(std::nullopt, c.config, 41.5, now).line(account(c.weekly, c.spend), now), c.line);
    }
    // A hold for the week names the day it ends.
    Pause weekly;
    weekly.pausedAt = now - 60;
    weekly.resumeAt = now + 86400 * 3;
    weekly.targets.resize(2);
    weekly.usage[UsageWindow::sevenDay] = WindowHold{weekly.resumeAt, weekly.resumeAt};
    EXPECT_EQ(HoldNotice::of(weekly, TrackerConfig(), 41.5, now).text(),
              "\u23F8 2 held until " + NumberText::dayClockText(weekly.resumeAt, now));
}

}  // namespace
}  // namespace tracker
