#include "media/VideoSource.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>

namespace tarvolen {
namespace {

constexpr std::size_t kMaxCameraSourceLength = 4;  // characters
constexpr double kMinPlausibleFps = 1.0;
constexpr double kMaxPlausibleFps = 60.0;

// One side in whole pixels; nothing unless a number of at least one.
std::optional<int> reportedSide(double pixels) {
    if (std::isnan(pixels) || pixels < 1.0) return std::nullopt;
    if (pixels >= static_cast<double>(kMaxReportedFrameSide)) return kMaxReportedFrameSide;
    return static_cast<int>(pixels);
}

}  // namespace

SourceKind classifySource(const std::string& source) {
    if (source.size() <= kMaxCameraSourceLength) return SourceKind::Camera;
    return source == kFileDialogSource ? SourceKind::FileDialog : SourceKind::FilePath;
}

std::optional<int> cameraIndex(const std::string& source) {
    const char* begin = source.c_str();
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(begin, &end, 10);
    if (end == begin || errno == ERANGE || value < INT_MIN || value > INT_MAX) return std::nullopt;
    return static_cast<int>(value);
}

double frameRateWithin(double reportedFps, double low, double high) {
    // NaN fails both comparisons, so it falls back too.
    return reportedFps > low && reportedFps <= high ? reportedFps : kFallbackFps;
}

double playbackFrameRate(double reportedFps) {
    // Below 60 itself: the largest double under it is the highest rate kept.
    return frameRateWithin(reportedFps, kMinPlausibleFps, std::nextafter(kMaxPlausibleFps, 0.0));
}

bool openVideoFile(const std::string& path, cv::VideoCapture& capture) {
    try {
        if (capture.open(path, cv::CAP_FFMPEG) && capture.isOpened()) return true;
        return capture.open(path, cv::CAP_ANY) && capture.isOpened();
    } catch (const cv::Exception&) {
        return false;
    }
}

std::optional<cv::Size> reportedFrameSize(double width, double height) {
    const std::optional<int> w = reportedSide(width);
    const std::optional<int> h = reportedSide(height);
    if (!w || !h) return std::nullopt;
    return cv::Size(*w, *h);
}

std::optional<cv::Size> reportedFrameSize(const cv::VideoCapture& capture) {
    return reportedFrameSize(capture.get(cv::CAP_PROP_FRAME_WIDTH), capture.get(cv::CAP_PROP_FRAME_HEIGHT));
}

}  // namespace tarvolen
