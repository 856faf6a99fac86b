#include "Core/Proc.hpp"

#include <cstdio>
#include <ctime>

#include "Core/UTF8.hpp"

namespace tracker {

char RunStates::letter(RunState state) {
    switch (state) {
        case RunState::running:
            return 'R';
        case RunState::sleeping:
            return 'S';
        case RunState::waiting:
            return 'D';
        case RunState::stopped:
            return 'T';
        case RunState::traced:
            return 't';
        case RunState::zombie:
            return 'Z';
        case RunState::dead:
            return 'X';
        case RunState::idle:
            return 'I';
        case RunState::unknown:
            break;
    }
    return '?';
}

std::string startTimeText(std::int64_t secondsSinceEpoch) {
    static constexpr const char* days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static constexpr const char* months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                             "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    // A time zone changed since the last look is followed, as a fresh program would.
    ::tzset();
    std::time_t when = static_cast<std::time_t>(secondsSinceEpoch);
    std::tm local{};
    if (!::localtime_r(&when, &local) || local.tm_wday < 0 || local.tm_wday > 6 || local.tm_mon < 0 ||
        local.tm_mon > 11) {
        return {};
    }
    char full[64];
    std::snprintf(full, sizeof full, "%.3s %.3s%3d %.2d:%.2d:%.2d %d", days[local.tm_wday], months[local.tm_mon],
                  local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, 1900 + local.tm_year);
    char shown[32];
    std::snprintf(shown, sizeof shown, "%24.24s", full);
    return shown;
}

std::string ProcessStart::normalizedID(std::string_view stored) {
    std::string id;
    id.reserve(stored.size());
    for (char c : stored) {
        if (c != ' ' && c != '\t' && c != '\n' && c != '\r' && c != '\v' && c != '\f') id += c;
    }
    return id;
}

std::string ProcessStart::text() const {
    return seconds ? startTimeText(*seconds) : std::string();
}

bool ProcessStart::matches(std::string_view storedText, std::string_view storedID) const {
    if (!storedID.empty() && !id.empty()) return storedID == id;
    std::string_view wanted = UTF8::trimmed(storedText);
    if (wanted.empty() || !seconds) return false;
    return UTF8::trimmed(text()) == wanted;
}

}  // namespace tracker
