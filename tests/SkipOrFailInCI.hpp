#pragma once

// Tests of the real world (a booted systemd machine, the shells a package serves) skip where this machine
// cannot run them, saying why. CI (CI=true) runs on a machine that can run them all, so there such a skip fails
// the run instead, naming the same reason.

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace tracker::test {

inline bool underCI() {
    const char* ci = std::getenv("CI");
    return ci && std::string(ci) == "true";
}

}  // namespace tracker::test

// Skips the current test with the reason, or fails it under CI; returns from the calling function either way.
#define SKIP_OR_FAIL_IN_CI(reason)                                                                         \
    do {                                                                                                   \
        if (::tracker::test::underCI()) GTEST_FAIL() << "CI=true, yet this cannot run here: " << (reason); \
        GTEST_SKIP() << (reason);                                                                          \
    } while (false)
