#pragma once

#include <cstdint>
#include <string>

namespace tracker {

// What this process holds, kept where a handler of a real fault (SIGSEGV, an abort of its own) can reach it
// with async-signal-safe calls alone: the pid, and the file whose "0" unfreezes its group. A fault then lets
// every session go before the daemon dies; the next daemon tidies up what is left.
namespace EmergencyRelease {

// pid is held: through the freezer when releaseFile names its group's freeze file, by SIGSTOP when empty.
void held(std::int64_t pid, const std::string& releaseFile);
// pid is no longer held.
void released(std::int64_t pid);
// Lets go of everything held: writes "0" to each freeze file and sends SIGCONT to each pid. Async-signal-safe;
// how many pids.
int releaseAll() noexcept;

}  // namespace EmergencyRelease

}  // namespace tracker
