#include <gtest/gtest.h>

#include <cmath>
#include <limits>

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

}  // namespace
}  // namespace tracker
