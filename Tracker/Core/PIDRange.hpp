#pragma once

#include <cstdint>

// Which numbers may name a process in a call to the kernel. Records and state files carry pids as 64-bit
// numbers; only these ranges are handed on, so no cast can wrap a number into some other process.
namespace tracker::PIDRange {

inline constexpr std::int64_t largest = 2147483647;

// A process the kernel can name: 1 to 2^31-1.
inline bool fits(std::int64_t pid) {
    return pid >= 1 && pid <= largest;
}

// A process this system may stop or continue: as fits, less init (pid 1), which is never ours to signal.
inline bool signallable(std::int64_t pid) {
    return pid >= 2 && pid <= largest;
}

}  // namespace tracker::PIDRange
