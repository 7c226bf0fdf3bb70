// Reading the video source on a thread of its own, so that the next frame is
// decoded while the current one is processed and shown.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

namespace tarvolen {

class FrameSource {
public:
    // A source that delivers nothing for this long is given up.
    static constexpr std::chrono::seconds kStallTimeout{5};
    // Frames read ahead: a file plays every frame smoothly; a live camera
    // keeps at most one waiting so that what is shown stays fresh.
    static constexpr std::size_t kFileQueueFrames = 2;
    static constexpr std::size_t kCameraQueueFrames = 1;

    // The most memory the reading takes, in bytes per pixel of the frame
    // size: the frames read ahead, the one being read and the one the loop
    // holds, and the decoder's own images.
    static std::size_t bufferBytesPerPixel();

    enum class Status {
        Frame,     // `frame` holds the next frame
        Waiting,   // not read yet
        Stalling,  // reads keep failing; the caller may poll keys meanwhile
        Stalled,   // nothing for kStallTimeout: given up
    };

    // Starts reading the open `capture` on the decode thread. From then on
    // only that thread touches it, until this object is destroyed. Every
    // frame is brought to CV_8UC3 of `frameSize`. An empty read of a file
    // rewinds it to frame index 1 and reads again; a camera is read again;
    // the first retry is immediate, later ones come every few milliseconds.
    FrameSource(cv::VideoCapture& capture, bool fileSource, cv::Size frameSize);
    // Stops the decode thread once its current read returns.
    ~FrameSource();
    FrameSource(const FrameSource&) = delete;
    FrameSource& operator=(const FrameSource&) = delete;

    // Waits up to `wait` for the next frame, in order. On Frame, `frame`
    // holds it, and the buffer it held before is reused for a later frame
    // (it must not be referenced elsewhere).
    Status next(cv::Mat& frame, std::chrono::milliseconds wait);

private:
    enum class ReadResult { Read, GaveUp, Stopped };

    void run();
    bool waitForRoom();
    ReadResult readWithRetries(cv::Mat& frame);
    bool readConforming(cv::Mat& frame);
    void setStalling(bool value);
    cv::Mat takeSpare();

    cv::VideoCapture& capture;
    const bool fileSource;
    const cv::Size frameSize;
    const std::size_t queueFrames;

    std::mutex mutex;
    std::condition_variable changed;
    std::deque<cv::Mat> queue;
    std::vector<cv::Mat> spare;  // buffers of shown frames, reused for reading
    bool stopping = false;
    bool stalling = false;
    bool stalled = false;
    std::thread thread;  // last: starts when everything above is ready
};

}  // namespace tarvolen
