#include "Core/RandomNumber.hpp"

#include <sys/random.h>
#include <unistd.h>

#include <atomic>
#include <ctime>

namespace tracker {

std::uint32_t randomU32() {
    std::uint32_t value = 0;
    if (::getentropy(&value, sizeof value) == 0) return value;
    // No entropy source: the clock, the process and a counter still tell the names of one moment apart.
    static std::atomic<std::uint32_t> counter{0};
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint32_t>(now.tv_nsec) ^ (static_cast<std::uint32_t>(::getpid()) << 16) ^
           counter.fetch_add(0x9E3779B9u);
}

}  // namespace tracker
