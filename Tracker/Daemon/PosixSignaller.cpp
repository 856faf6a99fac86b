#include "Daemon/PosixSignaller.hpp"

#include <signal.h>

#include <system_error>
#include <thread>

#include "Core/PIDRange.hpp"
#include "Core/ProcessAncestry.hpp"
#include "Core/UTF8.hpp"
#include "Platform/ProcessState.hpp"

namespace tracker {

namespace {

// "pid=<ppid> (<command>)" for the process's parent, as far as it can still be read.
std::string describeParent(std::int64_t pid) {
    auto parent = ProcessAncestry::parentPID(pid);
    if (!parent) return "(unknown)";
    auto command = ProcessAncestry::commandLine(*parent);
    return "pid=" + std::to_string(*parent) + " (" + std::string(UTF8::firstCharacters(command.value_or("?"), 60)) +
           ")";
}

}  // namespace

PosixSignaller::PosixSignaller(LogHook log, std::chrono::milliseconds holdCheck)
    : log_(std::move(log)), holdCheck_(holdCheck) {}

bool PosixSignaller::send(std::int64_t pid, int signal) {
    if (!PIDRange::signallable(pid)) return false;
    return ::kill(static_cast<pid_t>(pid), signal) == 0;
}

std::optional<std::string> PosixSignaller::stopHoldFailure(std::int64_t pid, std::chrono::milliseconds bound) {
    using Clock = std::chrono::steady_clock;
    auto start = Clock::now();
    std::optional<Clock::time_point> stoppedSince;
    std::optional<bool> pending;
    RunState last = RunState::unknown;
    for (;;) {
        // The pending stop is read before the state: no longer pending and yet not stopped means the stop
        // was acted on and undone in between, even when it was too quick to be seen.
        pending = ProcessState::stopSignalPending(pid);
        auto state = ProcessState::of(pid);
        if (!state || ProcessState::isGone(*state)) return "the process is gone";
        last = *state;
        auto now = Clock::now();
        if (ProcessState::isStopped(last)) {
            if (!stoppedSince) stoppedSince = now;
            if (now - *stoppedSince >= bound) return std::nullopt;
        } else if (stoppedSince || pending == false || now - start >= stopSettleBound) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::string parent = describeParent(pid);
    if (!stoppedSince && pending != false) {
        return "it did not stop within " + std::to_string(stopSettleBound.count()) + " ms (state " +
               std::string(1, RunStates::letter(last)) + "); its parent is " + parent;
    }
    return "it runs again (state " + std::string(1, RunStates::letter(last)) + "): its parent " + parent +
           " resumed it";
}

bool PosixSignaller::stop(std::int64_t pid) {
    if (!send(pid, SIGSTOP)) return false;
    if (holdCheck_.count() <= 0) return true;
    auto failure = stopHoldFailure(pid, holdCheck_);
    if (!failure) return true;
    emit(log_, "error [signal] SIGSTOP pid=" + std::to_string(pid) + " did not hold - " + *failure);
    return false;
}

std::vector<bool> PosixSignaller::stopAll(const std::vector<std::int64_t>& pids) {
    std::vector<bool> results;
    for (auto pid : pids) results.push_back(send(pid, SIGSTOP));
    if (holdCheck_.count() <= 0) return results;
    std::vector<std::optional<std::string>> failures(pids.size());
    {
        std::vector<std::jthread> watchers;
        for (std::size_t i = 0; i < pids.size(); ++i) {
            if (!results[i]) continue;
            try {
                watchers.emplace_back([&, i] { failures[i] = stopHoldFailure(pids[i], holdCheck_); });
            } catch (const std::system_error&) {
                failures[i] = stopHoldFailure(pids[i], holdCheck_);  // no thread to be had: one after another
            }
        }
    }
    for (std::size_t i = 0; i < pids.size(); ++i) {
        if (!results[i] || !failures[i]) continue;
        results[i] = false;
        emit(log_, "error [signal] SIGSTOP pid=" + std::to_string(pids[i]) + " did not hold - " + *failures[i]);
    }
    return results;
}

bool PosixSignaller::cont(std::int64_t pid) {
    return send(pid, SIGCONT);
}

}  // namespace tracker
