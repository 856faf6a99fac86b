#pragma once

#include <functional>
#include <optional>
#include <string>

#include "Core/StateDir.hpp"
#include "Front/Arguments.hpp"

namespace tracker::Front {

// Where a command finds the state directory and Claude Code's settings: the
// options every subcommand accepts, then the environment, then the defaults.
struct Locations {
    std::optional<std::string> stateDirOption;
    std::optional<std::string> settingsOption;

    // The help lines for the two options.
    static const char* helpText();

    // Takes --state-dir or --settings when it is next.
    bool take(Arguments& arguments);
    // Takes every option of a command that reports: --json, --help and the two above. False when --help was
    // asked for (usage and the options' help are printed then); throws Arguments::UsageError for the rest.
    bool takeReportOptions(Arguments& arguments, bool& json, const char* usage,
                           const std::function<bool(Arguments&)>& more = {});

    StateDir stateDir(const Environment& environment) const;
    std::string settingsPath(const Environment& environment) const;
};

}  // namespace tracker::Front
