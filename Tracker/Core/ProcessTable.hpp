#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Core/CommandLine.hpp"
#include "Core/Proc.hpp"
#include "Core/ProcessAncestry.hpp"
#include "Core/Records.hpp"

namespace tracker {

// An immutable snapshot of the process list and the questions both programs
// ask of it. Taking a snapshot never fails: problems give fewer rows.
class ProcessTable {
public:
    // At most one row per pid.
    std::map<std::int64_t, Proc> byPID;

    ProcessTable() = default;
    // Later rows win over earlier ones with the same pid.
    // Taken by value: a caller that is done with its rows moves them in, and no row is copied twice.
    explicit ProcessTable(std::vector<Proc> procs);

    // Every process when pids is empty, else just those.
    static ProcessTable fromSystem(const std::vector<std::int64_t>& pids = {});
    // The tee's snapshot, after its walk up to the claude process: that process (with the command the walk
    // read, its owner unknown) and a row for its parent that carries only pid and command (ppid 0 ends every
    // walk there).
    static ProcessTable forClaude(const ProcessAncestry::Hop& claude);

    std::optional<Proc> get(std::optional<std::int64_t> pid) const;
    bool isAlive(std::optional<std::int64_t> pid) const;
    // Rows whose command is a Claude Code command line.
    std::vector<Proc> claudes() const;
    // The parent's row; none without a row, with a ppid of 0 or less, or when
    // the parent has no row.
    std::optional<Proc> parent(std::int64_t of) const;
    // The parent's pid when the parent is an interactive shell.
    std::optional<std::int64_t> parentShellPID(std::int64_t of) const;
    Shape classifyShape(std::int64_t pid) const;
    // The process part of a session's record for row, a Claude Code process of this table: its pid, when it
    // started (as text and as id) and how it sits under its shell. The caller adds the session and the rest.
    Record processRecord(const Proc& row) const;
    // The first Claude row on the way up from `from`, looking at no more than
    // maxHops rows (the first being `from`).
    std::optional<Proc> findClaude(std::int64_t from, int maxHops) const;
    // Whether pid still names the process whose start a document stored as pidStart and startID (see
    // ProcessStart::matches).
    bool isSameProcess(std::int64_t pid, std::string_view pidStart, std::string_view startID = {}) const;
    bool isClaudePID(std::int64_t pid, std::string_view pidStart, std::string_view startID = {}) const;

    bool operator==(const ProcessTable&) const = default;
};

}  // namespace tracker
