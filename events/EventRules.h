// What counts as an event: runs of frames with confirmed objects, padded
// before and after and merged when they touch. Frames are numbered 0, 1, ...
// in the order they arrive.
#pragma once

#include <cstdint>
#include <vector>

namespace tarvolen {

// The rules in frames.
struct EventRules {
    std::int64_t pre = 0;     // frames kept before a run's first active frame
    std::int64_t post = 0;    // frames kept after a run's last active frame
    std::int64_t minRun = 1;  // a run of fewer active frames is not an event by itself
};

// One event: frames start..end, both included.
struct EventSpan {
    std::int64_t start = 0;
    std::int64_t end = 0;
    bool operator==(const EventSpan& o) const { return start == o.start && end == o.end; }
};

// The rate event times are counted in: the file's reported rate when it is
// finite and in (0, 1000], else 30 frames per second.
double eventFrameRate(double reportedFps);

// pre = lround(preSeconds * fps), post = lround(postSeconds * fps),
// minRun = max(1, lround(minSeconds * fps)). The seconds must be finite,
// not negative and at most kMaxEventSeconds.
EventRules eventRulesFor(double fps, double preSeconds, double postSeconds, double minSeconds);

// Upper limit of every duration given to eventRulesFor(), in seconds (a day).
constexpr double kMaxEventSeconds = 86400.0;

// The reference definition, over a whole sequence of per-frame flags:
// 1. every maximal run [a, b] of active frames with b - a + 1 >= minRun;
// 2. each becomes [max(0, a - pre), min(last, b + post)];
// 3. spans sorted by start merge while the next starts at or before the
//    current end + 1.
std::vector<EventSpan> batchEventSpans(const std::vector<bool>& active, const EventRules& rules);

}  // namespace tarvolen
