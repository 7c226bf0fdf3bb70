#include "media/SourceInput.h"

#include <algorithm>
#include <climits>
#include <optional>
#include <vector>

#include "media/VideoFile.h"
#include "media/VideoSource.h"

namespace tarvolen {
namespace {

bool openCameraIndex(const std::string& source, cv::VideoCapture& capture) {
    const std::optional<int> index = cameraIndex(source);
    return index && openCamera(*index, capture);
}

int clampedMilliseconds(std::chrono::milliseconds timeout) {
    return static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(timeout.count(), 1, INT_MAX));
}

// Only FFmpeg's reader bounds network waits; no other back end is tried.
bool openStream(const std::string& url, std::chrono::milliseconds timeout, cv::VideoCapture& capture) {
    const int ms = clampedMilliseconds(timeout);
    const std::vector<int> parameters{cv::CAP_PROP_OPEN_TIMEOUT_MSEC, ms, cv::CAP_PROP_READ_TIMEOUT_MSEC, ms};
    // OpenCV sets FFmpeg's log level on its first open; every attempt after
    // that stays quiet (a refused connection each second would fill the
    // terminal while a camera is away).
    VideoFile::quietenLibraryLog();
    const bool opened = capture.open(url, cv::CAP_FFMPEG, parameters) && capture.isOpened();
    VideoFile::quietenLibraryLog();
    return opened;
}

bool openDevice(const std::string& path, cv::VideoCapture& capture) {
    if (capture.open(path, cv::CAP_V4L2) && capture.isOpened()) return true;
    return openVideoFile(path, capture);
}

}  // namespace

bool openSourceCapture(const std::string& source, std::chrono::milliseconds timeout, cv::VideoCapture& capture) {
    try {
        if (classifySource(source) == SourceKind::Camera) return openCameraIndex(source, capture);
        if (isStreamUrl(source)) return openStream(source, timeout, capture);
        if (isCaptureDevicePath(source)) return openDevice(source, capture);
        return openVideoFile(source, capture);
    } catch (const cv::Exception&) {
        capture.release();
        return false;
    }
}

std::unique_ptr<CaptureInput> openSourceInput(const std::string& source, std::chrono::milliseconds timeout) {
    cv::VideoCapture capture;
    if (!openSourceCapture(source, timeout, capture)) return nullptr;
    return std::make_unique<CaptureInput>(std::move(capture));
}

}  // namespace tarvolen
