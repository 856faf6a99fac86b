#include "Platform/ProcessSource.hpp"

#include "Platform/linux/ProcFS.hpp"
#include "Platform/linux/TTYNames.hpp"

// On Linux everything comes from /proc: no ps run, no external program.
namespace tracker::ProcessSource {

std::vector<Proc> snapshot(const std::vector<std::int64_t>& pids) {
    return ProcFS::read(pids);
}

std::optional<Proc> process(std::int64_t pid, std::string_view command) {
    return ProcFS::process(pid, command);
}

std::string terminalName(const Proc& proc) {
    if (!proc.terminal) return "?";
    return TTYNames().name(static_cast<std::uint32_t>(*proc.terminal), proc.pid);
}

std::optional<std::int64_t> parentPID(std::int64_t pid) {
    return ProcFS::parentPID(pid);
}

std::optional<std::string> startID(std::int64_t pid) {
    auto stat = ProcFS::stat(pid);
    if (!stat) return std::nullopt;
    return ProcFS::startID(ProcFS::bootID(), stat->startTicks);
}

std::optional<std::string> arguments(std::int64_t pid) {
    return ProcFS::arguments(pid);
}

std::optional<std::string> executablePath(std::int64_t pid) {
    return ProcFS::executablePath(pid);
}

}  // namespace tracker::ProcessSource
