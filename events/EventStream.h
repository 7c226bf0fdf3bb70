// The event rules applied while the frames arrive. Fed one frame's "has
// confirmed objects" flag at a time, the stream settles frames in order, each
// exactly once, as soon as its fate is known: in event k (with the event's
// first and last frame marked) or in no event. Its answers are exactly those
// of batchEventSpans() over the whole sequence, and no frame waits longer
// than about pre + minRun frames, so a consumer need only hold the frames not
// yet settled.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

#include "events/EventRules.h"

namespace tarvolen {

struct FrameVerdict {
    std::int64_t frame = 0;
    int event = 0;  // 1-based event number; 0: in no event
    bool first = false;
    bool last = false;
    bool operator==(const FrameVerdict& o) const {
        return frame == o.frame && event == o.event && first == o.first && last == o.last;
    }
};

class EventStream {
public:
    // maxEvents > 0 stops after that many events are complete: every later
    // frame is settled at once as in no event.
    explicit EventStream(EventRules rules, int maxEvents = 0);

    // Feeds the next frame's flag and appends the frames it settles to `out`.
    void push(bool active, std::vector<FrameVerdict>& out);
    // The stream ends after the last frame pushed: an event still open ends
    // there, an unfinished run shorter than minRun is dropped, and every
    // remaining frame is settled into `out`. Later pushes are ignored.
    void finish(std::vector<FrameVerdict>& out);

    const EventRules& rules() const { return eventRules; }
    std::int64_t framesPushed() const { return pushed; }
    std::int64_t framesSettled() const { return settled; }
    // Length of the run of active frames that ends at the last frame pushed.
    std::int64_t currentRunLength() const { return runStart < 0 ? 0 : pushed - runStart; }
    int eventsStarted() const { return started; }
    int eventsCompleted() const { return completed; }
    // True once maxEvents events are complete.
    bool done() const { return maxEvents > 0 && completed >= maxEvents; }
    // Upper bound of framesPushed() - framesSettled() after any push.
    std::int64_t maxLag() const { return eventRules.pre + eventRules.minRun + 1; }

private:
    // Frames covered by kept runs, merged; `open` while the latest run is
    // still going (its end is then not known yet).
    struct Coverage {
        std::int64_t start;
        std::int64_t end;
        bool open;
    };
    enum class Fate { Unknown, NoEvent, InEvent };

    void keepCurrentRun();
    void endCurrentRun(std::int64_t lastActive);
    // Whether every run that starts at or before `frame` is known, and
    // decided on (kept, or ended too short).
    bool runsDecidedUpTo(std::int64_t frame) const;
    Fate fateOfNext(bool& isLast) const;
    void settle(std::vector<FrameVerdict>& out);

    EventRules eventRules;
    int maxEvents;
    std::int64_t pushed = 0;
    std::int64_t settled = 0;
    std::int64_t runStart = -1;  // first frame of the active run ending at the last push; -1: none
    bool finished = false;
    int started = 0;
    int completed = 0;
    std::deque<Coverage> coverage;
};

}  // namespace tarvolen
