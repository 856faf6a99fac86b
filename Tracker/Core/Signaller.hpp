#pragma once

#include <cstdint>
#include <vector>

namespace tracker {

// The one way the daemon stops and continues processes, so that a test can put a recorder in its place and
// a platform's freezer can stand in for signals. Implementations never fail loudly: a process that is gone
// or out of reach is a false result.
class Signaller {
public:
    virtual ~Signaller() = default;

    // True when the process was stopped (and, for the real signallers, stays stopped).
    virtual bool stop(std::int64_t pid) = 0;
    // True when the continue was delivered.
    virtual bool cont(std::int64_t pid) = 0;
    // Stops each process, in the order given; one result per pid, as stop gives it. A real signaller checks
    // the stops together, so many sessions take about as long as one.
    virtual std::vector<bool> stopAll(const std::vector<std::int64_t>& pids) {
        std::vector<bool> results;
        for (auto pid : pids) results.push_back(stop(pid));
        return results;
    }

    // Whether this signaller's own mechanism holds pid stopped in a way the process list does not show
    // (a frozen cgroup shows its processes as sleeping); the sweep counts such a process as stopped.
    virtual bool isHeld(std::int64_t /*pid*/) { return false; }
    // Every process so held, by this run or an earlier one, ascending.
    virtual std::vector<std::int64_t> heldPIDs() { return {}; }
    // The last resort on the way out: continues everything this signaller stopped and still holds; how many.
    virtual int releaseAll() { return 0; }
    // At start: removes what earlier runs of this mechanism left behind and no longer need (empty groups).
    virtual void tidy() {}
};

// One signal tried: the process it was for, and whether it was delivered.
struct SignalResult {
    std::int64_t pid = 0;
    bool delivered = false;
    bool operator==(const SignalResult&) const = default;
};

}  // namespace tracker
