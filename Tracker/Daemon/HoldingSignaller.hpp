#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>

#include "Daemon/PosixSignaller.hpp"
#include "Platform/Freezer.hpp"

namespace tracker {

// The daemon's signaller: holds each process with the platform's freezer (the cgroup v2 freezer on Linux),
// which no terminal multiplexer can undo, and where that cannot be done for a process (no cgroup v2, a
// cgroup the daemon may not write) stops it with SIGSTOP and the hold check instead, saying once per
// process why. Continuing releases whichever hold the process is under.
class HoldingSignaller : public Signaller {
public:
    // With the platform's freezer.
    explicit HoldingSignaller(LogHook log = {});
    // With the given freezer (none: signals only) and hold check for the fallback.
    HoldingSignaller(LogHook log, std::unique_ptr<Freezer> freezer,
                     std::chrono::milliseconds holdCheck = PosixSignaller::defaultHoldCheck);

    bool stop(std::int64_t pid) override;
    bool cont(std::int64_t pid) override;
    // Freezes each it can; the rest fall back to signals, their stops checked together.
    std::vector<bool> stopAll(const std::vector<std::int64_t>& pids) override;
    bool isHeld(std::int64_t pid) override;
    std::vector<std::int64_t> heldPIDs() override;
    int releaseAll() override;
    void tidy() override;

private:
    void explainFallback(std::int64_t pid, const std::string& why);

    LogHook log_;
    std::unique_ptr<Freezer> freezer_;
    PosixSignaller signals_;
    std::mutex mutex_;
    std::set<std::int64_t> explained_;
};

}  // namespace tracker
