// Reading a video source on a thread of its own, a few frames ahead of the
// caller, so that the next frame is decoded while the current one is
// processed. The live program, the scan and the watcher all read through it.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include "media/VideoInput.h"
#include "platform/BoundedQueue.h"

namespace tarvolen {

struct DecodedFrame {
    cv::Mat picture;
    std::int64_t index = -1;  // in decode order, from 0, counting on across rewinds
    double positionMs = -1;   // the source's presentation time; negative when it gives none
};

// What a failed or empty read means. Each policy is a pair of steps in
// FrameReader: what to do before the next attempt and how long to pause
// first, so a source that must be reopened (a network stream, with growing
// pauses) needs one more case there and nothing else.
enum class EmptyReadPolicy {
    Loop,   // a file played round: rewind to frame index 1 and read again
    ToEnd,  // a file read once: a failed read ends the stream
    Retry,  // a camera: read again
};

struct FrameReaderSettings {
    using Clock = std::chrono::steady_clock;

    EmptyReadPolicy onEmptyRead = EmptyReadPolicy::ToEnd;
    // Frames decoded ahead of the caller.
    std::size_t queueFrames = 1;
    // When set, every frame is brought to CV_8UC3 of this size; otherwise
    // frames are delivered as decoded.
    std::optional<cv::Size> conformTo;
    // Loop and Retry give a source up when nothing was read for this long.
    std::chrono::milliseconds stallTimeout{5000};
    // Between failed reads after the first, immediate, retry.
    std::chrono::milliseconds retryInterval{10};
    // Measures the stall timeout; tests pass one of their own.
    std::function<Clock::time_point()> clock = [] { return Clock::now(); };
    // Checked before every read: once true, the stream ends.
    std::function<bool()> stopRequested = [] { return false; };
};

// The three ways the front ends read today.
constexpr std::size_t kLiveFileQueueFrames = 2;  // a file plays every frame smoothly
constexpr std::size_t kCameraQueueFrames = 1;    // what is shown stays fresh
constexpr std::size_t kScanQueueFrames = 4;      // the scan runs at the slower side's speed
FrameReaderSettings liveFileReading(cv::Size frameSize);
FrameReaderSettings cameraReading(cv::Size frameSize);
FrameReaderSettings scanReading(std::function<bool()> stopRequested);

// True when `picture` is the only reference to its pixels, so that they may
// be written again without anyone else seeing it happen.
bool solelyOwned(const cv::Mat& picture);

class FrameReader {
public:
    enum class Status {
        Frame,     // the next frame was delivered
        Waiting,   // not read yet
        Stalling,  // reads keep failing; the caller may poll keys meanwhile
        Stalled,   // Loop or Retry gave the source up: nothing for the stall timeout
        Ended,     // ToEnd: the stream is over (its end, a decode error, or a stop)
    };

    // The most memory the reading takes, in bytes per pixel of the frame
    // size, with `queueFrames` read ahead: those, the one being read and the
    // one the caller holds, and the decoder's own images.
    static std::size_t bufferBytesPerPixel(std::size_t queueFrames);

    // Starts reading `capture` (taken over) on the decode thread.
    FrameReader(cv::VideoCapture capture, FrameReaderSettings settings);
    // Starts reading `input` (taken over) on the decode thread.
    FrameReader(std::unique_ptr<VideoInput> input, FrameReaderSettings settings);
    // Stops the decode thread once its current read returns.
    ~FrameReader();
    FrameReader(const FrameReader&) = delete;
    FrameReader& operator=(const FrameReader&) = delete;

    // Waits up to `wait` for the next frame, in order. On Frame the picture
    // `frame` held before is handed back (see recycle) and `frame` holds the
    // new one; otherwise `frame` is left alone.
    Status next(DecodedFrame& frame, std::chrono::milliseconds wait);
    // Waits for the next frame however long it takes: Frame, Stalled or Ended.
    Status next(DecodedFrame& frame);
    // Hands back a picture for a later frame to be decoded into: fresh images
    // cost page faults on every frame. One that anyone else still refers to
    // is dropped, never written into.
    void recycle(cv::Mat&& picture);
    // Ends reading early and waits for the decode thread.
    void stop();
    // What is read; to be looked at only once stop() has returned.
    const VideoInput& input() const { return *source; }

private:
    enum class ReadResult { Read, GaveUp, Stopped };

    Status deliver(std::optional<DecodedFrame> taken, DecodedFrame& frame);
    Status statusWithoutFrame() const;
    void run();
    bool readAll();
    ReadResult readWithRetries(DecodedFrame& frame);
    bool readOnce(DecodedFrame& frame);
    bool conform(cv::Mat& picture) const;
    void prepareRetry();
    std::chrono::milliseconds pauseBefore(int attempt) const;
    bool pause(std::chrono::milliseconds length);
    bool stopping() const;
    cv::Mat takeSpare();
    void finish(bool sourceFailed);

    std::unique_ptr<VideoInput> source;
    const FrameReaderSettings settings;
    BoundedQueue<DecodedFrame> queue;

    mutable std::mutex mutex;
    std::condition_variable stopChanged;
    bool stopCalled = false;
    std::vector<cv::Mat> spare;  // pictures handed back, decoded into again

    std::atomic<bool> stalling{false};
    std::atomic<bool> gaveUp{false};  // Loop or Retry: the source failed for good
    std::int64_t decoded = 0;         // touched by the decode thread only
    std::thread thread;               // last: starts when everything above is ready
};

}  // namespace tarvolen
