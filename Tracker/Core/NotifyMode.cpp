#include "Core/NotifyMode.hpp"

namespace tracker::NotifyModes {

std::string_view text(NotifyMode mode) {
    switch (mode) {
        case NotifyMode::app:
            return "app";
        case NotifyMode::off:
            return "off";
        case NotifyMode::desktop:
            break;
    }
    return "desktop";
}

std::optional<NotifyMode> parse(std::string_view text) {
    if (text == "desktop" || text == "osascript") return NotifyMode::desktop;
    if (text == "app") return NotifyMode::app;
    if (text == "off") return NotifyMode::off;
    return std::nullopt;
}

const std::vector<std::string>& texts() {
    static const std::vector<std::string> all{"desktop", "app", "off"};
    return all;
}

}  // namespace tracker::NotifyModes
