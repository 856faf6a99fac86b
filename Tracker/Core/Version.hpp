#pragma once

#include <string>

// The project's version, as CMake's project() sets it: the one place it is written down.
namespace tracker::Version {

// "0.1.0".
const char* text();
// "<program> 0.1.0" and a newline, as each program's --version prints it.
std::string line(const char* program);

}  // namespace tracker::Version
