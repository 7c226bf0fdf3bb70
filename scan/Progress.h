// The progress line on standard error: one line redrawn in place.
#pragma once

#include <chrono>
#include <cstdint>
#include <ostream>
#include <string>

namespace tarvolen {

struct ProgressState {
    std::int64_t frame = 0;  // frames done
    std::int64_t total = 0;  // frames in the file; 0 when not known
    double elapsedSeconds = 0;
    int events = 0;
};

// "[#####-----]  50%  400/800  312.0 fps  0:01 left  3 events"; without a
// total, "400 frames  312.0 fps  3 events".
std::string progressLine(const ProgressState& state);

class ProgressReporter {
public:
    ProgressReporter(std::ostream& out, bool enabled);
    // Redraws the line, at most a few times a second.
    void update(const ProgressState& state);
    // Clears the line.
    void clear();

private:
    void draw(const std::string& line);

    std::ostream& out;
    bool enabled;
    std::chrono::steady_clock::time_point lastDrawn{};
    std::size_t shownWidth = 0;
};

}  // namespace tarvolen
