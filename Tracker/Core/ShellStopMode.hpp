#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tracker {

// Which processes a freeze stops for a session that is the foreground job of an interactive shell
// (shape B): the shell first and then claude, so the shell cannot take the terminal back and print
// "Stopped"; or claude alone.
enum class ShellStopMode { shellFirst, claudeOnly };

namespace ShellStopModes {

// "shell-first" or "claude-only".
std::string_view text(ShellStopMode mode);
// Exactly one of the texts above; anything else none.
std::optional<ShellStopMode> parse(std::string_view text);
// Every text, in the order the command line offers them.
const std::vector<std::string>& texts();

}  // namespace ShellStopModes

}  // namespace tracker
