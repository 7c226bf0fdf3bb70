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
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include "media/ReopenPauses.h"
#include "media/VideoInput.h"
#include "platform/BoundedQueue.h"

namespace tarvolen {

struct DecodedFrame {
    cv::Mat picture;
    // Set when `picture` holds the codes of the decoder's luma plane (see
    // FramePictures::Luma): their gray levels, and the frame's BGR made when
    // first asked.
    std::shared_ptr<const LumaFrame> luma;
    std::int64_t index = -1;  // in decode order, from 0, counting on across rewinds
    double positionMs = -1;   // the source's presentation time; negative when it gives none
    // When it arrived from the source: its packet's arrival where the input
    // knows it, else when it was read. The clock a camera's two streams are
    // matched on.
    std::chrono::steady_clock::time_point arrival;

    // The frame in 8-bit BGR, to draw on: `picture` itself when it is in
    // colour, else the luma frame's, which is let go of, so that the pixels
    // returned are the caller's alone once nobody else asked.
    cv::Mat takeBgr();
    // The gray level of each value of `picture` when it holds luma codes;
    // empty when it is gray or colour already.
    cv::Mat grayLevels() const { return luma ? luma->grayLevels() : cv::Mat(); }
};

// What a failed or empty read means. Each policy is a pair of steps in
// FrameReader: what to do before the next attempt and how long to pause
// first.
enum class EmptyReadPolicy {
    Loop,       // a file played round: rewind to frame index 1 and read again
    ToEnd,      // a file read once: a failed read ends the stream
    Retry,      // a camera: read again
    Reconnect,  // a camera or a stream: a source lost is reopened, for ever
};

struct FrameReaderSettings {
    using Clock = std::chrono::steady_clock;

    EmptyReadPolicy onEmptyRead = EmptyReadPolicy::ToEnd;
    // Frames decoded ahead of the caller.
    std::size_t queueFrames = 1;
    // When set, every frame is brought to CV_8UC3 of this size (a luma
    // picture of this size is left as it is); otherwise frames are delivered
    // as decoded.
    std::optional<cv::Size> conformTo;
    // Frames read as luma have their BGR made on the reading thread, ahead of
    // the caller: for a caller that draws on every frame.
    bool colourAhead = false;
    // Loop and Retry give a source up when nothing was read for this long.
    std::chrono::milliseconds stallTimeout{5000};
    // Between failed reads after the first, immediate, retry.
    std::chrono::milliseconds retryInterval{10};
    // Measures the stall timeout; tests pass one of their own.
    std::function<Clock::time_point()> clock = [] { return Clock::now(); };
    // Checked before every read: once true, the stream ends.
    std::function<bool()> stopRequested = [] { return false; };

    // Reconnect: makes a fresh input for the source; null, or an exception,
    // when it cannot be reached now.
    std::function<std::unique_ptr<VideoInput>()> reopen;
    // Reconnect: no frame for this long, on `clock`, and the source is lost.
    std::chrono::milliseconds sourceTimeout{10000};
    // Reconnect: the pauses between attempts to reopen grow 1, 2, 4 ... s up
    // to this.
    std::chrono::milliseconds reconnectMaxPause{30000};
    // Every pause of the decode thread (between failed reads, between
    // attempts to reopen). Empty: a real wait that stop() cuts short. Tests
    // pass one that moves their clock on instead.
    std::function<void(std::chrono::milliseconds)> wait;
};

// The three ways the front ends read today.
constexpr std::size_t kLiveFileQueueFrames = 2;  // a file plays every frame smoothly
constexpr std::size_t kCameraQueueFrames = 1;    // what is shown stays fresh
constexpr std::size_t kScanQueueFrames = 4;      // the scan runs at the slower side's speed
FrameReaderSettings liveFileReading(cv::Size frameSize);
FrameReaderSettings cameraReading(cv::Size frameSize);
FrameReaderSettings scanReading(std::function<bool()> stopRequested);
// A camera or a stream that is reopened when lost; frames are brought to
// `frameSize` until the first reopening, to the size of the first frame of
// each reopened source after it.
FrameReaderSettings reconnectingReading(cv::Size frameSize,
                                        std::function<std::unique_ptr<VideoInput>()> reopen,
                                        std::chrono::milliseconds sourceTimeout);

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
        // Reconnect only, each once per drop: the source is lost (no frame for
        // the source timeout, a read blocked that long, or the source failed;
        // also a source that could not be opened at start), and is being
        // reopened meanwhile; then it is back, before its first frame, whose
        // size may differ from before (see lastOutage()).
        SourceLost,
        SourceBack,
    };

    // The most memory the reading takes, in bytes per pixel of the frame
    // size, with `queueFrames` read ahead: those, the one being read and the
    // one the caller holds, and the decoder's own images.
    static std::size_t bufferBytesPerPixel(std::size_t queueFrames);

    // Starts reading `capture` (taken over) on the decode thread.
    FrameReader(cv::VideoCapture capture, FrameReaderSettings settings);
    // Starts reading `input` (taken over) on the decode thread. With
    // Reconnect `input` may be null (the source could not be opened): the
    // reader starts lost and opens it through settings.reopen.
    FrameReader(std::unique_ptr<VideoInput> input, FrameReaderSettings settings);
    // Stops the decode thread once its current read returns.
    ~FrameReader();
    FrameReader(const FrameReader&) = delete;
    FrameReader& operator=(const FrameReader&) = delete;

    // Waits up to `wait` for the next frame, in order. On Frame the picture
    // `frame` held before is handed back (see recycle) and `frame` holds the
    // new one; otherwise `frame` is left alone.
    Status next(DecodedFrame& frame, std::chrono::milliseconds wait);
    // Waits for the next frame however long it takes: Frame, Stalled or
    // Ended, and with Reconnect SourceLost and SourceBack.
    Status next(DecodedFrame& frame);
    // After SourceBack: how long the source gave no frame, from its last
    // frame (or the reader's start) to its first one again.
    FrameReaderSettings::Clock::duration lastOutage() const { return outage; }
    // Hands back a picture for a later frame to be decoded into: fresh images
    // cost page faults on every frame. One that anyone else still refers to
    // is dropped, never written into.
    void recycle(cv::Mat&& picture);
    // Ends reading early and waits for the decode thread.
    void stop();
    // Frames decoded and not yet taken by next(); any thread.
    std::size_t framesWaiting() const { return queue.size(); }
    // What is read; to be looked at only once stop() has returned, and not
    // with Reconnect, whose input comes and goes.
    const VideoInput& input() const { return *source; }

private:
    using Clock = FrameReaderSettings::Clock;
    enum class ReadResult { Read, GaveUp, Stopped };

    // What the decode thread hands over: a frame, or word of the source.
    struct Delivery {
        DecodedFrame frame;
        Status note = Status::Frame;  // Frame, SourceLost or SourceBack
        Clock::duration outage{};     // with SourceBack
    };

    Status deliver(std::optional<Delivery> taken, DecodedFrame& frame);
    Status statusWithoutFrame();
    void run();
    bool readAll();
    ReadResult readWithRetries(DecodedFrame& frame);
    bool readOnce(DecodedFrame& frame);
    bool conform(DecodedFrame& frame) const;
    void prepareRetry();
    std::chrono::milliseconds pauseBefore(int attempt) const;
    bool pause(std::chrono::milliseconds length);
    bool stopping() const;
    cv::Mat takeSpare();
    void finish(bool sourceFailed);

    // Reconnect.
    bool readReconnecting();
    ReadResult readConnected(DecodedFrame& frame);
    bool handOver(DecodedFrame&& frame);
    bool declareLost();
    bool lostMeanwhile() const;
    bool overdue(Clock::time_point now) const;
    bool declareLostIfOverdue();
    void closeSource();
    bool reconnect();
    std::unique_ptr<VideoInput> tryReopen() const;

    std::unique_ptr<VideoInput> source;  // swapped under `mutex` by the decode thread only
    const FrameReaderSettings settings;
    BoundedQueue<Delivery> queue;

    mutable std::mutex mutex;
    std::condition_variable stopChanged;
    bool stopCalled = false;
    std::vector<cv::Mat> spare;  // pictures handed back, decoded into again
    // Reconnect, under `mutex`.
    bool lost = false;            // said or to be said; cleared by the first frame again
    bool awaitingFrame = false;   // the decode thread is reading (not handing over or reopening)
    Clock::time_point awaitingSince;  // when it began to wait for the present frame
    Clock::time_point lastFrameAt;    // when the last frame was read (or the reader started)

    std::atomic<bool> stalling{false};
    std::atomic<bool> gaveUp{false};  // Loop or Retry: the source failed for good
    std::int64_t decoded = 0;         // touched by the decode thread only
    std::optional<cv::Size> conformSize;  // decode thread only: settings.conformTo, then the reopened source's
    bool adoptFrameSize = false;          // decode thread only: the next frame's size becomes conformSize
    ReopenPauses reopenPauses;                 // decode thread only: before the next attempt to reopen
    Clock::duration outage{};             // the caller's
    std::thread thread;               // last: starts when everything above is ready
};

}  // namespace tarvolen
