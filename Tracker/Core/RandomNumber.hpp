#pragma once

#include <cstdint>

namespace tracker {

// A fresh random 32-bit number for names that must not collide (temporary files), straight from the system's
// entropy source (one system call, nothing to set up at start). Not for secrets.
std::uint32_t randomU32();

}  // namespace tracker
