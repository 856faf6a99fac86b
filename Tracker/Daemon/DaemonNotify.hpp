#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Core/NotifyMode.hpp"

namespace tracker {

class DaemonLogger;

// Desktop notifications at a freeze and a thaw. The notification mode decides who posts.
namespace DaemonNotify {

// Longest the caller is held up by one post, in seconds.
inline constexpr double timeout = 5.0;

// The program run to post on this platform.
std::string binary();

// Posts the notification unless the mode leaves that to someone else (then false, with a debug
// line to log). The poster runs on a background thread and is waited for at most `timeout`
// seconds; a poster still running then is left to finish on its own and only warned about.
// Returns true whenever it started the poster, even if that failed or is missing. `program`
// replaces the platform's poster (tests). Never throws.
bool post(const std::string& title, const std::string& message, const std::string& subtitle,
          std::optional<NotifyMode> mode, const std::shared_ptr<DaemonLogger>& log,
          const std::string& program = binary());

}  // namespace DaemonNotify

}  // namespace tracker
