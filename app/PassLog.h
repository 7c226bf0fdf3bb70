// An opt-in diagnostic for measuring the frame loop. With the environment
// variable TARVOLEN_PASS_LOG naming a file, the loop appends one line to it
// at the end of every pass: the time, in microseconds of a steady clock. The
// gaps between lines are the passes. Unset, nothing is written.
#pragma once

#include <chrono>
#include <cstdio>

namespace tarvolen {

class PassLog {
public:
    static constexpr const char* kVariable = "TARVOLEN_PASS_LOG";

    // Opens the file named by the environment variable, if it is set.
    PassLog();
    ~PassLog();
    PassLog(const PassLog&) = delete;
    PassLog& operator=(const PassLog&) = delete;

    bool enabled() const { return file != nullptr; }
    void mark(std::chrono::steady_clock::time_point passEnd);

private:
    std::FILE* file = nullptr;
};

}  // namespace tarvolen
