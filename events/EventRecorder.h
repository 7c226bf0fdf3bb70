// Turns a stream of processed frames into events: keeps the frames whose fate
// is not yet known, writes every frame of an event once and in order into
// its own clip, drops frames in no event, and hands each closed event's
// record to its owner. Used by the scan tool and by live event recording;
// each supplies its own clip names and does its own logging.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "events/ClipChannel.h"
#include "events/EventStream.h"
#include "events/FrameBuffer.h"

namespace tarvolen {

// What is known of one processed frame.
struct FrameInfo {
    FrameInfo() = default;
    FrameInfo(std::int64_t frameIndex, double frameTimeMs, std::vector<cv::Rect> objectBoxes)
        : index(frameIndex), timeMs(frameTimeMs), objects(std::move(objectBoxes)) {}

    std::int64_t index = 0;         // 0, 1, ... in the order of addFrame() calls
    double timeMs = 0;              // presentation or capture time, milliseconds
    std::vector<cv::Rect> objects;  // confirmed object boxes; active when not empty
    // Live sources: the source's own presentation time (negative when it
    // gives none) and when the frame arrived from it, the clock its packets
    // are matched on when clips are copied from them.
    double mediaMs = -1;
    std::chrono::steady_clock::time_point arrival;
};

struct EventRecord {
    int number = 0;  // 1-based
    std::int64_t startFrame = 0;
    std::int64_t endFrame = 0;  // included
    double startMs = 0;
    double endMs = 0;
    std::int64_t activeFrames = 0;  // frames with confirmed objects
    int maxObjects = 0;
    cv::Rect bbox;  // union of every confirmed box in the event
    // The first frame with maxObjects objects, its boxes and its picture (when
    // one was given for it: see EventRecorder::wantsPeakPicture()).
    std::int64_t peakFrame = 0;
    double peakMs = 0;
    std::vector<cv::Rect> peakObjects;
    cv::Mat peakPicture;
    std::string clipPath;  // empty without clips
    // A clip cut from the source's own packets starts on a keyframe and so
    // has times of its own: its first and last frame's presentation times.
    std::optional<double> clipFirstMs;
    std::optional<double> clipLastMs;
    // A clip copied from a live source's packets: the wall time (ms since
    // the epoch) of its first frame, and which of the camera's streams it
    // was copied from when it has two ("record" or "detect").
    std::optional<double> clipStartWallMs;
    std::string clipStream;
    // A clip found at start that no log line named: its program ended
    // before the event did.
    bool interrupted = false;
};

struct EventRecorderSettings {
    EventRules rules;
    int maxEvents = 0;  // > 0: stop after that many events
    // Clips: frames of frameSize at clipFps. Off when clipFps is 0.
    cv::Size frameSize;
    double clipFps = 0;
    FrameBufferLimits buffer;                   // frames waiting for their fate
    std::size_t clipQueueBytes = 256ull << 20;  // frames waiting to be written
    // Clips written by someone else from what the recorder announces (copied
    // packets): each event is named all the same, with clipFps 0.
    bool nameWithoutClips = false;
};

class EventRecorder {
public:
    // Names the clip of an event from its number and first frame.
    using ClipNamer = std::function<std::string(int number, const FrameInfo& first)>;
    using RecordHandler = std::function<void(const EventRecord&)>;
    // Every frame of an event, in order, as it is settled into it (the
    // first one right after the event's clip was named).
    using EventFrameHandler = std::function<void(const FrameInfo&)>;

    // makeSink may be empty when settings.clipFps is 0 (no clips).
    EventRecorder(const EventRecorderSettings& settings, ClipSinkFactory makeSink, ClipNamer nameClip,
                  RecordHandler onEvent);

    bool writesClips() const { return clips != nullptr; }
    void onEventFrame(EventFrameHandler handler) { eventFrame = std::move(handler); }

    // Whether a picture of the next frame, which has objectCount confirmed
    // objects, could become an event's peak picture. Asking saves making a
    // picture for every frame.
    bool wantsPeakPicture(int objectCount) const;

    // Feeds the next frame. clipFrame (with clips) is what its clip will
    // show: the recorder keeps a reference to its pixels, so the caller must
    // not write into them afterwards. peakPicture may be empty.
    void addFrame(FrameInfo info, cv::Mat clipFrame, cv::Mat peakPicture = cv::Mat());

    // The end of the stream: settles every frame (an open event ends at the
    // last frame) and waits until every clip is finished. Call it once.
    void finish();

    // True after maxEvents events: later frames are dropped at once.
    bool done() const { return stream.done(); }
    // Between an event's first frame and its end.
    bool eventOpen() const { return open; }
    int eventsCompleted() const { return stream.eventsCompleted(); }
    std::int64_t framesAdded() const { return stream.framesPushed(); }
    // The first clip failure (one line naming the file), or empty.
    std::string clipFailure() const;
    // Bytes held for frames not yet settled, at most and now.
    std::size_t bufferPeakBytes() const;
    // The bytes of frames waiting for the clip writer (0 without clips).
    std::size_t clipBacklogBytes() const { return clips ? clips->queuedBytes() : 0; }

private:
    struct Pending {
        FrameInfo info;
        cv::Mat peakPicture;
    };

    void apply(const FrameVerdict& verdict);
    void startEvent(int number, const Pending& first);
    void addToEvent(const Pending& frame);

    EventStream stream;
    ClipNamer nameClip;
    RecordHandler onEvent;
    EventFrameHandler eventFrame;
    bool nameWithoutClips;
    cv::Size frameSize;
    double clipFps;
    std::unique_ptr<FrameBuffer> buffer;  // with clips only
    std::unique_ptr<ClipChannel> clips;   // with clips only
    std::deque<Pending> pending;
    std::vector<FrameVerdict> verdicts;
    EventRecord current;
    bool open = false;
    int previousObjects = 0;
    bool finished = false;
};

}  // namespace tarvolen
