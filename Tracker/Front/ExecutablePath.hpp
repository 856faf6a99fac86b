#pragma once

#include <string>

namespace tracker::Front {

// The absolute path of the running program, symbolic links resolved: the
// kernel's link for the process where there is one, else argv[0] resolved
// against the working directory or PATH. Empty when it cannot be found.
std::string executablePath(const char* argv0);

}  // namespace tracker::Front
