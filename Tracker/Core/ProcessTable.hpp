#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Core/CommandLine.hpp"
#include "Core/Records.hpp"

namespace tracker {

// One row of the process list, with the eight columns ps prints.
struct Proc {
    std::int64_t pid = 0;
    std::int64_t ppid = 0;
    std::int64_t pgid = 0;
    // Foreground process group of the controlling terminal.
    std::int64_t tpgid = 0;
    // State letters as ps prints them ("Ss+", "T", ...).
    std::string stat;
    // Terminal name as ps prints it ("pts/3", "?").
    std::string tty;
    // Start time, 24 characters ("Mon Dec  7 06:02:59 2026"); empty when
    // unknown. Together with pid it names a process across pid reuse.
    std::string lstart;
    std::string command;
    // What names the process across pid reuse whatever the time zone or a stepped clock: the boot id and
    // the start time in clock ticks since boot ("<boot id>:<ticks>"); empty where the system does not tell.
    std::string startID{};
    // The real user id; -1 where the system does not tell (rows parsed from ps output).
    std::int64_t uid = -1;

    bool stopped() const { return !stat.empty() && stat.front() == 'T'; }
    bool hasTTY() const { return !(tty.empty() || tty == "?" || tty == "??" || tty == "-"); }

    bool operator==(const Proc&) const = default;
};

// An immutable snapshot of the process list and the questions both programs
// ask of it. Taking a snapshot never fails: problems give fewer rows.
class ProcessTable {
public:
    // The -o argument of every ps run; the "=" suppress the header line.
    static constexpr std::string_view columns = "pid=,ppid=,pgid=,tpgid=,stat=,tty=,lstart=,command=";

    // At most one row per pid.
    std::map<std::int64_t, Proc> byPID;

    ProcessTable() = default;
    // Later rows win over earlier ones with the same pid.
    explicit ProcessTable(const std::vector<Proc>& procs);

    // Parses ps output in the column order above (lstart left out when
    // includesLStart is false); lines that do not parse are skipped.
    static ProcessTable fromPSOutput(std::string_view psOutput, bool includesLStart);
    // Every process when pids is empty, else just those.
    static ProcessTable fromSystem(const std::vector<std::int64_t>& pids = {});
    // The tee's snapshot: the claude process and a row for its parent that
    // carries only pid and command (ppid 0 ends every walk there).
    static ProcessTable forClaude(std::int64_t pid);

    // One line of ps output as a row, or none.
    static std::optional<Proc> parsePSLine(std::string_view line, bool includesLStart);
    // Splits at runs of blanks and tabs into at most max fields, the last one
    // holding the rest of the line with its inner blanks.
    static std::vector<std::string_view> splitFields(std::string_view line, int max);

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
    // The first Claude row on the way up from `from`, looking at no more than
    // maxHops rows (the first being `from`).
    std::optional<Proc> findClaude(std::int64_t from, int maxHops) const;
    // Whether pid still names the process that started at pidStart: on the start ids when both the row and
    // startID have one, else on the start-time texts (compared trimmed; a blank pidStart never matches).
    bool isSameProcess(std::int64_t pid, std::string_view pidStart, std::string_view startID = {}) const;
    bool isClaudePID(std::int64_t pid, std::string_view pidStart, std::string_view startID = {}) const;

    bool operator==(const ProcessTable&) const = default;
};

}  // namespace tracker
