// The watcher's frame loop: each frame through the detection step, annotated
// as the live program annotates it, into live event recording; the source's
// state (starting, up, lost) kept on the status board.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "config/EventRecordingSettings.h"
#include "detector/Detector.h"
#include "events/DetectionStep.h"
#include "events/LiveEventRecording.h"
#include "media/FrameReader.h"
#include "roi/RegionFile.h"
#include "roi/RoiSelection.h"
#include "watch/WatchStatus.h"

namespace tarvolen {

struct WatchRun {
    std::string source;  // as shown: a URL's secrets hidden
    bool fileSource = false;
    double fileFps = 0;  // a file's playback rate; 0 for a live source
    cv::Size frameSize;
    EventRecordingSettings events;
    CopySources copy;  // with copied clips: where their packets come from
    DetectionSettings detection;
    // In the pixels of frames of `frameSize`; none: the whole frame. Frames
    // of another size later have it scaled to them.
    PolygonRegions region;
};

// What the rest of the program hears of, on the loop's thread. Each may be
// empty; each must be quick.
struct WatchObservers {
    // Every annotated frame, as its clip gets it (the web view).
    std::function<void(const cv::Mat& annotated)> onFrame;
    // Whether anyone wants annotated frames now (a web view's viewer);
    // frames nobody else needs are drawn only then.
    std::function<bool()> wantsFrames;
    std::function<void(const std::string& startJson)> onEventStart;
    std::function<void(const std::string& logLine, const std::string& clipPath)> onEventEnd;
    // The source's state changed (the status file is written at once).
    std::function<void()> onStateChange;
    // Once a pass, frame or not: lines from other threads are printed here.
    std::function<void()> onPass;
};

enum class WatchEnd {
    SourceEnded,  // a file played to its end
    Quit,         // a quit signal
    SourceLost,   // a live source stopped delivering frames
};

class WatchLoop {
public:
    // Longest wait for a frame before the quit request is looked at again.
    static constexpr std::chrono::milliseconds kFrameWait{10};
    // Frames per second are measured over this much of the newest frames.
    static constexpr std::chrono::seconds kRateWindow{5};

    // Starts event recording; `messages` gets its lines and the loop's.
    WatchLoop(const WatchRun& run, Detector& detector, WatchStatusBoard& board, WatchObservers observers,
              std::ostream& messages);
    ~WatchLoop();
    WatchLoop(const WatchLoop&) = delete;
    WatchLoop& operator=(const WatchLoop&) = delete;

    // False when event recording could not start (its folder or log cannot
    // be written; the line saying so is out).
    bool recording() const { return events && events->on(); }

    // Processes `first` when given, then reads and processes frames until
    // the source ends or `quit` says so. A live source that is lost is said
    // lost and, once back, said back; the reader reopens it meanwhile.
    WatchEnd run(FrameReader& reader, const std::function<bool()>& quit,
                 std::optional<DecodedFrame> first = std::nullopt);
    // Detects, annotates and records one frame; `frame.picture` is
    // annotated when it is in colour (a gray picture of the decoder's luma
    // plane is left as it is, its colour picture annotated).
    void processFrame(DecodedFrame& frame);

    // The source stopped delivering: says so once, finishes the open event's
    // clip and its log line, and marks the source lost.
    void onSourceLost();
    // Frames come again after `outage`: says so, starts the detector afresh
    // (the drop itself must not look like motion) and records on, in clips
    // of the new size when it changed.
    void onSourceBack(std::chrono::duration<double> outage, cv::Size size);

    // Finishes the open event: its clip and its log line.
    void finish();

    int eventsLogged() const { return eventsBefore + (events ? events->eventsLogged() : 0); }
    std::int64_t framesRead() const { return frames; }

private:
    void startRecording();
    void followRegion(cv::Size size);
    bool drawsOn(int objectCount) const;
    void annotate(cv::Mat& picture, const std::vector<ObjectTrack>& objects, int processingMs) const;
    FrameTime timeOf(const DecodedFrame& frame);
    FrameTime fileTimeOf(const DecodedFrame& frame);
    void noteFrame(const FrameTime& when, const std::vector<ObjectTrack>& objects);
    void noteHealth(const FrameReader& reader);
    void changeState(SourceState state, std::optional<double> outageSeconds = std::nullopt);
    void eventStarted(const std::string& startJson);
    void eventEnded(const std::string& logLine, const std::string& clipPath);

    WatchRun setup;
    Detector& detector;
    WatchStatusBoard& board;
    WatchObservers observers;
    std::ostream& messages;
    std::unique_ptr<LiveEventRecording> events;
    int eventsBefore = 0;  // logged by recordings of earlier frame sizes
    RecordingHealth healthBefore;  // counted by those recordings
    DetectionStep step;
    const cv::Size regionSize;  // the frame size the region's polygons are in
    cv::Mat regionArea;         // the region at the present frame size; empty without one
    RegionOutline outline;      // of regionArea
    RoiSelection noRegion;      // drawn as the live program draws it without a selection
    FrameRateWindow rate{kRateWindow};
    std::int64_t frames = 0;
    SourceState state = SourceState::Starting;
    // A file's frames are timed by their place in it, from the first one's
    // wall time: a file played at its rate and one played --fast name and
    // log the same moments.
    std::optional<FrameTime> fileStart;
    double fileStartMs = 0;
};

}  // namespace tarvolen
