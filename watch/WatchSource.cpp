#include "watch/WatchSource.h"

#include <algorithm>
#include <cctype>
#include <limits>
#include <thread>
#include <vector>

#include <opencv2/videoio.hpp>

#include "media/VideoFile.h"
#include "media/VideoSource.h"
#include "platform/SourcePath.h"

namespace tarvolen {
namespace {

constexpr double kMillisPerSecond = 1000.0;

std::optional<OpenedSource> fromCapture(cv::VideoCapture capture, const std::string& what,
                                        std::string& error) {
    if (!capture.isOpened()) {
        error = what + " cannot be opened";
        return std::nullopt;
    }
    const std::optional<cv::Size> size = reportedFrameSize(capture);
    if (!size) {
        error = what + " reports no frame size";
        return std::nullopt;
    }
    OpenedSource opened;
    opened.frameSize = *size;
    opened.input = std::make_unique<CaptureInput>(std::move(capture));
    return opened;
}

// FFmpeg's own reader first (the frames' own times, reading past damage),
// then any other back end OpenCV has.
std::optional<OpenedSource> openFile(const std::string& path, std::string& error, FramePictures pictures) {
    if (!mayOpenSourcePath(path)) {
        error = "not a video file or capture device";
        return std::nullopt;
    }
    std::string why;
    if (std::unique_ptr<VideoFile> file = VideoFile::open(path, why)) {
        file->setPictures(pictures);
        OpenedSource opened;
        opened.frameSize = file->frameSize();
        opened.fps = playbackFrameRate(file->reportedFps());
        if (opened.frameSize.width < 1 || opened.frameSize.height < 1) {
            error = "reports no frame size";
            return std::nullopt;
        }
        opened.input = std::make_unique<FileInput>(std::move(file));
        return opened;
    }
    cv::VideoCapture capture;
    if (!openVideoFile(path, capture)) {
        error = why.empty() ? "cannot be opened" : why;
        return std::nullopt;
    }
    const double fps = playbackFrameRate(capture.get(cv::CAP_PROP_FPS));
    std::optional<OpenedSource> opened = fromCapture(std::move(capture), "the file", error);
    if (opened) opened->fps = fps;
    return opened;
}

}  // namespace

std::optional<WatchSourceKind> classifyWatchSource(const std::string& source) {
    if (isStreamUrl(source)) return WatchSourceKind::Stream;
    if (isCaptureDevicePath(source)) return WatchSourceKind::Device;
    switch (classifySource(source)) {
        case SourceKind::FileDialog:
            return std::nullopt;
        case SourceKind::Camera:
            if (!cameraIndex(source)) return std::nullopt;
            return WatchSourceKind::Camera;
        case SourceKind::FilePath:
            return WatchSourceKind::File;
    }
    return std::nullopt;
}

std::optional<OpenedSource> openWatchFile(const std::string& path, std::string& error,
                                          FramePictures pictures) {
    return openFile(path, error, pictures);
}

PacedInput::PacedInput(std::unique_ptr<VideoInput> source, double fps,
                       std::function<Clock::time_point()> clock, SleepUntil sleeper)
    : inner(std::move(source)),
      periodMs(kMillisPerSecond / fps),
      now(std::move(clock)),
      sleepUntil(std::move(sleeper)) {}

PacedInput::SleepUntil PacedInput::defaultSleep() {
    return [](Clock::time_point until) { std::this_thread::sleep_until(until); };
}

double PacedInput::mediaMs(double positionMs) const {
    return positionMs >= 0 ? positionMs : static_cast<double>(frames) * periodMs;
}

bool PacedInput::read(cv::Mat& picture, double& positionMs, std::int64_t& index) {
    if (!inner->read(picture, positionMs, index)) return false;
    const double media = mediaMs(positionMs);
    if (frames++ == 0) {
        due = now();
    } else {
        const double stepMs = std::clamp(media - lastMediaMs, 0.0, static_cast<double>(kMaxFrameGap.count()));
        due += std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double, std::milli>(stepMs));
    }
    lastMediaMs = media;
    if (now() < due) sleepUntil(due);
    return true;
}

}  // namespace tarvolen
