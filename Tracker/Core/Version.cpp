#include "Core/Version.hpp"

#ifndef TARNEL_VERSION
#error "TARNEL_VERSION is set by the build (Tracker/CMakeLists.txt) from the project's version"
#endif

namespace tracker::Version {

const char* text() {
    return TARNEL_VERSION;
}

std::string line(const char* program) {
    return std::string(program) + " " + TARNEL_VERSION + "\n";
}

}  // namespace tracker::Version
