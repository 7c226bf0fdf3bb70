// What a test needs from the machine: a sample clip, a tmpfs, an
// unprivileged user. Missing, the test is skipped on a developer's machine,
// but fails under CI=true, so that CI never passes without running it.
#pragma once

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

namespace tarvolen {

inline bool runningInCi() {
    const char* ci = std::getenv("CI");
    return ci != nullptr && std::string(ci) == "true";
}

}  // namespace tarvolen

// Ends the test when `available` is false: a failure under CI, else a skip.
#define TARVOLEN_REQUIRE(available, why)                                              \
    do {                                                                              \
        if (!(available)) {                                                           \
            if (::tarvolen::runningInCi()) FAIL() << "missing prerequisite: " << why; \
            GTEST_SKIP() << why;                                                      \
        }                                                                             \
    } while (false)
