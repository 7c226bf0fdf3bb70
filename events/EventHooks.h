// The Event_Recording hooks of live event recording: on_event_start when an
// event opens, on_event_end once its clip is finished and its log line
// written. What they are told reaches them in environment variables only:
//   TARVOLEN_EVENT     the log line (for a start: file, start, start_frame)
//   TARVOLEN_CLIP      the clip's absolute path
//   TARVOLEN_SNAPSHOT  the snapshot's absolute path; empty without one
//   TARVOLEN_SOURCE    the video source, a URL's password shown as ***
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "config/EventRecordingSettings.h"
#include "platform/HookRunner.h"

namespace tarvolen {

class EventHooks {
public:
    static constexpr const char* kStartHook = "on_event_start";
    static constexpr const char* kEndHook = "on_event_end";

    // Nothing is run for a hook whose command is empty.
    EventHooks(const EventRecordingSettings& settings, LineSink say);

    // Whether the settings name any hook at all.
    static bool wanted(const EventRecordingSettings& settings);

    void eventStarted(const std::string& source, const std::string& clipPath, const std::string& startJson);
    void eventEnded(const std::string& source, const std::string& clipPath, const std::string& snapshotPath,
                    const std::string& logLine);

    // Hooks not run because too many were waiting.
    std::uint64_t dropped() const { return runner.dropped(); }

private:
    std::string onStart;
    std::string onEnd;
    HookRunner runner;
};

}  // namespace tarvolen
