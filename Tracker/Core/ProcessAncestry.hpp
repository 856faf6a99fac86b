#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Questions about single processes answered straight from the kernel, without
// running ps: cheap enough for the tee, which runs on every status refresh.
// Every failure is none; pids outside the 32-bit range are none too.
namespace tracker::ProcessAncestry {

// One process visited on the way up; command is empty when unreadable.
struct Hop {
    std::int64_t pid = 0;
    std::string command;
    bool operator==(const Hop&) const = default;
};

// The Claude Code process found and every hop visited, ending with it.
struct Found {
    Hop claude;
    std::vector<Hop> chain;
    bool operator==(const Found&) const = default;
};

// The parent pid, or none (also for a parent of 0).
std::optional<std::int64_t> parentPID(std::int64_t of);

// The identity of the process's start (see ProcessStart::id), without the rest of its row.
std::optional<std::string> startID(std::int64_t of);

// The argument vector joined by blanks when it is readable and not empty,
// else the executable's path, else none.
std::optional<std::string> commandLine(std::int64_t of);

// Walks up from `from` to the nearest Claude Code process, inspecting at most
// maxHops processes (the first being `from`) and never the init process.
std::optional<Found> findClaude(std::int64_t from, int maxHops);

// The walk over given lookups, so that it can run over a made-up tree.
std::optional<Found> findClaude(std::int64_t from, int maxHops,
                                const std::function<std::optional<std::int64_t>(std::int64_t)>& parentOf,
                                const std::function<std::optional<std::string>(std::int64_t)>& commandOf);

}  // namespace tracker::ProcessAncestry
