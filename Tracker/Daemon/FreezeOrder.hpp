#pragma once

#include <cstdint>
#include <optional>
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

// Whether the target's pid still belongs to the process the target names (its start id where both sides
// have one, else its start-time text) and to this program's user. No table: true; an empty start-time
// text: false.
bool verifyForSignal(const ProcessTable* table, const Target& target);

// Whether pid is a process of this program's real user (a row without an owner counts as one). No table:
// true.
bool isOwnProcess(const ProcessTable* table, std::int64_t pid);
// Why the shell of a target must not be continued (gone, another process with its pid, no longer an
// interactive shell, another user's), or none when it may be.
std::optional<std::string> shellThawRefusal(const ProcessTable* table, const Target& target);

// freezeOrder, after checking that a shell to be stopped still is claude's interactive-shell parent; when
// it is not, claude alone, with a warning saying why.
std::vector<std::int64_t> freezePIDs(const Target& target, ShellStopMode mode, const ProcessTable* table,
                                     const LogHook& log);

// Stops one target's processes after verifying claude's identity; one result per process tried.
std::vector<SignalResult> freezeTarget(Signaller& signaller, const Target& target, ShellStopMode mode,
                                       const ProcessTable* table, const LogHook& log);
// freezeTarget for many targets at once: every stop goes out through one stopAll, so the signaller may
// check them together. One list of results per target, in order.
std::vector<std::vector<SignalResult>> freezeTargets(Signaller& signaller, const std::vector<Target>& targets,
                                                     ShellStopMode mode, const ProcessTable* table, const LogHook& log);
// Continues one target's processes: claude only when its identity holds, the shell always.
std::vector<SignalResult> thawTarget(Signaller& signaller, const Target& target, ShellStopMode mode,
                                     const ProcessTable* table, const LogHook& log);

}  // namespace tracker
