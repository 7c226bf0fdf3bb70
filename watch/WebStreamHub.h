// Hands the detection loop's annotated frames to the web view's viewers.
// Publishing only keeps a reference to the frame (no copy, no encoding, no
// waiting on viewers); a frame is encoded to JPEG when the first viewer asks
// for it, once per frame and width however many viewers there are.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace tarvolen {

class WebStreamHub {
public:
    using Clock = std::chrono::steady_clock;

    struct Picture {
        std::uint64_t sequence = 0;              // 0: no frame yet
        std::shared_ptr<const std::string> jpeg;  // null: no frame yet
    };

    // Keeps a reference to `frame`'s pixels: the caller must not draw into
    // them afterwards (each frame in a buffer of its own).
    void publish(const cv::Mat& frame);

    // A frame newer than `newerThan` as JPEG, scaled down to `width` pixels
    // across (0, or a width at least the frame's: full size). One already
    // encoded is handed out when it is newer than that; only otherwise is
    // the newest frame encoded, so viewers waiting on one encode all take
    // its result instead of each encoding the next frame. Nothing (null)
    // before the first frame.
    Picture encoded(int width, std::uint64_t newerThan);

    // The newest frame as JPEG.
    Picture latest(int width);

    // Waits until a frame newer than `after` has been published and
    // `notBefore` has come, but not past `deadline` or stop(). The newest
    // sequence number, or 0 when none came in time or the hub stopped.
    std::uint64_t waitForFrame(std::uint64_t after, Clock::time_point notBefore, Clock::time_point deadline);

    // Whether anyone has asked for a picture lately: a watcher that draws
    // frames only for its viewers publishes none while nobody watches.
    bool wanted(Clock::time_point now) const;

    // Wakes every waiting viewer; waits return 0 from now on.
    void stop();
    bool stopped() const;

    // Encodes done so far.
    std::uint64_t encodes() const;

private:
    struct Encoded {
        int width = 0;
        std::uint64_t sequence = 0;
        std::shared_ptr<const std::string> jpeg;
    };

    Encoded& slotFor(int width);
    void collectRetired();
    void noteDemand();

    mutable std::mutex mutex;
    std::condition_variable published;
    cv::Mat frame;
    Clock::time_point publishedAt;  // of `frame`
    cv::Mat retired;
    std::uint64_t sequence = 0;
    bool isStopped = false;

    mutable std::mutex encodeMutex;
    std::vector<Encoded> cache;
    std::uint64_t encodeCount = 0;
    std::atomic<Clock::rep> lastDemand{0};  // when a viewer last asked, since the clock's epoch
};

}  // namespace tarvolen
