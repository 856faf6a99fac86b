#include "Platform/ProcessState.hpp"

#include <csignal>
#include <cstdlib>
#include <string>

#include "Platform/linux/ProcFS.hpp"

namespace tracker::ProcessState {

namespace {

// The hexadecimal signal mask after "<key>:\t" in /proc/<pid>/status.
std::optional<unsigned long long> signalMask(const std::string& status, const std::string& key) {
    auto at = status.find("\n" + key + ":");
    if (at == std::string::npos) return std::nullopt;
    const char* start = status.c_str() + at + key.size() + 2;
    char* end = nullptr;
    unsigned long long mask = std::strtoull(start, &end, 16);
    if (end == start) return std::nullopt;
    return mask;
}

}  // namespace

std::optional<RunState> of(std::int64_t pid) {
    auto stat = ProcFS::stat(pid);
    if (!stat) return std::nullopt;
    return ProcFS::runState(stat->state);
}

std::optional<bool> stopSignalPending(std::int64_t pid) {
    auto status = ProcFS::status(pid);
    if (!status) return std::nullopt;
    // A signal sent with kill() waits in the process-wide set (ShdPnd); one for a thread in SigPnd.
    auto shared = signalMask(*status, "ShdPnd");
    auto own = signalMask(*status, "SigPnd");
    if (!shared || !own) return std::nullopt;
    unsigned long long stopBit = 1ULL << (SIGSTOP - 1);
    return ((*shared | *own) & stopBit) != 0;
}

}  // namespace tracker::ProcessState
