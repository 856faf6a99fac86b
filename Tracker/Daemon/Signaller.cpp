#include "Daemon/Signaller.hpp"

#include <signal.h>

#include <thread>

#include "Core/CommandLine.hpp"
#include "Core/ProcessAncestry.hpp"
#include "Platform/ProcessState.hpp"

namespace tracker {

namespace {

constexpr std::int64_t smallestSignalledPID = 2;
constexpr std::int64_t largestSignalledPID = 2147483647;

// The first n characters (code points, never half of one) of a UTF-8 text.
std::string firstCharacters(const std::string& text, std::size_t n) {
    std::size_t count = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        bool startsCharacter = (static_cast<unsigned char>(text[i]) & 0xC0) != 0x80;
        if (startsCharacter && count++ == n) return text.substr(0, i);
    }
    return text;
}

std::string sessionPrefix(const std::string& sessionID) {
    return sessionID.empty() ? "?" : firstCharacters(sessionID, 8);
}

void emit(const SignalLog& log, const std::string& message) {
    if (log) log(message);
}

// "pid=<ppid> (<command>)" for the process's parent, as far as it can still be read.
std::string describeParent(std::int64_t pid) {
    auto parent = ProcessAncestry::parentPID(pid);
    if (!parent) return "(unknown)";
    auto command = ProcessAncestry::commandLine(*parent);
    return "pid=" + std::to_string(*parent) + " (" + firstCharacters(command.value_or("?"), 60) + ")";
}

}  // namespace

PosixSignaller::PosixSignaller(SignalLog log, std::chrono::milliseconds holdCheck)
    : log_(std::move(log)), holdCheck_(holdCheck) {}

bool PosixSignaller::send(std::int64_t pid, int signal) {
    if (pid < smallestSignalledPID || pid > largestSignalledPID) return false;
    return ::kill(static_cast<pid_t>(pid), signal) == 0;
}

std::optional<std::string> PosixSignaller::stopHoldFailure(std::int64_t pid, std::chrono::milliseconds bound) {
    using Clock = std::chrono::steady_clock;
    auto start = Clock::now();
    std::optional<Clock::time_point> stoppedSince;
    std::optional<bool> pending;
    char last = '?';
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
               std::string(1, last) + "); its parent is " + parent;
    }
    return "it runs again (state " + std::string(1, last) + "): its parent " + parent + " resumed it";
}

bool PosixSignaller::stop(std::int64_t pid) {
    if (!send(pid, SIGSTOP)) return false;
    if (holdCheck_.count() <= 0) return true;
    auto failure = stopHoldFailure(pid, holdCheck_);
    if (!failure) return true;
    emit(log_, "error [signal] SIGSTOP pid=" + std::to_string(pid) + " did not hold - " + *failure);
    return false;
}

bool PosixSignaller::cont(std::int64_t pid) {
    return send(pid, SIGCONT);
}

const char* DryRunSignaller::kindText(Kind kind) {
    return kind == Kind::stop ? "stop" : "cont";
}

std::optional<DryRunSignaller::Kind> DryRunSignaller::kindFromText(const std::string& text) {
    if (text == "stop") return Kind::stop;
    if (text == "cont") return Kind::cont;
    return std::nullopt;
}

bool DryRunSignaller::stop(std::int64_t pid) {
    calls.push_back({Kind::stop, pid});
    return true;
}

bool DryRunSignaller::cont(std::int64_t pid) {
    calls.push_back({Kind::cont, pid});
    return true;
}

std::vector<std::int64_t> freezeOrder(const Target& target, const std::string& shellStopMode) {
    if (target.shape == Shape::b && shellStopMode == "shell-first" && target.shellPID && *target.shellPID > 0) {
        return {*target.shellPID, target.pid};
    }
    return {target.pid};
}

std::vector<std::int64_t> thawOrder(const Target& target, const std::string& shellStopMode) {
    auto order = freezeOrder(target, shellStopMode);
    return {order.rbegin(), order.rend()};
}

bool verifyForSignal(const ProcessTable* table, std::int64_t pid, const std::string& pidStart) {
    if (!table) return true;
    if (pidStart.empty()) return false;
    return table->isSameProcess(pid, pidStart);
}

std::vector<std::int64_t> freezePIDs(const Target& target, const std::string& shellStopMode, const ProcessTable* table,
                                     const SignalLog& log) {
    auto order = freezeOrder(target, shellStopMode);
    if (order.size() == 1 || !table) return order;
    std::int64_t shellPID = order.front();
    std::string reason;
    auto claude = table->get(target.pid);
    auto shell = table->get(shellPID);
    if (!claude) {
        reason = "claude pid " + std::to_string(target.pid) + " is gone";
    } else if (claude->ppid != shellPID) {
        reason = "claude pid " + std::to_string(target.pid) + " ppid is now " + std::to_string(claude->ppid) +
                 ", not the recorded shell " + std::to_string(shellPID);
    } else if (!shell) {
        reason = "shell pid " + std::to_string(shellPID) + " is gone";
    } else if (!isInteractiveShellCommand(shell->command)) {
        reason = "pid " + std::to_string(shellPID) + " is no longer an interactive shell (" +
                 firstCharacters(shell->command, 60) + ")";
    } else {
        return order;
    }
    emit(log, "warning [freezePIDs] shape-B shell check failed (" + reason + ") - stopping claude alone");
    return {target.pid};
}

std::vector<SignalResult> freezeTarget(Signaller& signaller, const Target& target, const std::string& shellStopMode,
                                       const ProcessTable* table, const SignalLog& log) {
    if (!verifyForSignal(table, target.pid, target.pidStart)) {
        emit(log, "error [freezeTarget] pid " + std::to_string(target.pid) +
                      " failed identity verification - signalling nothing for session " +
                      sessionPrefix(target.sessionID));
        return {{target.pid, false}};
    }
    std::vector<SignalResult> results;
    for (auto pid : freezePIDs(target, shellStopMode, table, log)) results.push_back({pid, signaller.stop(pid)});
    return results;
}

std::vector<SignalResult> thawTarget(Signaller& signaller, const Target& target, const std::string& shellStopMode,
                                     const ProcessTable* table, const SignalLog& log) {
    std::vector<SignalResult> results;
    for (auto pid : thawOrder(target, shellStopMode)) {
        if (pid != target.pid) {
            results.push_back({pid, signaller.cont(pid)});
        } else if (verifyForSignal(table, target.pid, target.pidStart)) {
            results.push_back({pid, signaller.cont(pid)});
        } else {
            emit(log, "warning [thawTarget] pid " + std::to_string(pid) +
                          " failed identity verification - not continuing it");
            results.push_back({pid, false});
        }
    }
    return results;
}

}  // namespace tracker
