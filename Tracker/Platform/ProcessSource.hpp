#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Core/Proc.hpp"

// What the running system tells about its processes. Each platform folder
// implements these; none of them reports errors: a process that is gone or
// unreadable is simply missing or none.
namespace tracker::ProcessSource {

// Every process (pids empty) or the listed ones.
std::vector<Proc> snapshot(const std::vector<std::int64_t>& pids);

// The row of one process whose command line the caller has just read (as a walk up the parents does): only
// the rest is read, and the owner is left unknown (-1). None when it is gone or the command is blank.
std::optional<Proc> process(std::int64_t pid, std::string_view command);

// The name people know a process's terminal by ("pts/3", "tty1"); "?" for a process without one or a
// device this system cannot name.
std::string terminalName(const Proc& proc);

// The parent pid; none when unknown or 0.
std::optional<std::int64_t> parentPID(std::int64_t pid);

// The identity of the process's start (see ProcessStart::id), read alone; none when unreadable, empty where
// the system does not tell.
std::optional<std::string> startID(std::int64_t pid);

// The argument vector joined by single blanks; none when unreadable or empty.
std::optional<std::string> arguments(std::int64_t pid);

// The path of the program the process runs; none when unreadable.
std::optional<std::string> executablePath(std::int64_t pid);

}  // namespace tracker::ProcessSource
