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
// clockText with the day named unless it is now's (local time): "17:49", "tomorrow 17:49", "Wed 17:50"
// within the coming week, "yesterday 17:49", else "2026-12-24 17:50". For an end that may lie on another
// day than the moment it is told.
std::string dayClockText(double secondsSinceEpoch, double now);

}  // namespace tracker::NumberText
