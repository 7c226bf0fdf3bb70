// Decoding a video file on a thread of its own, a few frames ahead of the
// detection: the scan runs at the speed of the slower of the two.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

namespace tarvolen {

struct DecodedFrame {
    cv::Mat picture;
    double positionMs = -1;  // the file's presentation time; negative when it gives none
};

// Opens a video file for scanning: FFmpeg first, then any other back end.
// False when no back end opens it.
bool openVideoFile(const std::string& path, cv::VideoCapture& capture);

class FrameDecoder {
public:
    static constexpr std::size_t kQueueFrames = 4;

    // Starts decoding `capture` (taken over); stops early once `stop` says so.
    FrameDecoder(cv::VideoCapture capture, std::function<bool()> stop);
    ~FrameDecoder();
    FrameDecoder(const FrameDecoder&) = delete;
    FrameDecoder& operator=(const FrameDecoder&) = delete;

    // The next frame in decode order; false at the end.
    bool next(DecodedFrame& frame);
    // Hands back a frame's image for a later frame to be decoded into, when
    // nothing else holds it: fresh images cost page faults on every frame.
    void recycle(cv::Mat&& picture);
    // Ends decoding early and waits for the thread.
    void stop();
    // Frames read from the file so far.
    std::int64_t framesDecoded() const { return decoded.load(); }

private:
    void run();

    cv::VideoCapture capture;
    const std::function<bool()> stopRequested;
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<DecodedFrame> queue;
    std::vector<cv::Mat> spare;
    bool ended = false;     // the decoding thread has finished
    bool stopping = false;  // the consumer wants no more
    std::atomic<std::int64_t> decoded{0};
    std::thread thread;
};

}  // namespace tarvolen
