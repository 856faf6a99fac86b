#pragma once

#include <string>

namespace tracker {

// The single-instance lock of a state directory ("daemon.lock"): one daemon per directory. The lock is
// held for as long as the process lives; its file holds the holder's pid.
namespace InstanceLock {

// Either the open, exclusively locked file, or why there is none.
struct Outcome {
    int fd = -1;
    std::string refusal;
    bool held() const { return fd >= 0; }
};

// Takes the lock at path without waiting. The file is made 0600 and never opened through a symbolic link, a
// FIFO or a file of another user: it is truncated, and a planted link would aim that at a file of the user's.
Outcome acquire(const std::string& path);

}  // namespace InstanceLock

}  // namespace tracker
