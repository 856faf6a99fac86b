#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Core/ProcessTable.hpp"

// What the running system tells about its processes. Each platform folder
// implements these; none of them reports errors: a process that is gone or
// unreadable is simply missing or none.
namespace tracker::ProcessSource {

// Rows for every process (pids empty) or for the listed pids, with the
// columns exactly as the system's ps prints them.
std::vector<Proc> snapshot(const std::vector<std::int64_t>& pids);

// The parent pid; none when unknown or 0.
std::optional<std::int64_t> parentPID(std::int64_t pid);

// What names the process across pid reuse (see Proc::startID), read alone; none when unreadable, empty where
// the system does not tell.
std::optional<std::string> startID(std::int64_t pid);

// The argument vector joined by single blanks; none when unreadable or empty.
std::optional<std::string> arguments(std::int64_t pid);

// The path of the program the process runs; none when unreadable.
std::optional<std::string> executablePath(std::int64_t pid);

}  // namespace tracker::ProcessSource
