#include "Core/StatusLine.hpp"

#include <cmath>

namespace tracker::StatusLine {

namespace {

// Rounded half away from zero when the result fits 64 bits, else none.
std::optional<long long> roundedWhole(double value) {
    if (!std::isfinite(value)) return std::nullopt;
    double rounded = std::round(value);
    if (rounded < -9223372036854775808.0 || rounded >= 9223372036854775808.0) return std::nullopt;
    return static_cast<long long>(rounded);
}

}  // namespace

std::string remaining(double seconds) {
    double clamped = std::isnan(seconds) || seconds < 0 ? 0 : seconds;
    // Beyond 64 bits nothing sensible is left to show; hold it at the top.
    long long s = roundedWhole(clamped).value_or(9223372036854775807LL);
    long long minutes = (s % 3600) / 60;
    if (s < 3600) return std::to_string(minutes) + "m";
    return std::to_string(s / 3600) + "h" + std::to_string(minutes) + "m";
}

std::string span(double seconds) {
    if (std::isfinite(seconds) && seconds >= 0 && seconds < 59.5) {
        return std::to_string(static_cast<long long>(std::llround(seconds))) + "s";
    }
    return remaining(seconds);
}

std::optional<std::string> minimal(const JSONObject& rateLimits, double now) {
    Record holder;
    holder.rateLimits = rateLimits;
    return minimal(holder, now);
}

std::optional<std::string> minimal(const Record& record, double now) {
    auto used = record.usedPercentage();
    if (!used) return std::nullopt;
    auto percent = roundedWhole(*used);
    if (!percent) return std::nullopt;
    std::string line = "\u23F3 5h " + std::to_string(*percent) + "%";
    auto resets = record.resetsAt();
    if (resets && *resets > now) {
        double left = *resets - now;
        if (!roundedWhole(left)) return std::nullopt;
        line += " \u00B7 " + remaining(left);
    }
    return line;
}

}  // namespace tracker::StatusLine
