#include "Core/ProcessAncestry.hpp"

#include "Core/CommandLine.hpp"
#include "Core/PIDRange.hpp"
#include "Platform/ProcessSource.hpp"

namespace tracker::ProcessAncestry {

std::optional<std::int64_t> parentPID(std::int64_t of) {
    if (!PIDRange::fits(of)) return std::nullopt;
    auto parent = ProcessSource::parentPID(of);
    if (!parent || *parent == 0) return std::nullopt;
    return parent;
}

std::optional<std::string> startID(std::int64_t of) {
    if (!PIDRange::fits(of)) return std::nullopt;
    return ProcessSource::startID(of);
}

std::optional<std::string> commandLine(std::int64_t of) {
    if (!PIDRange::fits(of)) return std::nullopt;
    if (auto arguments = ProcessSource::arguments(of); arguments && !arguments->empty()) return arguments;
    return ProcessSource::executablePath(of);
}

std::optional<Found> findClaude(std::int64_t from, int maxHops,
                                const std::function<std::optional<std::int64_t>(std::int64_t)>& parentOf,
                                const std::function<std::optional<std::string>(std::int64_t)>& commandOf) {
    if (maxHops < 1) return std::nullopt;
    Found found;
    std::int64_t current = from;
    for (int visited = 0;;) {
        if (current <= 1) return std::nullopt;
        Hop hop{current, commandOf(current).value_or("")};
        found.chain.push_back(hop);
        if (isClaudeCommand(hop.command)) {
            found.claude = std::move(hop);
            return found;
        }
        auto parent = parentOf(current);
        if (!parent || *parent == current) return std::nullopt;
        if (++visited >= maxHops) return std::nullopt;
        current = *parent;
    }
}

std::optional<Found> findClaude(std::int64_t from, int maxHops) {
    return findClaude(
        from, maxHops, [](std::int64_t pid) { return parentPID(pid); },
        [](std::int64_t pid) { return commandLine(pid); });
}

}  // namespace tracker::ProcessAncestry
