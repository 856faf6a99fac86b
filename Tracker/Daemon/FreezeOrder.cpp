#include "Daemon/FreezeOrder.hpp"

#include <unistd.h>

#include "Core/CommandLine.hpp"
#include "Core/UTF8.hpp"

namespace tracker {

std::vector<std::int64_t> freezeOrder(const Target& target, ShellStopMode mode) {
    if (target.shape == Shape::b && mode == ShellStopMode::shellFirst && target.shellPID && *target.shellPID > 0) {
        return {*target.shellPID, target.pid};
    }
    return {target.pid};
}

std::vector<std::int64_t> thawOrder(const Target& target, ShellStopMode mode) {
    auto order = freezeOrder(target, mode);
    return {order.rbegin(), order.rend()};
}

bool verifyForSignal(const ProcessTable* table, const Target& target) {
    if (!table) return true;
    if (target.pidStart.empty()) return false;
    return table->isSameProcess(target.pid, target.pidStart, target.startID) && isOwnProcess(table, target.pid);
}

bool isOwnProcess(const ProcessTable* table, std::int64_t pid) {
    if (!table) return true;
    auto row = table->get(pid);
    return row && (row->uid < 0 || row->uid == static_cast<std::int64_t>(::getuid()));
}

std::optional<std::string> shellThawRefusal(const ProcessTable* table, const Target& target) {
    if (!table || !target.shellPID) return std::nullopt;
    const std::int64_t shellPID = *target.shellPID;
    auto shell = table->get(shellPID);
    if (!shell) return "shell pid " + std::to_string(shellPID) + " is gone";
    if (!target.shellStart.empty()) {
        if (!table->isSameProcess(shellPID, target.shellStart, target.shellStartID)) {
            return "shell pid " + std::to_string(shellPID) + " is another process now";
        }
    } else {
        // A pause written before shells were recorded: the shell must still be the verified claude's parent.
        auto claude = table->get(target.pid);
        if (!verifyForSignal(table, target) || !claude || claude->ppid != shellPID) {
            return "shell pid " + std::to_string(shellPID) +
                   " cannot be verified (not the parent of the recorded claude)";
        }
    }
    if (!isInteractiveShellCommand(shell->command)) {
        return "pid " + std::to_string(shellPID) + " is not an interactive shell (" +
               std::string(UTF8::firstCharacters(shell->command, 60)) + ")";
    }
    if (!isOwnProcess(table, shellPID)) return "shell pid " + std::to_string(shellPID) + " belongs to another user";
    return std::nullopt;
}

std::vector<std::int64_t> freezePIDs(const Target& target, ShellStopMode mode, const ProcessTable* table,
                                     const LogHook& log) {
    auto order = freezeOrder(target, mode);
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
                 std::string(UTF8::firstCharacters(shell->command, 60)) + ")";
    } else if (!isOwnProcess(table, shellPID)) {
        reason = "shell pid " + std::to_string(shellPID) + " belongs to another user";
    } else {
        return order;
    }
    emit(log, "warning [freezePIDs] shape-B shell check failed (" + reason + ") - stopping claude alone");
    return {target.pid};
}

std::vector<SignalResult> freezeTarget(Signaller& signaller, const Target& target, ShellStopMode mode,
                                       const ProcessTable* table, const LogHook& log) {
    return freezeTargets(signaller, {target}, mode, table, log).front();
}

std::vector<std::vector<SignalResult>> freezeTargets(Signaller& signaller, const std::vector<Target>& targets,
                                                     ShellStopMode mode, const ProcessTable* table,
                                                     const LogHook& log) {
    std::vector<std::vector<SignalResult>> results(targets.size());
    std::vector<std::int64_t> pids;
    std::vector<std::size_t> owners;
    for (std::size_t t = 0; t < targets.size(); ++t) {
        const Target& target = targets[t];
        if (!verifyForSignal(table, target)) {
            emit(log, "error [freezeTarget] pid " + std::to_string(target.pid) +
                          " failed identity verification - signalling nothing for session " +
                          shortSessionID(target.sessionID));
            results[t] = {{target.pid, false}};
            continue;
        }
        for (auto pid : freezePIDs(target, mode, table, log)) {
            pids.push_back(pid);
            owners.push_back(t);
        }
    }
    auto stopped = signaller.stopAll(pids);
    for (std::size_t k = 0; k < pids.size(); ++k) results[owners[k]].push_back({pids[k], stopped[k]});
    return results;
}

std::vector<SignalResult> thawTarget(Signaller& signaller, const Target& target, ShellStopMode mode,
                                     const ProcessTable* table, const LogHook& log) {
    std::vector<SignalResult> results;
    for (auto pid : thawOrder(target, mode)) {
        if (pid != target.pid) {
            if (auto refusal = shellThawRefusal(table, target)) {
                emit(log, "warning [thawTarget] " + *refusal + " - not continuing it");
                results.push_back({pid, false});
            } else {
                results.push_back({pid, signaller.cont(pid)});
            }
        } else if (verifyForSignal(table, target)) {
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
