#pragma once

#include <string>

#include "Core/StateDir.hpp"

namespace tracker {

// `tarnel-tee --hook`: Claude Code's hook command. Records from the hook document on standard input where
// the session stands in its turn (see SessionPhase) in the session's phase file, and at a safe point waits
// briefly while the daemon is about to hold the session, so that the hold lands there. It must never
// disturb Claude Code: it prints nothing (a hook's output can reach the model), every failure is a debug
// note, and the exit status is 0.
namespace HookRecorder {

// The longest a hook waits for the daemon to hold its session.
inline constexpr double maxHoldWait = 1.5;

// Reads the document, records the phase, waits when a hold is pending; never throws.
void run(const Environment& environment);

}  // namespace HookRecorder
}  // namespace tracker
