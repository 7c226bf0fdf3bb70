#include "media/FrameReader.h"

#include <cmath>
#include <utility>

#include "media/FrameInput.h"

namespace tarvolen {
namespace {

constexpr std::size_t kColourBytesPerPixel = 3;
// The decoder's own images: its decoded picture (up to 3 bytes per pixel for
// full-resolution chroma) and the BGR image OpenCV converts it into.
constexpr std::size_t kDecoderBytesPerPixel = 6;
// Pictures besides the queue: the one being read and the one the caller holds.
constexpr std::size_t kBuffersOutsideQueue = 2;

FrameReaderSettings conformingReading(EmptyReadPolicy policy, std::size_t queueFrames, cv::Size frameSize) {
    FrameReaderSettings settings;
    settings.onEmptyRead = policy;
    settings.queueFrames = queueFrames;
    settings.conformTo = frameSize;
    return settings;
}

}  // namespace

FrameReaderSettings liveFileReading(cv::Size frameSize) {
    return conformingReading(EmptyReadPolicy::Loop, kLiveFileQueueFrames, frameSize);
}

FrameReaderSettings cameraReading(cv::Size frameSize) {
    return conformingReading(EmptyReadPolicy::Retry, kCameraQueueFrames, frameSize);
}

FrameReaderSettings scanReading(std::function<bool()> stopRequested) {
    FrameReaderSettings settings;
    settings.onEmptyRead = EmptyReadPolicy::ToEnd;
    settings.queueFrames = kScanQueueFrames;
    settings.stopRequested = std::move(stopRequested);
    return settings;
}

bool solelyOwned(const cv::Mat& picture) {
    // Other threads (a writer dropping its copy) change the count with
    // atomic adds; a plain read of it would be a data race.
    return !picture.empty() && picture.u != nullptr &&
           __atomic_load_n(&picture.u->refcount, __ATOMIC_ACQUIRE) == 1;
}

std::size_t FrameReader::bufferBytesPerPixel(std::size_t queueFrames) {
    return (queueFrames + kBuffersOutsideQueue) * kColourBytesPerPixel + kDecoderBytesPerPixel;
}

FrameReader::FrameReader(cv::VideoCapture videoCapture, FrameReaderSettings readerSettings)
    : FrameReader(std::make_unique<CaptureInput>(std::move(videoCapture)), std::move(readerSettings)) {}

FrameReader::FrameReader(std::unique_ptr<VideoInput> input, FrameReaderSettings readerSettings)
    : source(std::move(input)),
      settings(std::move(readerSettings)),
      queue(settings.queueFrames),
      thread(&FrameReader::run, this) {}

FrameReader::~FrameReader() { stop(); }

void FrameReader::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopCalled = true;
    }
    stopChanged.notify_all();
    queue.close();
    if (thread.joinable()) thread.join();
    queue.clear();
}

FrameReader::Status FrameReader::next(DecodedFrame& frame, std::chrono::milliseconds wait) {
    // While reads fail the caller gets on with its own work at once.
    return deliver(stalling.load() ? queue.tryPop() : queue.popFor(wait), frame);
}

FrameReader::Status FrameReader::next(DecodedFrame& frame) { return deliver(queue.pop(), frame); }

FrameReader::Status FrameReader::deliver(std::optional<DecodedFrame> taken, DecodedFrame& frame) {
    if (!taken) return statusWithoutFrame();
    recycle(std::move(frame.picture));
    frame = std::move(*taken);
    return Status::Frame;
}

FrameReader::Status FrameReader::statusWithoutFrame() const {
    if (queue.closedAndEmpty()) return gaveUp.load() ? Status::Stalled : Status::Ended;
    return stalling.load() ? Status::Stalling : Status::Waiting;
}

void FrameReader::recycle(cv::Mat&& picture) {
    // Decoding into a picture someone else still holds would change their
    // pixels under them.
    if (!solelyOwned(picture)) return;
    std::lock_guard<std::mutex> lock(mutex);
    if (spare.size() < settings.queueFrames + kBuffersOutsideQueue) spare.push_back(std::move(picture));
}

cv::Mat FrameReader::takeSpare() {
    std::lock_guard<std::mutex> lock(mutex);
    if (spare.empty()) return cv::Mat();
    cv::Mat picture = std::move(spare.back());
    spare.pop_back();
    return picture;
}

void FrameReader::run() {
    bool sourceFailed = false;
    try {
        sourceFailed = readAll();
    } catch (...) {
        // A source whose frames cannot be decoded (or held) delivers no more.
        sourceFailed = true;
    }
    finish(sourceFailed);
}

// Reads until the stream ends or is stopped; true when the source failed.
bool FrameReader::readAll() {
    for (;;) {
        DecodedFrame frame;
        frame.picture = takeSpare();
        switch (readWithRetries(frame)) {
            case ReadResult::Stopped:
                return false;
            case ReadResult::GaveUp:
                return true;
            case ReadResult::Read:
                if (!queue.push(std::move(frame))) return false;
                break;
        }
    }
}

void FrameReader::finish(bool sourceFailed) {
    if (sourceFailed && settings.onEmptyRead != EmptyReadPolicy::ToEnd) gaveUp.store(true);
    stalling.store(false);
    queue.close();
    try {
        source->release();  // the decoder's memory goes now, not with the reader
    } catch (...) {
    }
}

// The first retry is immediate; Loop and Retry give the source up once
// nothing was read for the stall timeout.
FrameReader::ReadResult FrameReader::readWithRetries(DecodedFrame& frame) {
    const FrameReaderSettings::Clock::time_point start = settings.clock();
    for (int attempt = 0;; ++attempt) {
        if (attempt > 0) {
            if (settings.onEmptyRead == EmptyReadPolicy::ToEnd) return ReadResult::GaveUp;
            if (!pause(pauseBefore(attempt))) return ReadResult::Stopped;
            prepareRetry();
        }
        if (stopping()) return ReadResult::Stopped;
        if (readOnce(frame)) {
            stalling.store(false);
            return ReadResult::Read;
        }
        if (attempt == 0) continue;
        stalling.store(true);
        if (settings.clock() - start > settings.stallTimeout) return ReadResult::GaveUp;
    }
}

void FrameReader::prepareRetry() {
    switch (settings.onEmptyRead) {
        case EmptyReadPolicy::Loop:
            source->rewindToSecondFrame();
            break;
        case EmptyReadPolicy::Retry:
        case EmptyReadPolicy::ToEnd:
            break;
    }
}

std::chrono::milliseconds FrameReader::pauseBefore(int attempt) const {
    return attempt <= 1 ? std::chrono::milliseconds(0) : settings.retryInterval;
}

// False when reading was stopped meanwhile.
bool FrameReader::pause(std::chrono::milliseconds length) {
    if (length.count() > 0) {
        std::unique_lock<std::mutex> lock(mutex);
        if (stopChanged.wait_for(lock, length, [this] { return stopCalled; })) return false;
    }
    return !stopping();
}

bool FrameReader::stopping() const {
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (stopCalled) return true;
    }
    return settings.stopRequested();
}

bool FrameReader::readOnce(DecodedFrame& frame) {
    std::int64_t index = -1;
    if (!source->read(frame.picture, frame.positionMs, index) || frame.picture.empty()) return false;
    if (settings.conformTo && !conform(frame.picture)) return false;
    // A source that numbers its frames (one read from a later point) keeps
    // its numbers; otherwise they count on across rewinds.
    if (index >= 0) decoded = index;
    frame.index = decoded++;
    return true;
}

// Never hands the caller a frame of another size or layout than asked for.
bool FrameReader::conform(cv::Mat& picture) const {
    if (picture.type() == CV_8UC3 && picture.size() == *settings.conformTo) return true;
    cv::Mat conformed;
    if (!conformFrame(picture, *settings.conformTo, conformed)) return false;
    picture = std::move(conformed);
    return true;
}

}  // namespace tarvolen
