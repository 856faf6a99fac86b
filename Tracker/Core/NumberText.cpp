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

std::string dayClockText(double at, double now) {
    const std::string clock = clockText(at);
    if (!std::isfinite(at) || !std::isfinite(now) || std::fabs(at) > 1e15 || std::fabs(now) > 1e15) return clock;
    std::time_t atSeconds = static_cast<std::time_t>(std::floor(at));
    std::time_t nowSeconds = static_cast<std::time_t>(std::floor(now));
    std::tm atLocal{};
    std::tm nowLocal{};
    if (!::localtime_r(&atSeconds, &atLocal) || !::localtime_r(&nowSeconds, &nowLocal)) return clock;
    // Days between the two dates, counted on the calendar (a day of 23 or 25 hours is still one).
    auto dayNumber = [](std::tm date) {
        date.tm_hour = 12;
        date.tm_min = date.tm_sec = 0;
        date.tm_isdst = -1;
        return std::floor(static_cast<double>(::mktime(&date)) / 86400.0);
    };
    const double days = dayNumber(atLocal) - dayNumber(nowLocal);
    if (days == 0) return clock;
    if (days == 1) return "tomorrow " + clock;
    char day[32];
    const char* format = days > 1 && days < 7 ? "%a " : "%b %e ";
    if (std::strftime(day, sizeof day, format, &atLocal) == 0) return clock;
    std::string text = day;
    // "%e" pads a single-digit day with a space.
    if (auto doubled = text.find("  "); doubled != std::string::npos) text.erase(doubled, 1);
    return text + clock;
}

}  // namespace tracker::NumberText
