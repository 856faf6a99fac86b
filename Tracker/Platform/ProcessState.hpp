#pragma once

#include <cstdint>
#include <optional>

#include "Core/Proc.hpp"

// The scheduler state of one process, straight from the kernel: what the stop check after SIGSTOP watches.
// Each platform folder implements it (/proc/<pid>/stat on Linux). Never fails: a process that is gone or
// unreadable is none.
namespace tracker::ProcessState {

std::optional<RunState> of(std::int64_t pid);

// Whether a SIGSTOP sent to the process is still waiting to be acted on; none when this cannot be read.
// Read before `of`, it tells a stop that has not happened yet from one that happened and was undone.
std::optional<bool> stopSignalPending(std::int64_t pid);

// Whether a state means stopped by a signal or a tracer.
inline bool isStopped(RunState state) {
    return state == RunState::stopped || state == RunState::traced;
}
// Whether a state means the process has exited.
inline bool isGone(RunState state) {
    return state == RunState::zombie || state == RunState::dead;
}

}  // namespace tracker::ProcessState
