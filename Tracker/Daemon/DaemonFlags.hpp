#pragma once

#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Core/NotifyMode.hpp"
#include "Core/StateDir.hpp"
#include "Daemon/DaemonLog.hpp"

namespace tracker {

// The daemon's command line.
struct Flags {
    bool dryRun = false;
    bool once = false;
    bool thawNow = false;
    // Copy the log to standard error even where that is neither a terminal nor the journal.
    bool logToStandardError = false;
    std::optional<double> threshold;
    std::optional<double> resumeIn;
    std::optional<NotifyMode> notify;
    std::optional<std::string> stateDir;
    std::optional<double> poll;
    DaemonLogLevel logLevel = DaemonLogLevel::info;

    // Keys the command line or the environment pins against live reload.
    std::set<std::string> pinnedKeys(const Environment& environment) const;

    bool operator==(const Flags&) const = default;
};

// What parsing came to: flags to run with, or a status to end with and the
// text for standard output (help, the version) or standard error (an error).
struct FlagsOutcome {
    std::optional<Flags> flags;
    int status = 0;
    std::string out;
    std::string error;  // without the "tarnel-vovivida: " prefix
};

// The usage text, 21 lines, no final newline.
const std::string& daemonUsage();

// Parses the arguments after the program path. Never exits; main does.
FlagsOutcome parseFlags(const std::vector<std::string>& arguments);

}  // namespace tracker
