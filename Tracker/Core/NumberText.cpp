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

}  // namespace tracker::NumberText
