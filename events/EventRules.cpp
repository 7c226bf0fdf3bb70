#include "events/EventRules.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "media/VideoSource.h"

namespace tarvolen {
namespace {

constexpr double kMaxFps = 1000.0;     // frames per second

std::int64_t framesFor(double seconds, double fps) {
    if (!std::isfinite(seconds) || seconds < 0.0 || seconds > kMaxEventSeconds)
        throw std::invalid_argument("event duration out of range");
    return std::llround(seconds * fps);
}

}  // namespace

double eventFrameRate(double reportedFps) {
    return frameRateWithin(reportedFps, 0.0, kMaxFps);
}

EventRules eventRulesFor(double fps, double preSeconds, double postSeconds, double minSeconds) {
    EventRules rules;
    rules.pre = framesFor(preSeconds, fps);
    rules.post = framesFor(postSeconds, fps);
    rules.minRun = std::max<std::int64_t>(1, framesFor(minSeconds, fps));
    return rules;
}

std::vector<EventSpan> batchEventSpans(const std::vector<bool>& active, const EventRules& rules) {
    const std::int64_t count = static_cast<std::int64_t>(active.size());
    const std::int64_t last = count - 1;
    std::vector<EventSpan> spans;
    for (std::int64_t a = 0; a < count;) {
        if (!active[a]) {
            ++a;
            continue;
        }
        std::int64_t b = a;
        while (b + 1 < count && active[b + 1]) ++b;
        if (b - a + 1 >= rules.minRun) {
            const EventSpan padded{std::max<std::int64_t>(0, a - rules.pre), std::min(last, b + rules.post)};
            // Runs come in order, so the padded spans are sorted by start.
            if (!spans.empty() && padded.start <= spans.back().end + 1) {
                spans.back().end = std::max(spans.back().end, padded.end);
            } else {
                spans.push_back(padded);
            }
        }
        a = b + 1;
    }
    return spans;
}

}  // namespace tarvolen
