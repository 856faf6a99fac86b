#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tracker {

// Who posts the desktop notifications of a hold and its end: the daemon itself through the platform's
// poster ("desktop"; notify-send on Linux), another program of the user's that reads the state directory
// ("app"), or nobody ("off").
enum class NotifyMode { desktop, app, off };

namespace NotifyModes {

inline constexpr NotifyMode defaultMode = NotifyMode::desktop;

// "desktop", "app" or "off".
std::string_view text(NotifyMode mode);
// One of the texts above, or "osascript", which older configurations name the desktop mode by; anything
// else none.
std::optional<NotifyMode> parse(std::string_view text);
// Every text in the order the command line offers them: "desktop", "app", "off".
const std::vector<std::string>& texts();

}  // namespace NotifyModes

}  // namespace tracker
