#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Core/LogHook.hpp"
#include "Core/ProcessTable.hpp"
#include "Core/Records.hpp"
#include "Core/ShellStopMode.hpp"
#include "Core/Signaller.hpp"

// Which processes of one target a freeze stops and a thaw continues, in which order, and the identity checks
// before any signal.
namespace tracker {

// The pids a freeze stops, in order: the shell first and then claude for a shape-B target in shell-first
// mode with a shell pid above 0; claude alone otherwise.
std::vector<std::int64_t> freezeOrder(const Target& target, ShellStopMode mode);
// freezeOrder reversed, so a shell stopped first is continued last.
std::vector<std::int64_t> thawOrder(const Target& target, ShellStopMode mode);

// Whether pid still belongs to the process that started at pidStart. No table: true; empty pidStart: false.
bool verifyForSignal(const ProcessTable* table, std::int64_t pid, const std::string& pidStart);

// freezeOrder, after checking that a shell to be stopped still is claude's interactive-shell parent; when
// it is not, claude alone, with a warning saying why.
std::vector<std::int64_t> freezePIDs(const Target& target, ShellStopMode mode, const ProcessTable* table,
                                     const LogHook& log);

// Stops one target's processes after verifying claude's identity; one result per process tried.
std::vector<SignalResult> freezeTarget(Signaller& signaller, const Target& target, ShellStopMode mode,
                                       const ProcessTable* table, const LogHook& log);
// Continues one target's processes: claude only when its identity holds, the shell always.
std::vector<SignalResult> thawTarget(Signaller& signaller, const Target& target, ShellStopMode mode,
                                     const ProcessTable* table, const LogHook& log);

}  // namespace tracker
