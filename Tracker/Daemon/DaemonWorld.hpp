#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "Core/LogHook.hpp"
#include "Core/ProcessTable.hpp"
#include "Core/Signaller.hpp"

namespace tracker {

// The world as the daemon sees it and acts on it, handed to the loop when it is made: the real one in the
// program, made-up ones in tests (a clock that jumps, a sleeper that only counts, a process table of
// choice, a recording signaller, an exit that returns).
struct DaemonWorld {
    // Wall-clock time, seconds since the epoch.
    std::function<double()> clock;
    // Waits this many seconds.
    std::function<void(double seconds)> sleep;
    // The processes with the given pids (every process for an empty list).
    std::function<ProcessTable(const std::vector<std::int64_t>& pids)> processes;
    // The one way processes are held and continued.
    std::shared_ptr<Signaller> signaller;
    // Ends the process with this status.
    std::function<void(int status)> exit;

    // The wall clock, real sleeps, the system's processes, the platform's holding signaller (a recorder that
    // signals nothing in a dry run) and std::exit.
    static DaemonWorld real(bool dryRun, const LogHook& log);
};

}  // namespace tracker
