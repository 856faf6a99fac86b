#include "Core/ShellStopMode.hpp"

namespace tracker::ShellStopModes {

std::string_view text(ShellStopMode mode) {
    return mode == ShellStopMode::shellFirst ? "shell-first" : "claude-only";
}

std::optional<ShellStopMode> parse(std::string_view text) {
    if (text == "shell-first") return ShellStopMode::shellFirst;
    if (text == "claude-only") return ShellStopMode::claudeOnly;
    return std::nullopt;
}

const std::vector<std::string>& texts() {
    static const std::vector<std::string> all{"shell-first", "claude-only"};
    return all;
}

}  // namespace tracker::ShellStopModes
