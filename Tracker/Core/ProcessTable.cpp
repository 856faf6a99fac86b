#include "Core/ProcessTable.hpp"

#include <charconv>
#include <limits>

#include "Core/ProcessAncestry.hpp"
#include "Core/UTF8.hpp"
#include "Platform/ProcessSource.hpp"

namespace tracker {

namespace {

bool isSeparator(char c) {
    return c == ' ' || c == '\t';
}

// A decimal integer: an optional "+" or "-", then digits only, no overflow.
std::optional<std::int64_t> parseInteger(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty()) return std::nullopt;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
    }
    // Accumulated as a negative number so that the smallest value fits.
    std::int64_t value = 0;
    constexpr std::int64_t lowest = std::numeric_limits<std::int64_t>::min();
    for (char c : text) {
        int digit = c - '0';
        if (value < (lowest + digit) / 10) return std::nullopt;
        value = value * 10 - digit;
    }
    if (negative) return value;
    if (value == lowest) return std::nullopt;
    return -value;
}

// Byte length of the first count code points of text (none when it is
// shorter), so that a cut never splits a multi-byte character. A lead byte
// takes only the continuation bytes it announces; a stray byte counts as one.
std::optional<std::size_t> prefixOfCodePoints(std::string_view text, int count) {
    std::size_t at = 0;
    for (int taken = 0; taken < count; ++taken) {
        if (at >= text.size()) return std::nullopt;
        auto lead = static_cast<unsigned char>(text[at++]);
        int continuations = lead >= 0xF0 && lead < 0xF8   ? 3
                            : lead >= 0xE0 && lead < 0xF0 ? 2
                            : lead >= 0xC0 && lead < 0xE0 ? 1
                                                          : 0;
        while (continuations-- > 0 && at < text.size() && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80) ++at;
    }
    return at;
}

}  // namespace

ProcessTable::ProcessTable(const std::vector<Proc>& procs) {
    for (const Proc& proc : procs) byPID.insert_or_assign(proc.pid, proc);
}

std::vector<std::string_view> ProcessTable::splitFields(std::string_view line, int max) {
    std::vector<std::string_view> fields;
    std::size_t at = 0;
    auto skipSeparators = [&] {
        while (at < line.size() && isSeparator(line[at])) ++at;
    };
    while (static_cast<int>(fields.size()) < max - 1) {
        skipSeparators();
        if (at >= line.size()) return fields;
        std::size_t start = at;
        while (at < line.size() && !isSeparator(line[at])) ++at;
        fields.push_back(line.substr(start, at - start));
        if (at >= line.size()) return fields;
    }
    skipSeparators();
    if (at < line.size()) fields.push_back(line.substr(at));
    return fields;
}

std::optional<Proc> ProcessTable::parsePSLine(std::string_view line, bool includesLStart) {
    std::vector<std::string_view> fields = splitFields(line, 7);
    if (fields.size() != 7) return std::nullopt;
    auto pid = parseInteger(fields[0]);
    auto ppid = parseInteger(fields[1]);
    auto pgid = parseInteger(fields[2]);
    auto tpgid = parseInteger(fields[3]);
    if (!pid || !ppid || !pgid || !tpgid) return std::nullopt;

    Proc proc;
    proc.pid = *pid;
    proc.ppid = *ppid;
    proc.pgid = *pgid;
    proc.tpgid = *tpgid;
    proc.stat = std::string(fields[4]);
    proc.tty = std::string(fields[5]);
    std::string_view rest = fields[6];
    if (includesLStart) {
        auto startWidth = prefixOfCodePoints(rest, lstartWidth);
        if (!startWidth || *startWidth >= rest.size()) return std::nullopt;
        proc.lstart = std::string(UTF8::trimmed(rest.substr(0, *startWidth)));
        rest.remove_prefix(*startWidth);
    }
    proc.command = std::string(UTF8::trimmed(rest));
    if (proc.command.empty()) return std::nullopt;
    return proc;
}

ProcessTable ProcessTable::fromPSOutput(std::string_view psOutput, bool includesLStart) {
    std::vector<Proc> rows;
    std::size_t at = 0;
    while (at <= psOutput.size()) {
        std::size_t end = psOutput.find('\n', at);
        if (end == std::string_view::npos) end = psOutput.size();
        if (auto proc = parsePSLine(psOutput.substr(at, end - at), includesLStart)) rows.push_back(std::move(*proc));
        at = end + 1;
    }
    return ProcessTable(rows);
}

ProcessTable ProcessTable::fromSystem(const std::vector<std::int64_t>& pids) {
    return ProcessTable(ProcessSource::snapshot(pids));
}

ProcessTable ProcessTable::forClaude(std::int64_t pid) {
    std::vector<Proc> rows = ProcessSource::snapshot({pid});
    // The parent is the one the row names: a later read of the parent pid could name another.
    if (!rows.empty() && rows.front().ppid > 0) {
        Proc parent;
        parent.pid = rows.front().ppid;
        parent.command = ProcessAncestry::commandLine(parent.pid).value_or("");
        rows.push_back(std::move(parent));
    }
    return ProcessTable(rows);
}

std::optional<Proc> ProcessTable::get(std::optional<std::int64_t> pid) const {
    if (!pid) return std::nullopt;
    auto found = byPID.find(*pid);
    if (found == byPID.end()) return std::nullopt;
    return found->second;
}

bool ProcessTable::isAlive(std::optional<std::int64_t> pid) const {
    return pid && byPID.count(*pid) > 0;
}

std::vector<Proc> ProcessTable::claudes() const {
    std::vector<Proc> found;
    for (const auto& [pid, proc] : byPID) {
        if (isClaudeCommand(proc.command)) found.push_back(proc);
    }
    return found;
}

std::optional<Proc> ProcessTable::parent(std::int64_t of) const {
    auto child = byPID.find(of);
    if (child == byPID.end() || child->second.ppid <= 0) return std::nullopt;
    return get(child->second.ppid);
}

std::optional<std::int64_t> ProcessTable::parentShellPID(std::int64_t of) const {
    auto shell = parent(of);
    if (!shell || !isInteractiveShellCommand(shell->command)) return std::nullopt;
    return shell->pid;
}

Shape ProcessTable::classifyShape(std::int64_t pid) const {
    auto found = byPID.find(pid);
    if (found == byPID.end()) return Shape::unknown;
    const Proc& proc = found->second;
    if (auto up = parent(pid)) {
        if (isTmuxCommand(up->command)) return Shape::c;
        if (isInteractiveShellCommand(up->command) && proc.hasTTY() && proc.pgid == proc.tpgid) return Shape::b;
    }
    return proc.hasTTY() ? Shape::unknown : Shape::a;
}

std::optional<Proc> ProcessTable::findClaude(std::int64_t from, int maxHops) const {
    std::int64_t current = from;
    for (int hop = 0; hop < maxHops; ++hop) {
        auto found = byPID.find(current);
        if (found == byPID.end()) return std::nullopt;
        const Proc& proc = found->second;
        if (isClaudeCommand(proc.command)) return proc;
        if (proc.ppid < 1 || proc.ppid == proc.pid) return std::nullopt;
        current = proc.ppid;
    }
    return std::nullopt;
}

bool ProcessTable::isSameProcess(std::int64_t pid, std::string_view pidStart, std::string_view startID) const {
    auto found = byPID.find(pid);
    if (found == byPID.end()) return false;
    if (!startID.empty() && !found->second.startID.empty()) return startID == found->second.startID;
    std::string_view wanted = UTF8::trimmed(pidStart);
    return !wanted.empty() && UTF8::trimmed(found->second.lstart) == wanted;
}

bool ProcessTable::isClaudePID(std::int64_t pid, std::string_view pidStart, std::string_view startID) const {
    auto found = byPID.find(pid);
    return found != byPID.end() && isClaudeCommand(found->second.command) && isSameProcess(pid, pidStart, startID);
}

}  // namespace tracker
