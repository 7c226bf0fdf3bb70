#include "watch/WatchStatus.h"

#include <cmath>

#include <nlohmann/json.hpp>

#include "events/EventJson.h"

namespace tarvolen {

const char* const kWatchVersion = TARVOLEN_VERSION;

namespace {

using json = nlohmann::ordered_json;

constexpr double kFpsResolution = 100.0;     // rates are shown to 1/100 frame per second
constexpr double kSecondsResolution = 10.0;  // outages to 1/10 s

double rounded(double value, double resolution) { return std::round(value * resolution) / resolution; }

json isoOrNull(const std::optional<WatchStatus::WallTime>& time) {
    return time ? json(isoLocalTime(*time)) : json(nullptr);
}

}  // namespace

const char* sourceStateName(SourceState state) {
    switch (state) {
        case SourceState::Starting:
            return "starting";
        case SourceState::Up:
            return "up";
        case SourceState::Lost:
            return "lost";
    }
    return "starting";
}

std::string statusJson(const WatchStatus& s, WatchStatus::WallTime updated) {
    json out;
    out["source"] = s.source;
    out["state"] = sourceStateName(s.state);
    out["state_since"] = isoLocalTime(s.stateSince);
    out["last_outage_seconds"] =
        s.lastOutageSeconds ? json(rounded(*s.lastOutageSeconds, kSecondsResolution)) : json(nullptr);
    out["frames_read"] = s.framesRead;
    out["fps"] = rounded(s.fps, kFpsResolution);
    out["last_frame_time"] = isoOrNull(s.lastFrameTime);
    out["events"] = s.events;
    out["open_event"] = s.openEvent
                            ? json{{"start", s.openEvent->start}, {"peak_objects", s.openEvent->peakObjects}}
                            : json(nullptr);
    out["folder_bytes"] = s.folderBytes;
    out["folder_cap_bytes"] = s.folderCapBytes;
    out["updated"] = isoLocalTime(updated);
    out["version"] = kWatchVersion;
    return out.dump(-1, ' ', false, json::error_handler_t::replace);
}

void setSourceState(WatchStatus& status, SourceState state, WatchStatus::WallTime now) {
    if (state == SourceState::Lost && status.state != SourceState::Lost) ++status.health.sourceOutages;
    status.state = state;
    status.stateSince = now;
}

double FrameRateWindow::add(Clock::time_point frameTime) {
    times.push_back(frameTime);
    while (times.size() > 2 && frameTime - times.front() > span) times.pop_front();
    if (times.size() < 2) return 0;
    const double seconds = std::chrono::duration<double>(times.back() - times.front()).count();
    return seconds > 0 ? static_cast<double>(times.size() - 1) / seconds : 0;
}

}  // namespace tarvolen
