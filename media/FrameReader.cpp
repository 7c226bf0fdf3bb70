#include "media/FrameReader.h"

#include <algorithm>
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
// How often next() without a wait looks at the clock for a lost source.
constexpr std::chrono::milliseconds kLostCheckInterval(10);

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

FrameReaderSettings reconnectingReading(cv::Size frameSize, std::function<std::unique_ptr<VideoInput>()> reopen,
                                        std::chrono::milliseconds sourceTimeout) {
    FrameReaderSettings settings =
        conformingReading(EmptyReadPolicy::Reconnect, kCameraQueueFrames, frameSize);
    settings.reopen = std::move(reopen);
    settings.sourceTimeout = sourceTimeout;
    return settings;
}

FrameReaderSettings scanReading(std::function<bool()> stopRequested) {
    FrameReaderSettings settings;
    settings.onEmptyRead = EmptyReadPolicy::ToEnd;
    settings.queueFrames = kScanQueueFrames;
    settings.stopRequested = std::move(stopRequested);
    return settings;
}

cv::Mat DecodedFrame::takeBgr() {
    if (luma) {
        cv::Mat bgr = luma->bgr();
        luma.reset();
        return bgr;
    }
    if (picture.type() == CV_8UC3) return picture;
    cv::Mat bgr;
    // A camera may deliver gray or four channels; one that cannot be drawn on is black.
    if (!conformFrame(picture, picture.size(), bgr))
        bgr = cv::Mat::zeros(std::max(picture.rows, 1), std::max(picture.cols, 1), CV_8UC3);
    return bgr;
}

bool solelyOwned(const cv::Mat& picture) {
    // Other threads (a writer dropping its copy) change the count with
    // atomic adds; a plain read of it would be a data race. A picture lent
    // by the decoder (a luma plane) is the decoder's too.
    return !picture.empty() && picture.u != nullptr &&
           picture.u->currAllocator == cv::Mat::getDefaultAllocator() &&
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
      awaitingSince(settings.clock()),
      lastFrameAt(awaitingSince),
      conformSize(settings.conformTo),
      reopenPauses(settings.reconnectMaxPause),
      thread(&FrameReader::run, this) {}

FrameReader::~FrameReader() { stop(); }

void FrameReader::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopCalled = true;
        // A read waiting on a quiet network source would hold up the join.
        if (source) source->interrupt();
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

FrameReader::Status FrameReader::next(DecodedFrame& frame) {
    if (settings.onEmptyRead != EmptyReadPolicy::Reconnect) return deliver(queue.pop(), frame);
    // A read blocked on the network is noticed on this side, by the clock.
    for (;;) {
        const Status status = deliver(queue.popFor(kLostCheckInterval), frame);
        if (status != Status::Waiting && status != Status::Stalling) return status;
    }
}

FrameReader::Status FrameReader::deliver(std::optional<Delivery> taken, DecodedFrame& frame) {
    if (!taken) return statusWithoutFrame();
    if (taken->note == Status::SourceBack) outage = taken->outage;
    if (taken->note != Status::Frame) return taken->note;
    recycle(std::move(frame.picture));
    frame = std::move(taken->frame);
    return Status::Frame;
}

FrameReader::Status FrameReader::statusWithoutFrame() {
    if (queue.closedAndEmpty()) return gaveUp.load() ? Status::Stalled : Status::Ended;
    if (declareLostIfOverdue()) return Status::SourceLost;
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
    if (settings.onEmptyRead == EmptyReadPolicy::Reconnect) return readReconnecting();
    for (;;) {
        DecodedFrame frame;
        frame.picture = takeSpare();
        switch (readWithRetries(frame)) {
            case ReadResult::Stopped:
                return false;
            case ReadResult::GaveUp:
                return true;
            case ReadResult::Read:
                if (!queue.push(Delivery{std::move(frame), Status::Frame, {}})) return false;
                break;
        }
    }
}

void FrameReader::finish(bool sourceFailed) {
    if (sourceFailed && settings.onEmptyRead != EmptyReadPolicy::ToEnd) gaveUp.store(true);
    stalling.store(false);
    queue.close();
    // The decoder's memory goes now, not with the reader; the input stays
    // for what it can tell afterwards (see input()).
    std::lock_guard<std::mutex> lock(mutex);
    if (!source) return;
    try {
        source->release();
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
        case EmptyReadPolicy::Reconnect:  // reads its own way (readConnected)
            break;
    }
}

std::chrono::milliseconds FrameReader::pauseBefore(int attempt) const {
    return attempt <= 1 ? std::chrono::milliseconds(0) : settings.retryInterval;
}

// False when reading was stopped meanwhile.
bool FrameReader::pause(std::chrono::milliseconds length) {
    if (length.count() > 0 && settings.wait) {
        settings.wait(length);
    } else if (length.count() > 0) {
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
    frame.arrival = source->lastArrival().value_or(std::chrono::steady_clock::now());
    if (adoptFrameSize) {
        conformSize = frame.picture.size();
        adoptFrameSize = false;
    }
    frame.luma = source->takeLuma();
    if (conformSize && !conform(frame)) return false;
    if (settings.colourAhead && frame.luma) frame.luma->bgr();
    // A source that numbers its frames (one read from a later point) keeps
    // its numbers; otherwise they count on across rewinds.
    if (index >= 0) decoded = index;
    frame.index = decoded++;
    return true;
}

// Never hands the caller a frame of another size or layout than asked for.
bool FrameReader::conform(DecodedFrame& frame) const {
    const bool luma = frame.luma && frame.picture.type() == CV_8UC1;
    if (luma && frame.picture.size() == *conformSize) return true;
    if (luma) frame.picture = frame.takeBgr();
    cv::Mat& picture = frame.picture;
    if (picture.type() == CV_8UC3 && picture.size() == *conformSize) return true;
    cv::Mat conformed;
    if (!conformFrame(picture, *conformSize, conformed)) return false;
    picture = std::move(conformed);
    return true;
}

// Reconnect: reads until stopped, reopening the source whenever it is lost.
// Never gives up; false (not failed) once stopped.
bool FrameReader::readReconnecting() {
    if (!source && !declareLost()) return false;
    for (;;) {
        if (!source && !reconnect()) return false;
        DecodedFrame frame;
        frame.picture = takeSpare();
        switch (readConnected(frame)) {
            case ReadResult::Stopped:
                return false;
            case ReadResult::GaveUp:
                if (!declareLost()) return false;
                closeSource();
                break;
            case ReadResult::Read:
                if (!handOver(std::move(frame))) return false;
                break;
        }
    }
}

// One frame from the open source, reads retried until the source timeout.
// A read that throws, or that the caller's side found blocked too long,
// loses the source at once.
FrameReader::ReadResult FrameReader::readConnected(DecodedFrame& frame) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        awaitingFrame = true;
        awaitingSince = settings.clock();
    }
    const Clock::time_point start = awaitingSince;
    for (int attempt = 0;; ++attempt) {
        if (attempt > 0) {
            stalling.store(true);
            if (!pause(settings.retryInterval)) return ReadResult::Stopped;
        }
        if (stopping()) return ReadResult::Stopped;
        bool read = false;
        try {
            read = readOnce(frame);
        } catch (...) {
            return ReadResult::GaveUp;
        }
        if (read) return ReadResult::Read;
        if (lostMeanwhile() || settings.clock() - start > settings.sourceTimeout) return ReadResult::GaveUp;
    }
}

// The first frame after a loss comes with word that the source is back.
bool FrameReader::handOver(DecodedFrame&& frame) {
    std::optional<Clock::duration> back;
    {
        std::lock_guard<std::mutex> lock(mutex);
        const Clock::time_point now = settings.clock();
        if (lost) back = now - lastFrameAt;
        lost = false;
        awaitingFrame = false;
        lastFrameAt = now;
    }
    stalling.store(false);
    reopenPauses.reset();
    if (back && !queue.push(Delivery{DecodedFrame{}, Status::SourceBack, *back})) return false;
    return queue.push(Delivery{std::move(frame), Status::Frame, {}});
}

// Says once that the source is lost, unless the caller's side already found
// it so. False once stopped.
bool FrameReader::declareLost() {
    bool newly = false;
    {
        std::lock_guard<std::mutex> lock(mutex);
        newly = !lost;
        lost = true;
        awaitingFrame = false;
    }
    stalling.store(true);
    return !newly || queue.push(Delivery{DecodedFrame{}, Status::SourceLost, {}});
}

bool FrameReader::lostMeanwhile() const {
    std::lock_guard<std::mutex> lock(mutex);
    return lost;
}

bool FrameReader::overdue(Clock::time_point now) const {
    return awaitingFrame && now - awaitingSince > settings.sourceTimeout;
}

// The caller's side of the source timeout: a read blocked inside the input
// (a stream stalled with its connection open) is interrupted, and the loss
// is said at once rather than when the read gives up.
bool FrameReader::declareLostIfOverdue() {
    if (settings.onEmptyRead != EmptyReadPolicy::Reconnect) return false;
    std::lock_guard<std::mutex> lock(mutex);
    if (!overdue(settings.clock())) return false;
    if (source) source->interrupt();
    if (lost) return false;
    lost = true;
    stalling.store(true);
    return true;
}

void FrameReader::closeSource() {
    std::unique_ptr<VideoInput> closing;
    {
        std::lock_guard<std::mutex> lock(mutex);
        closing = std::move(source);
    }
    if (!closing) return;
    try {
        closing->release();
    } catch (...) {
    }
}

// Tries to reopen the source, at once and then after pauses that double up
// to the settings' most; true once it opened, false once stopped.
bool FrameReader::reconnect() {
    for (;;) {
        if (!pause(reopenPauses.next())) return false;
        std::unique_ptr<VideoInput> reopened = tryReopen();
        if (!reopened) continue;
        std::lock_guard<std::mutex> lock(mutex);
        source = std::move(reopened);
        adoptFrameSize = conformSize.has_value();
        return true;
    }
}

std::unique_ptr<VideoInput> FrameReader::tryReopen() const {
    if (!settings.reopen) return nullptr;
    try {
        return settings.reopen();
    } catch (...) {
        return nullptr;
    }
}

}  // namespace tarvolen
