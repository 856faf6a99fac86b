#pragma once

#include <string>

namespace tracker::test {

// The folder the DebianPackage test has cpack write the package into.
const std::string& debianPackageDir();
// The newest tarnel_*.deb there; empty when there is none.
std::string debianPackage();

}  // namespace tracker::test
