#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Core/JSONFile.hpp"

namespace tracker {

// "daemon.pid": which process runs the daemon on a state directory, for outside observers (tarnel status).
// The daemon writes it after taking its lock and removes it on the way out.
struct DaemonPIDFile {
    std::int64_t pid = 0;
    // The process's start-time text, so a reused pid is not taken for the daemon.
    std::string pidStart;
    // Seconds since the epoch.
    std::optional<double> startedAt;
    std::vector<std::string> argv;
    // The threshold in force (config.json's, or what the command line or the environment set), kept current
    // while the daemon runs: what the sessions' lines warn about.
    std::optional<double> threshold{};

    // This process's: its pid and start, the time now, and argv.
    static DaemonPIDFile ofThisProcess(std::vector<std::string> argv);

    JSONObject toJSON() const;
    // Lenient like every state document: none unless it is an object with a usable "pid".
    static std::optional<DaemonPIDFile> fromJSON(const JSON& value);

    bool operator==(const DaemonPIDFile&) const = default;
};

}  // namespace tracker
