#pragma once

#include <cstdint>

namespace tracker {

// A fresh random 32-bit number for names that must not collide (temporary files), from a generator seeded
// once per thread by the system's entropy source. Not for secrets.
std::uint32_t randomU32();

}  // namespace tracker
