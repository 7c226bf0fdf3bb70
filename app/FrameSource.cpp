#include "app/FrameSource.h"

#include <exception>
#include <utility>

#include "media/FrameInput.h"

namespace tarvolen {
namespace {

using Clock = std::chrono::steady_clock;

// Between failed reads after the first, immediate, retry.
constexpr auto kRetryInterval = std::chrono::milliseconds(10);
constexpr double kRewindFrameIndex = 1.0;  // frame index 0 is shown only once
constexpr std::size_t kColourBytesPerPixel = 3;
// The decoder's own images: its decoded picture (up to 3 bytes per pixel for
// full-resolution chroma) and the BGR image OpenCV converts it into.
constexpr std::size_t kDecoderBytesPerPixel = 6;
// Buffers besides the queue: the one being read and the one the loop holds.
constexpr std::size_t kBuffersOutsideQueue = 2;

}  // namespace

std::size_t FrameSource::bufferBytesPerPixel() {
    return (kFileQueueFrames + kBuffersOutsideQueue) * kColourBytesPerPixel + kDecoderBytesPerPixel;
}

FrameSource::FrameSource(cv::VideoCapture& videoCapture, bool file, cv::Size size)
    : capture(videoCapture),
      fileSource(file),
      frameSize(size),
      queueFrames(file ? kFileQueueFrames : kCameraQueueFrames),
      thread(&FrameSource::run, this) {}

FrameSource::~FrameSource() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    changed.notify_all();
    thread.join();
}

FrameSource::Status FrameSource::next(cv::Mat& frame, std::chrono::milliseconds wait) {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait_for(lock, wait, [this] { return !queue.empty() || stalling || stalled; });
    if (queue.empty()) {
        if (stalled) return Status::Stalled;
        return stalling ? Status::Stalling : Status::Waiting;
    }
    cv::Mat taken = std::move(queue.front());
    queue.pop_front();
    if (!frame.empty() && spare.size() < kBuffersOutsideQueue) spare.push_back(std::move(frame));
    frame = std::move(taken);
    lock.unlock();
    changed.notify_all();
    return Status::Frame;
}

void FrameSource::run() {
    try {
        while (waitForRoom()) {
            cv::Mat frame = takeSpare();
            const ReadResult result = readWithRetries(frame);
            if (result == ReadResult::Stopped) return;
            std::lock_guard<std::mutex> lock(mutex);
            if (result == ReadResult::GaveUp) {
                stalled = true;
            } else {
                queue.push_back(std::move(frame));
            }
            changed.notify_all();
            if (stalled) return;
        }
    } catch (const std::exception&) {
        // A source whose frames cannot be decoded (or held) delivers no more.
        std::lock_guard<std::mutex> lock(mutex);
        stalled = true;
        changed.notify_all();
    }
}

bool FrameSource::waitForRoom() {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, [this] { return stopping || queue.size() < queueFrames; });
    return !stopping;
}

cv::Mat FrameSource::takeSpare() {
    std::lock_guard<std::mutex> lock(mutex);
    if (spare.empty()) return cv::Mat();
    cv::Mat buffer = std::move(spare.back());
    spare.pop_back();
    return buffer;
}

// An empty read of a file rewinds it to frame index 1; a camera is read again.
// The first retry is immediate; the source is given up after kStallTimeout.
FrameSource::ReadResult FrameSource::readWithRetries(cv::Mat& frame) {
    const Clock::time_point start = Clock::now();
    for (int attempt = 0;; ++attempt) {
        if (attempt > 0 && fileSource) capture.set(cv::CAP_PROP_POS_FRAMES, kRewindFrameIndex);
        if (readConforming(frame)) {
            setStalling(false);
            return ReadResult::Read;
        }
        if (attempt == 0) continue;
        setStalling(true);
        if (Clock::now() - start > kStallTimeout) return ReadResult::GaveUp;
        std::unique_lock<std::mutex> lock(mutex);
        if (changed.wait_for(lock, kRetryInterval, [this] { return stopping; })) return ReadResult::Stopped;
    }
}

bool FrameSource::readConforming(cv::Mat& frame) {
    capture >> frame;
    if (!frame.empty() && frame.type() == CV_8UC3 && frame.size() == frameSize) return true;
    // Never hand the loop a frame of another size or layout than at start.
    cv::Mat conformed;
    if (!conformFrame(frame, frameSize, conformed)) return false;
    frame = std::move(conformed);
    return true;
}

void FrameSource::setStalling(bool value) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (stalling == value) return;
        stalling = value;
    }
    changed.notify_all();
}

}  // namespace tarvolen
