#pragma once

#include <string>

#include "Core/StateDir.hpp"

namespace tracker::Front {

// What every subcommand gets from the program entry.
struct Invocation {
    // argv[0], to find the programs installed beside this one.
    std::string argv0;
    Environment environment;
};

}  // namespace tracker::Front
