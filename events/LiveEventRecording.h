// Live event recording: every event becomes a Motion-JPEG clip of the
// annotated view, from a few seconds before its first frame with objects to
// its end, and a line in the event log once its clip is finished. Optional
// ("Event_Recording" in Tarvolen.json); off, it does nothing at all.
//
// The event rules are the scan tool's (events/EventRecorder): the frame loop
// hands over each annotated frame once, the recorder holds the frames whose
// fate is still open in a bounded, compressed buffer, and a worker thread
// decodes and writes the clips, so that the loop never waits for an encoder
// or the disk.
#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>
#include <deque>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "config/EventRecordingSettings.h"
#include "detector/Detector.h"
#include "events/ClipRecovery.h"
#include "events/CopiedClips.h"
#include "events/EventHooks.h"
#include "events/EventRecorder.h"
#include "events/RecordingHealth.h"
#include "events/Retention.h"
#include "events/Snapshot.h"
#include "events/VideoClipSink.h"
#include "platform/Lines.h"

namespace tarvolen {

// The bytes of the newest frames the pre-capture buffer holds uncompressed.
std::size_t preCaptureRawBytes(cv::Size frameSize);

// "event_" + day_month_year_hour_minute_second + ".avi" (or ".mp4").
std::string eventClipFileName(const std::tm& localTime, ClipFormat format = ClipFormat::Avi);

// The rate of the frame loop, measured once over its first frames.
class FrameRateMeter {
public:
    // Frames are counted from the second one on (the first pass also sets
    // up the windows and the detector) over at least `window`.
    explicit FrameRateMeter(std::chrono::steady_clock::duration window);
    // Notes a frame; returns the rate once it is known.
    std::optional<double> add(std::chrono::steady_clock::time_point frameTime);

private:
    std::chrono::steady_clock::duration window;
    std::int64_t frames = 0;
    std::chrono::steady_clock::time_point first;
};

// What became of each clip, reported by the clip writer's thread when the
// clip is finished: no failure when every frame reached the file, else the
// failure (one line naming the file), and for a copied clip what its log
// line adds.
class ClipOutcomes {
public:
    void report(const std::string& path, const std::string& failure);
    void report(const std::string& path, const CopiedClipOutcome& outcome);
    // The outcome for `path`, once; nothing while the clip is being written.
    std::optional<CopiedClipOutcome> take(const std::string& path);

private:
    std::mutex mutex;
    std::map<std::string, CopiedClipOutcome> outcomes;
};

// When a frame was read: wall time for names and the log, a steady clock
// for the frame rate.
struct FrameTime {
    FrameTime() = default;
    FrameTime(std::chrono::system_clock::time_point wallTime, std::chrono::steady_clock::time_point steadyTime)
        : wall(wallTime), steady(steadyTime) {}

    std::chrono::system_clock::time_point wall;
    std::chrono::steady_clock::time_point steady;
    // A stream's frame: its own presentation time (negative when it has
    // none) and when it arrived, which copied clips are matched on; the
    // steady time when it is not known.
    double mediaMs = -1;
    std::optional<std::chrono::steady_clock::time_point> arrival;
    static FrameTime now();
};

// Who else hears of each event, on the thread that adds the frames.
struct EventListener {
    // An event opened: its clip's path and eventStartJsonLine() of it.
    std::function<void(const std::string& clipPath, const std::string& startJson)> onStart;
    // Its clip is finished and its line logged: the line, without newline.
    std::function<void(const std::string& logLine, const std::string& clipPath)> onEnd;
};

class LiveEventRecording {
public:
    // The time a camera's rate is measured over before events are recorded.
    static constexpr std::chrono::seconds kRateWindow{2};

    // With settings.enabled, creates the folder and opens the log (when it
    // cannot, says so on one line and stays off). fileFps is a file source's
    // playback rate; 0 for a camera, whose rate is measured over the first
    // kRateWindow of frames (no event is recorded before it is known).
    // Without `sinks`, clips are written by media/ClipWriter in the format
    // the settings name. With the format "copy", clips are copied from the
    // packets of `copySources` instead, and frames are needed only for
    // snapshots (see wantsFrame()).
    LiveEventRecording(const EventRecordingSettings& settings, cv::Size frameSize, double fileFps,
                       std::ostream& messages, ClipSinkFactory sinks = ClipSinkFactory(),
                       CopySources copySources = CopySources());
    // Finishes an open event.
    ~LiveEventRecording();
    LiveEventRecording(const LiveEventRecording&) = delete;
    LiveEventRecording& operator=(const LiveEventRecording&) = delete;

    // One pass's annotated frame, before any label is drawn, and its
    // confirmed objects. Every pass calls this once, in order. When
    // wantsFrame() said no, `annotated` may be empty.
    void addFrame(const cv::Mat& annotated, const std::vector<ObjectTrack>& objects,
                  FrameTime when = FrameTime::now());
    // Whether the next frame's picture, with `objectCount` confirmed
    // objects, is needed: always for drawn clips; with copied clips only
    // when it may become the event's snapshot.
    bool wantsFrame(int objectCount) const;
    bool copiesPackets() const { return copying; }
    // Marks the live view with "EVENT" while an event is being recorded.
    void drawLabel(cv::Mat& view) const;
    // Ends an open event at the last frame, waits until every clip is
    // finished and logs them. Later frames are ignored.
    void finish();
    void setEventListener(EventListener listener) { eventListener = std::move(listener); }
    // Ends an open event at the last frame (the source went away, or its
    // frames change size) and logs it once its clip is finished; later
    // frames, of `frameSizeFromNow` when given, start afresh, with nothing
    // from before held for their pre-capture.
    void endEvent(cv::Size frameSizeFromNow = cv::Size());

    // The source as the hooks are told it (TARVOLEN_SOURCE): a URL's
    // password already shown as ***.
    void setSource(const std::string& shownSource) { source = shownSource; }

    bool on() const { return enabled; }
    bool recordingEvent() const { return recorder && recorder->eventOpen(); }
    // The rate clips are written and event times counted at; 0 until known.
    double clipFps() const { return fps; }
    std::int64_t framesSeen() const { return frames; }
    int eventsLogged() const { return logged; }
    std::size_t bufferPeakBytes() const { return recorder ? recorder->bufferPeakBytes() : 0; }
    RecordingHealth health() const {
        RecordingHealth now;
        if (recorder) now.clipBacklogBytes = recorder->clipBacklogBytes();
        if (hooks) now.hooksDropped = hooks->dropped();
        if (retention) {
            now.retentionDeletedFiles = retention->deletedFiles();
            now.retentionDeletedBytes = retention->deletedBytes();
        }
        return now;
    }

private:
    bool prepareFolder();
    // Clips of an earlier run that was killed, logged as interrupted.
    void recoverInterruptedClips();
    bool appendToLog(const std::string& line);
    void startRecorder(double rate);
    std::string nameClip(const FrameInfo& first);
    // Logs the closed events whose clips are finished, in order; switches
    // off when a clip or the log could not be written.
    void logFinishedClips();
    // Says why on one line and records no more.
    void switchOff(const std::string& why);
    // Hooks, snapshots and retention, as the settings ask.
    void startExtras();
    void eventClosed(const EventRecord& record);
    // With a cap, a clip cut short by a full disk: when retention can
    // delete older clips, recording goes on with a fresh recorder.
    bool madeRoom(const std::string& why, const std::string& clipPath);
    // Runs on_event_end and lets retention have the clip.
    void eventLogged(const EventRecord& record, const std::string& line);

    EventRecordingSettings settings;
    ClipFormat clipFormat;
    cv::Size frameSize;
    std::ostream& messages;
    SharedLines lines{messages};  // the threads below speak through it too
    std::string source;
    std::shared_ptr<ClipOutcomes> clipOutcomes = std::make_shared<ClipOutcomes>();
    ClipSinkFactory sinks;
    bool enabled;
    double fps = 0;
    FrameRateMeter meter{kRateWindow};
    std::string logPath;
    std::mutex logMutex;  // the log is written by the loop and by the recovery of interrupted clips
    std::ofstream log;
    std::set<std::string> namesGiven;  // clips named but perhaps not yet created
    std::unique_ptr<EventRecorder> recorder;
    std::deque<EventRecord> closed;  // events whose clips are being finished
    std::int64_t frames = 0;
    int logged = 0;
    bool finished = false;
    EventListener eventListener;
    std::unique_ptr<Retention> retention;       // with max_folder_mb or max_age_days
    std::unique_ptr<SnapshotWriter> snapshots;  // with snapshot
    std::unique_ptr<EventHooks> hooks;          // with on_event_start or on_event_end
    std::string openClip;                       // the path of the clip named last
    bool copying;                               // format "copy"
    bool endingEvents = false;                  // in finish() or endEvent()
    bool cutsFile = false;                      // copied clips are cut from a file
    double lastMediaMs = -1;                    // the last frame's own time
    std::unique_ptr<CopiedClips> copier;        // with copying
    std::unique_ptr<ClipRecovery> recovery;     // clips a killed run left unlogged
};

}  // namespace tarvolen
