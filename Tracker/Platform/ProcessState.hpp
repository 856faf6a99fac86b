#pragma once

#include <cstdint>
#include <optional>

// The scheduler state of one process, straight from the kernel: what the stop check after SIGSTOP watches.
// Each platform folder implements it (/proc/<pid>/stat on Linux). Never fails: a process that is gone or
// unreadable is none.
namespace tracker::ProcessState {

// The state letter as ps prints it first: 'R' running, 'S' sleeping, 'D' uninterruptible, 'T' stopped,
// 't' stopped by a tracer, 'Z' zombie, ...
std::optional<char> of(std::int64_t pid);

// Whether a SIGSTOP sent to the process is still waiting to be acted on; none when this cannot be read.
// Read before `of`, it tells a stop that has not happened yet from one that happened and was undone.
std::optional<bool> stopSignalPending(std::int64_t pid);

// Whether a state letter means stopped by a signal or a tracer.
inline bool isStopped(char state) {
    return state == 'T' || state == 't';
}
// Whether a state letter means the process has exited.
inline bool isGone(char state) {
    return state == 'Z' || state == 'X' || state == 'x';
}

}  // namespace tracker::ProcessState
