#include "Core/NumberText.hpp"

#include <cmath>
#include <cstdio>
#include <ctime>

namespace tracker::NumberText {

namespace {

std::string printed(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

}  // namespace

std::string shortest(double value) {
    return printed("%g", value);
}

std::string oneDecimal(double value) {
    return printed("%.1f", value);
}

std::string whole(double value) {
    return printed("%.0f", value);
}

std::optional<std::string> localHourMinute(double secondsSinceEpoch) {
    if (!std::isfinite(secondsSinceEpoch) || std::fabs(secondsSinceEpoch) > 1e15) return std::nullopt;
    std::time_t seconds = static_cast<std::time_t>(std::floor(secondsSinceEpoch));
    std::tm local{};
    if (!::localtime_r(&seconds, &local)) return std::nullopt;
    char text[16];
    if (std::strftime(text, sizeof text, "%H:%M", &local) == 0) return std::nullopt;
    return std::string(text);
}

std::string clockText(double secondsSinceEpoch) {
    return localHourMinute(secondsSinceEpoch).value_or("--:--");
}

namespace {

std::optional<std::tm> localTime(double secondsSinceEpoch) {
    if (!std::isfinite(secondsSinceEpoch) || std::fabs(secondsSinceEpoch) > 1e15) return std::nullopt;
    std::time_t seconds = static_cast<std::time_t>(std::floor(secondsSinceEpoch));
    std::tm local{};
    if (!::localtime_r(&seconds, &local)) return std::nullopt;
    return local;
}

// Days since 1970-01-01 of a calendar date (proleptic Gregorian), whatever the time zone's offsets.
long long dayNumber(const std::tm& local) {
    long long year = local.tm_year + 1900LL;
    const long long month = local.tm_mon + 1;
    year -= month <= 2;
    const long long era = (year >= 0 ? year : year - 399) / 400;
    const long long yearOfEra = year - era * 400;
    const long long dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + local.tm_mday - 1;
    const long long dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

}  // namespace

std::string dayClockText(double secondsSinceEpoch, double now) {
    const auto at = localTime(secondsSinceEpoch);
    const auto today = localTime(now);
    const std::string clock = clockText(secondsSinceEpoch);
    if (!at || !today) return clock;
    const long long days = dayNumber(*at) - dayNumber(*today);
    if (days == 0) return clock;
    if (days == 1) return "tomorrow " + clock;
    if (days == -1) return "yesterday " + clock;
    char text[32];
    if (std::strftime(text, sizeof text, days > 1 && days < 7 ? "%a" : "%Y-%m-%d", &*at) == 0) return clock;
    return std::string(text) + " " + clock;
}

}  // namespace tracker::NumberText
