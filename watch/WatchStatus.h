// The watcher's state as monitoring sees it: what the status file holds and
// what the web view serves.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "events/RecordingHealth.h"

namespace tarvolen {

// The program's version, as --version and the status show it.
extern const char* const kWatchVersion;

enum class SourceState { Starting, Up, Lost };

const char* sourceStateName(SourceState state);  // "starting", "up", "lost"

struct OpenEventStatus {
    std::string start;    // local ISO 8601 time of the event's first frame
    int peakObjects = 0;  // the most confirmed objects in one frame so far
};

// Figures the metrics show beside the status file's, kept up to date by the
// loop.
struct WatchHealth {
    std::uint64_t sourceOutages = 0;  // times the source was lost
    std::size_t framesWaiting = 0;    // decoded frames the loop has not taken yet
    RecordingHealth recording;
};

struct WatchStatus {
    using WallTime = std::chrono::system_clock::time_point;

    std::string source;  // as shown: a URL's secrets hidden
    SourceState state = SourceState::Starting;
    WallTime stateSince;
    std::optional<double> lastOutageSeconds;
    std::int64_t framesRead = 0;
    double fps = 0;  // over the last few seconds
    std::optional<WallTime> lastFrameTime;
    int events = 0;  // logged so far
    std::optional<OpenEventStatus> openEvent;
    std::uint64_t folderBytes = 0;
    std::uint64_t folderCapBytes = 0;  // 0: no cap
    WatchHealth health;                // not in the status object
};

// The source's new state since `now`; each loss counts an outage.
void setSourceState(WatchStatus& status, SourceState state, WatchStatus::WallTime now);

// The status as one JSON object, every key present, in a fixed order:
// source, state, state_since, last_outage_seconds, frames_read, fps,
// last_frame_time, events, open_event, folder_bytes, folder_cap_bytes,
// updated, version.
std::string statusJson(const WatchStatus& status, WatchStatus::WallTime updated);

// Frames per second over a sliding window of the newest frames.
class FrameRateWindow {
public:
    using Clock = std::chrono::steady_clock;
    explicit FrameRateWindow(Clock::duration window) : span(window) {}
    // Notes a frame; returns the rate over the frames within the window
    // before it (0 until there are two).
    double add(Clock::time_point frameTime);

private:
    Clock::duration span;
    std::deque<Clock::time_point> times;
};

// The status shared between the loop, which changes it, and the threads
// that report it (the status file's, the web server's).
class WatchStatusBoard {
public:
    explicit WatchStatusBoard(WatchStatus initial) : status(std::move(initial)) {}
    void update(const std::function<void(WatchStatus&)>& change) {
        std::lock_guard<std::mutex> lock(mutex);
        change(status);
    }
    WatchStatus snapshot() const {
        std::lock_guard<std::mutex> lock(mutex);
        return status;
    }
    bool eventOpen() const {
        std::lock_guard<std::mutex> lock(mutex);
        return status.openEvent.has_value();
    }
    // statusJson() of the status now.
    std::string json() const { return statusJson(snapshot(), std::chrono::system_clock::now()); }

private:
    mutable std::mutex mutex;
    WatchStatus status;
};

}  // namespace tarvolen
