// The optional "Event_Recording" object of Tarvolen.json: the live program
// records a clip of every event by itself, with a few seconds before and
// after the motion, and logs each event.
#pragma once

#include <string>
#include <string_view>

namespace tarvolen {

struct EventRecordingSettings {
    bool enabled = false;
    std::string folder;                // clips and log go here; created if missing
    double preSeconds = 2.0;           // kept before the first active frame
    double postSeconds = 5.0;          // an event ends after this long without objects
    double minEventSeconds = 0.0;      // shorter runs of activity make no event
    std::string log = "events.jsonl";  // a file name in `folder`
    std::string format = "avi";        // clips: "avi" (Motion-JPEG) or "mp4" (H.264)
};

// Accepted ranges, in seconds.
constexpr double kMaxPreSeconds = 30.0;
constexpr double kMaxPostSeconds = 300.0;
constexpr double kMaxMinEventSeconds = 86400.0;  // a day

// Reads the "Event_Recording" object of a configuration document. Without
// one, `settings` keeps its defaults (disabled). Returns the problem as one
// line naming the key ("Tarvolen.json: Event_Recording.pre_seconds must be a
// number from 0 to 30 (got 45)"), or an empty string when the object is
// absent or well formed. The object is checked in full even when it says
// "enabled": false. `settings` is changed only when no problem was found.
std::string parseEventRecordingSettings(std::string_view configText, EventRecordingSettings& settings);

// The same for the configuration file `fileName`.
std::string readEventRecordingSettings(const std::string& fileName, EventRecordingSettings& settings);

}  // namespace tarvolen
