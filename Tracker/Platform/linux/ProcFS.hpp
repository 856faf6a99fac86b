#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Core/Proc.hpp"

// Processes read straight from /proc and typed where they are read: state,
// foreground, terminal, start, command and owner. Nothing here reports
// errors: vanished or unreadable processes are skipped.
namespace tracker::ProcFS {

// The fields of /proc/<pid>/stat a row needs.
struct Stat {
    std::int64_t pid = 0;
    std::string comm;
    char state = '?';
    std::int64_t ppid = 0;
    std::int64_t pgrp = 0;
    std::int64_t session = 0;
    std::uint32_t ttyNr = 0;
    std::int64_t tpgid = 0;
    // The kernel's per-process flags (PF_*).
    std::uint64_t flags = 0;
    std::int64_t nice = 0;
    std::int64_t threads = 0;
    std::uint64_t startTicks = 0;
};

// Parses the stat line; the command name may hold blanks and parentheses,
// so the fields are read after the last ")".
std::optional<Stat> parseStat(std::string_view text);

// The state of a /proc/<pid>/stat state letter.
RunState runState(char letter);

// The real user id in /proc/<pid>/status.
std::optional<std::int64_t> realUID(std::string_view status);
// The thread group id in /proc/<pid>/status.
std::optional<std::int64_t> threadGroup(std::string_view status);

// The "btime" line of /proc/stat: boot time in seconds since the epoch.
std::optional<std::int64_t> bootTime(std::string_view procStat);

// The boot time as /proc/stat gives it, from the wall clock read before and after the time since boot: the
// kernel's btime is the whole seconds of their difference. None where the reads cannot settle the second (the
// difference lies within a millisecond of a whole one, or the wall clock moved between the reads); then
// /proc/stat says.
std::optional<std::int64_t> bootTimeFromClocks(const timespec& wallBefore, const timespec& sinceBoot,
                                               const timespec& wallAfter);
// Start time in whole seconds since the epoch: boot time plus the start
// ticks divided by the tick rate, truncated.
std::int64_t startTime(std::int64_t bootTime, std::uint64_t startTicks, long ticksPerSecond);

// The boot id of /proc/sys/kernel/random/boot_id (read once); empty when it cannot be read.
const std::string& bootID();
// "<boot id>:<start ticks>", a process's start that no time zone or clock step changes; empty without a
// boot id.
std::string startID(const std::string& bootID, std::uint64_t startTicks);

// Rows for every process when pids is empty, else for the listed ones.
std::vector<Proc> read(const std::vector<std::int64_t>& pids);

// The row of a process whose command line the caller has read: from /proc/<pid>/stat alone, the owner left
// unknown (-1). None when it is gone, or the command is blank.
std::optional<Proc> process(std::int64_t pid, std::string_view command);

// /proc/<pid>/stat read and parsed; none when the process is gone or unreadable.
std::optional<Stat> stat(std::int64_t pid);
// The text of /proc/<pid>/status; none when the process is gone or unreadable.
std::optional<std::string> status(std::int64_t pid);
// The parent pid from /proc/<pid>/stat.
std::optional<std::int64_t> parentPID(std::int64_t pid);
// The arguments of /proc/<pid>/cmdline, each repaired as UTF-8, joined by
// blanks; none when unreadable or empty.
std::optional<std::string> arguments(std::int64_t pid);
// Splits cmdline bytes at NULs; a last argument without its NUL counts too.
std::vector<std::string> splitArguments(std::string_view cmdline);
// The target of /proc/<pid>/exe.
std::optional<std::string> executablePath(std::int64_t pid);

}  // namespace tracker::ProcFS
