#include "Core/ProcessAncestry.hpp"

#include <cstring>

#include "Core/CommandLine.hpp"
#include "Core/PIDRange.hpp"
#include "Core/UTF8.hpp"
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

std::optional<std::string> parseProcArgs2(std::string_view buffer) {
    if (buffer.size() < 5) return std::nullopt;
    std::int32_t count = 0;
    std::memcpy(&count, buffer.data(), sizeof count);
    if (count < 1) return std::nullopt;

    std::size_t at = 4;
    while (at < buffer.size() && buffer[at] != '\0') ++at;
    if (at >= buffer.size()) return std::nullopt;
    while (at < buffer.size() && buffer[at] == '\0') ++at;
    if (at >= buffer.size()) return std::nullopt;

    std::string joined;
    std::int32_t taken = 0;
    while (taken < count && at < buffer.size()) {
        std::size_t end = buffer.find('\0', at);
        if (end == std::string_view::npos) break;
        if (taken > 0) joined += ' ';
        joined += UTF8::repaired(buffer.substr(at, end - at));
        ++taken;
        at = end + 1;
    }
    if (taken == 0) return std::nullopt;
    return joined;
}

}  // namespace tracker::ProcessAncestry
