#include "Core/RandomNumber.hpp"

#include <random>

namespace tracker {

std::uint32_t randomU32() {
    thread_local std::mt19937 generator{std::random_device{}()};
    return static_cast<std::uint32_t>(generator());
}

}  // namespace tracker
