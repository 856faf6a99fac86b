#include "Core/ProcessTable.hpp"

#include "Core/ProcessAncestry.hpp"
#include "Platform/ProcessSource.hpp"

namespace tracker {

ProcessTable::ProcessTable(std::vector<Proc> procs) {
    for (Proc& proc : procs) byPID.insert_or_assign(proc.pid, std::move(proc));
}

ProcessTable ProcessTable::fromSystem(const std::vector<std::int64_t>& pids) {
    return ProcessTable(ProcessSource::snapshot(pids));
}

ProcessTable ProcessTable::forClaude(const ProcessAncestry::Hop& claude) {
    std::vector<Proc> rows;
    if (auto row = ProcessSource::process(claude.pid, claude.command)) rows.push_back(std::move(*row));
    // The parent is the one the row names: a later read of the parent pid could name another.
    if (!rows.empty() && rows.front().ppid > 0) {
        Proc parent;
        parent.pid = rows.front().ppid;
        parent.command = ProcessAncestry::commandLine(parent.pid).value_or("");
        rows.push_back(std::move(parent));
    }
    return ProcessTable(std::move(rows));
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
        if (isInteractiveShellCommand(up->command) && proc.hasTerminal() && proc.foreground) return Shape::b;
    }
    return proc.hasTerminal() ? Shape::unknown : Shape::a;
}

Record ProcessTable::processRecord(const Proc& row) const {
    Record record;
    record.pid = row.pid;
    record.pidStart = row.start.text();
    record.startID = row.start.id;
    record.shape = classifyShape(row.pid);
    if (record.shape == Shape::b) {
        if (auto shell = parent(row.pid)) record.parentShellPID = shell->pid;
    }
    return record;
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
    return found != byPID.end() && found->second.start.matches(pidStart, startID);
}

bool ProcessTable::isClaudePID(std::int64_t pid, std::string_view pidStart, std::string_view startID) const {
    auto found = byPID.find(pid);
    return found != byPID.end() && isClaudeCommand(found->second.command) && isSameProcess(pid, pidStart, startID);
}

}  // namespace tracker
