#include "Daemon/HoldingSignaller.hpp"

#include <signal.h>

#include "Core/PIDRange.hpp"
#include "Daemon/EmergencyRelease.hpp"

namespace tracker {

namespace {

// Fallback explanations kept before the list starts over; pids are reused, so it must not grow forever.
constexpr std::size_t explanationsKept = 4096;

}  // namespace

HoldingSignaller::HoldingSignaller(LogHook log) : HoldingSignaller(log, Freezer::make(log)) {}

HoldingSignaller::HoldingSignaller(LogHook log, std::unique_ptr<Freezer> freezer, std::chrono::milliseconds holdCheck)
    : log_(log), freezer_(std::move(freezer)), signals_(log, holdCheck) {}

void HoldingSignaller::explainFallback(std::int64_t pid, const std::string& why) {
    {
        std::lock_guard lock(mutex_);
        if (explained_.size() >= explanationsKept) explained_.clear();
        if (!explained_.insert(pid).second) return;
    }
    if (log_) {
        log_("warning [signal] pid " + std::to_string(pid) + " cannot be frozen through its cgroup (" + why +
             ") - using SIGSTOP/SIGCONT");
    }
}

bool HoldingSignaller::stop(std::int64_t pid) {
    if (!PIDRange::signallable(pid)) return false;
    if (freezer_) {
        auto attempt = freezer_->freeze(pid);
        if (attempt.held) {
            EmergencyRelease::held(pid, attempt.releaseFile);
            return true;
        }
        explainFallback(pid, attempt.whyNot);
    } else {
        explainFallback(pid, "no freezer on this system");
    }
    if (!signals_.stop(pid)) return false;
    EmergencyRelease::held(pid, {});
    return true;
}

std::vector<bool> HoldingSignaller::stopAll(const std::vector<std::int64_t>& pids) {
    std::vector<bool> results(pids.size(), false);
    std::vector<std::size_t> fallback;
    for (std::size_t i = 0; i < pids.size(); ++i) {
        if (!PIDRange::signallable(pids[i])) continue;
        if (freezer_) {
            auto attempt = freezer_->freeze(pids[i]);
            if (attempt.held) {
                EmergencyRelease::held(pids[i], attempt.releaseFile);
                results[i] = true;
                continue;
            }
            explainFallback(pids[i], attempt.whyNot);
        } else {
            explainFallback(pids[i], "no freezer on this system");
        }
        fallback.push_back(i);
    }
    std::vector<std::int64_t> signalled;
    for (auto i : fallback) signalled.push_back(pids[i]);
    auto stopped = signals_.stopAll(signalled);
    for (std::size_t k = 0; k < fallback.size(); ++k) {
        results[fallback[k]] = stopped[k];
        if (stopped[k]) EmergencyRelease::held(pids[fallback[k]], {});
    }
    return results;
}

bool HoldingSignaller::cont(std::int64_t pid) {
    if (!PIDRange::signallable(pid)) return false;
    EmergencyRelease::released(pid);
    if (freezer_ && freezer_->isHeld(pid) && freezer_->cont(pid)) {
        // It may have been stopped by a signal as well (an earlier run that fell back, or its user), perhaps
        // with the stop still pending while it was frozen; SIGCONT ends either, and is what a thaw sends anyway.
        PosixSignaller::send(pid, SIGCONT);
        return true;
    }
    return signals_.cont(pid);
}

bool HoldingSignaller::isHeld(std::int64_t pid) {
    return freezer_ && freezer_->isHeld(pid);
}

std::vector<std::int64_t> HoldingSignaller::heldPIDs() {
    return freezer_ ? freezer_->heldPIDs() : std::vector<std::int64_t>{};
}

void HoldingSignaller::tidy() {
    if (freezer_) freezer_->tidy();
}

int HoldingSignaller::releaseAll() {
    return freezer_ ? freezer_->releaseAll() : 0;
}

}  // namespace tracker
