#include "events/EventStream.h"

#include <algorithm>

namespace tarvolen {

EventStream::EventStream(EventRules rules, int limit) : eventRules(rules), maxEvents(limit) {}

void EventStream::push(bool active, std::vector<FrameVerdict>& out) {
    if (finished) return;
    const std::int64_t index = pushed++;
    if (!done()) {
        if (active) {
            if (runStart < 0) runStart = index;
            if (index - runStart + 1 == eventRules.minRun) keepCurrentRun();
        } else if (runStart >= 0) {
            endCurrentRun(index - 1);
        }
    }
    settle(out);
}

void EventStream::finish(std::vector<FrameVerdict>& out) {
    if (finished) return;
    if (runStart >= 0 && !done()) endCurrentRun(pushed - 1);
    runStart = -1;
    finished = true;
    const std::int64_t last = pushed - 1;
    for (Coverage& c : coverage) c.end = std::min(c.end, last);
    settle(out);
}

void EventStream::keepCurrentRun() {
    const std::int64_t start = std::max<std::int64_t>(0, runStart - eventRules.pre);
    if (!coverage.empty() && start <= coverage.back().end + 1) {
        coverage.back().open = true;  // touches the previous event: one event
    } else {
        coverage.push_back(Coverage{start, 0, true});
    }
}

void EventStream::endCurrentRun(std::int64_t lastActive) {
    if (lastActive - runStart + 1 >= eventRules.minRun) {
        coverage.back().end = lastActive + eventRules.post;
        coverage.back().open = false;
    }
    runStart = -1;
}

bool EventStream::runsDecidedUpTo(std::int64_t frame) const {
    if (finished) return true;
    // A run starting at or before `frame` may still be unseen, or may be the
    // current run, still too short to be kept (a kept one is in `coverage`).
    if (pushed - 1 < frame) return false;
    return runStart < 0 || runStart > frame || pushed - runStart >= eventRules.minRun;
}

EventStream::Fate EventStream::fateOfNext(bool& isLast) const {
    const std::int64_t j = settled;
    isLast = false;
    if (coverage.empty() || coverage.front().start > j) {
        // Only a run starting by j + pre could still reach back to j.
        return runsDecidedUpTo(j + eventRules.pre) ? Fate::NoEvent : Fate::Unknown;
    }
    const Coverage& c = coverage.front();
    // Before the end, j is not the last frame of its event once a frame
    // after it exists: the stream may end at any frame.
    const bool followed = finished || j < pushed - 1;
    if (c.open || j < c.end) return followed ? Fate::InEvent : Fate::Unknown;
    // j is the end unless a run reaching back to j + 1 follows.
    if (!runsDecidedUpTo(j + 1 + eventRules.pre)) return Fate::Unknown;
    isLast = true;
    return Fate::InEvent;
}

void EventStream::settle(std::vector<FrameVerdict>& out) {
    while (settled < pushed) {
        FrameVerdict verdict{settled, 0, false, false};
        if (!done()) {
            bool isLast = false;
            const Fate fate = fateOfNext(isLast);
            if (fate == Fate::Unknown) break;
            if (fate == Fate::InEvent) {
                verdict.first = settled == coverage.front().start;
                if (verdict.first) ++started;
                verdict.event = started;
                verdict.last = isLast;
                if (isLast) {
                    coverage.pop_front();
                    ++completed;
                }
            }
        }
        out.push_back(verdict);
        ++settled;
    }
    if (done()) {
        coverage.clear();
        runStart = -1;
    }
}

}  // namespace tarvolen
