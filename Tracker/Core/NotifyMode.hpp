#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tracker {

// Who posts the desktop notifications of a freeze and a thaw: the daemon itself through the platform's
// poster ("osascript"), the user's menu-bar application ("app"), or nobody ("off").
enum class NotifyMode { osascript, app, off };

namespace NotifyModes {

inline constexpr NotifyMode defaultMode = NotifyMode::osascript;

// "osascript", "app" or "off".
std::string_view text(NotifyMode mode);
// Exactly one of the texts above; anything else none.
std::optional<NotifyMode> parse(std::string_view text);
// Every text in the order the command line offers them: "app", "osascript", "off".
const std::vector<std::string>& texts();

}  // namespace NotifyModes

}  // namespace tracker
