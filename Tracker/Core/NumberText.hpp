#pragma once

#include <optional>
#include <string>

// How numbers and times appear in logs and reports.
namespace tracker::NumberText {

// The shortest form printf's "%g" gives: 90, 87.5, 1.79669e+09.
std::string shortest(double value);
// One decimal, as "%.1f": 90.0, 87.5.
std::string oneDecimal(double value);
// No decimals, rounded, as "%.0f": 95.
std::string whole(double value);

// "HH:mm" in local time; none for a time that is not finite or cannot be shown.
std::optional<std::string> localHourMinute(double secondsSinceEpoch);
// localHourMinute, or "--:--" when there is none.
std::string clockText(double secondsSinceEpoch);
// clockText with the day when at is not on now's day, in local time: "14:05", "tomorrow 14:05", "Mon 09:00"
// (within the coming week), "Dec 15 09:00" (further, or past days).
std::string dayClockText(double at, double now);

}  // namespace tracker::NumberText
