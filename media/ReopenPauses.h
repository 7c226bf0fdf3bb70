// How long a source that cannot be reached is left alone before the next
// attempt to open it: at once, then 1, 2, 4 ... s up to a most, so that a
// camera that is away for long is not hammered and one back soon is found
// soon. Shared by everything that reopens a lost source.
#pragma once

#include <algorithm>
#include <chrono>

namespace tarvolen {

class ReopenPauses {
public:
    static constexpr std::chrono::milliseconds kFirstPause{1000};

    explicit ReopenPauses(std::chrono::milliseconds longest) : most(longest) {}

    // The pause before the next attempt; each call doubles the next one.
    std::chrono::milliseconds next() {
        const std::chrono::milliseconds pause = upcoming;
        upcoming = std::min(upcoming.count() == 0 ? kFirstPause : upcoming * 2, most);
        return pause;
    }
    // The source delivered again: the next loss starts at once again.
    void reset() { upcoming = std::chrono::milliseconds(0); }

private:
    std::chrono::milliseconds most;
    std::chrono::milliseconds upcoming{0};
};

}  // namespace tarvolen
