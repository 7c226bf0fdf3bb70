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
    // Clips: "avi" (Motion-JPEG) or "mp4" (H.264) of the annotated frames, or
    // "copy": the source's own packets (a stream or a file only).
    std::string format = "avi";
    // Hooks: shell commands run when an event opens and once it is logged;
    // empty runs nothing.
    std::string onEventStart{};
    std::string onEventEnd{};
    double hookTimeoutSeconds = 30.0;  // a hook still running then is killed
    bool snapshot = false;             // a JPEG of each event's busiest frame beside its clip
    double maxFolderMb = 0.0;          // retention: clips and snapshots at most this big; 0 = no cap
    double maxAgeDays = 0.0;           // retention: none older than this; 0 = no limit
    // At start, clips in the folder the log does not name (a run killed
    // mid-event) are made playable and logged as interrupted. Not a key: the
    // watcher, which runs unattended, asks for it.
    bool recoverUnloggedClips = false;
};

// Accepted ranges, in seconds.
constexpr double kMaxPreSeconds = 30.0;
constexpr double kMaxPostSeconds = 300.0;
constexpr double kMaxMinEventSeconds = 86400.0;  // a day
constexpr double kMaxHookTimeoutSeconds = 3600.0;
constexpr double kMaxFolderMb = 100000000.0;  // 100 TB
constexpr double kMaxAgeDays = 36500.0;       // a century

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
