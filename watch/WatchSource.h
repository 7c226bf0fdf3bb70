// What the watcher reads: a video file (played once), a camera, a capture
// device or a network stream, and how its name is shown.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <opencv2/core.hpp>

#include "media/VideoInput.h"

namespace tarvolen {

enum class WatchSourceKind {
    File,    // played once, at its own rate unless --fast
    Camera,  // a camera index, "0"
    Device,  // a capture device path, /dev/videoN
    Stream,  // a URL: rtsp://, rtsps://, http://, https://, udp://, tcp://, rtmp://
};

// The kind of source `source` names; nothing for one the watcher cannot
// read (empty, or the live program's file chooser).
std::optional<WatchSourceKind> classifyWatchSource(const std::string& source);

struct OpenedSource {
    std::unique_ptr<VideoInput> input;
    cv::Size frameSize;
    double fps = 0;  // a file's playback rate; 0 for a live source (measured while watching)
};

// Opens a video file: FFmpeg's own reader first (the frames' own times,
// reading past damage), then any other back end OpenCV has. Nothing, with
// `error` saying why in a few words, when it cannot be opened or reports no
// usable frame size. Cameras, devices and streams are opened by the frame
// reader's reopening (media/SourceInput), which waits for them.
// With FramePictures::Luma, a file FFmpeg's reader opens gives the gray of
// its luma plane and its colour on demand.
std::optional<OpenedSource> openWatchFile(const std::string& path, std::string& error,
                                          FramePictures pictures = FramePictures::Colour);

// Hands a file's frames over no sooner than a camera would deliver them:
// each one its presentation time after the first (one frame period apart
// when the file gives no times). A reader that falls behind is not made to
// wait, and no frame is dropped.
class PacedInput : public VideoInput {
public:
    using Clock = std::chrono::steady_clock;
    using SleepUntil = std::function<void(Clock::time_point)>;

    // Longest wait between two frames, whatever their times say: a damaged
    // timestamp must not hold the reader (or the program's end) for long.
    static constexpr std::chrono::milliseconds kMaxFrameGap{1000};

    PacedInput(
        std::unique_ptr<VideoInput> inner, double fps,
        std::function<Clock::time_point()> now = [] { return Clock::now(); },
        SleepUntil sleepUntil = defaultSleep());
    bool read(cv::Mat& picture, double& positionMs, std::int64_t& index) override;
    void rewindToSecondFrame() override { inner->rewindToSecondFrame(); }
    void release() override { inner->release(); }
    std::shared_ptr<const LumaFrame> takeLuma() override { return inner->takeLuma(); }

private:
    static SleepUntil defaultSleep();
    double mediaMs(double positionMs) const;

    std::unique_ptr<VideoInput> inner;
    double periodMs;
    std::function<Clock::time_point()> now;
    SleepUntil sleepUntil;
    std::int64_t frames = 0;
    double lastMediaMs = 0;
    Clock::time_point due;
};

}  // namespace tarvolen
