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

const char* const kStreamSchemes[] = {"rtsp://", "rtsps://", "http://", "https://",
                                      "udp://",  "tcp://",   "rtmp://"};
const char* const kDevicePrefix = "/dev/video";
const char* const kHidden = "***";
// Query parameters whose values are secrets as often as not.
const char* const kSecretParameters[] = {"password", "passwd", "pass", "pwd", "token",
                                         "key",      "secret", "auth", "sig"};
constexpr double kMillisPerSecond = 1000.0;

std::string lowered(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

bool startsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

bool isSecretParameter(const std::string& name) {
    const std::string lower = lowered(name);
    return std::any_of(std::begin(kSecretParameters), std::end(kSecretParameters),
                       [&lower](const char* secret) { return lower == secret; });
}

// "user:password@" becomes "user:***@"; the authority ends at the first
// '/', '?' or '#' after the scheme, and its last '@' ends the user part.
std::string hidePassword(const std::string& url, std::size_t authorityStart) {
    const std::size_t authorityEnd = url.find_first_of("/?#", authorityStart);
    const std::string authority = url.substr(authorityStart, authorityEnd - authorityStart);
    const std::size_t at = authority.rfind('@');
    if (at == std::string::npos) return url;
    const std::size_t colon = authority.find(':');
    if (colon == std::string::npos || colon > at) return url;
    return url.substr(0, authorityStart) + authority.substr(0, colon + 1) + kHidden + authority.substr(at) +
           (authorityEnd == std::string::npos ? std::string() : url.substr(authorityEnd));
}

// Each "name=value" of the query whose name is a secret's gets *** for its value.
std::string hideSecretParameters(const std::string& url) {
    const std::size_t query = url.find('?');
    if (query == std::string::npos) return url;
    const std::size_t fragment = url.find('#', query);
    const std::size_t queryEnd = fragment == std::string::npos ? url.size() : fragment;
    std::string out = url.substr(0, query + 1);
    std::size_t at = query + 1;
    while (at <= queryEnd) {
        std::size_t end = url.find('&', at);
        if (end == std::string::npos || end > queryEnd) end = queryEnd;
        const std::string item = url.substr(at, end - at);
        const std::size_t equals = item.find('=');
        out += equals != std::string::npos && isSecretParameter(item.substr(0, equals))
                   ? item.substr(0, equals + 1) + kHidden
                   : item;
        if (end < queryEnd) out += '&';
        at = end + 1;
    }
    return out + url.substr(queryEnd);
}

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
std::optional<OpenedSource> openFile(const std::string& path, std::string& error) {
    if (!mayOpenSourcePath(path)) {
        error = "not a video file or capture device";
        return std::nullopt;
    }
    std::string why;
    if (std::unique_ptr<VideoFile> file = VideoFile::open(path, why)) {
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

std::optional<OpenedSource> openStream(const std::string& url, std::chrono::milliseconds timeout,
                                       std::string& error) {
    const int ms = static_cast<int>(
        std::clamp<std::chrono::milliseconds::rep>(timeout.count(), 1, std::numeric_limits<int>::max()));
    const std::vector<int> parameters = {cv::CAP_PROP_OPEN_TIMEOUT_MSEC, ms, cv::CAP_PROP_READ_TIMEOUT_MSEC,
                                         ms};
    cv::VideoCapture capture;
    try {
        capture.open(url, cv::CAP_FFMPEG, parameters);
    } catch (const cv::Exception&) {
        // The back end refused the URL; reported as not opened below.
    }
    return fromCapture(std::move(capture), "the stream", error);
}

}  // namespace

bool isStreamUrl(const std::string& source) {
    const std::string lower = lowered(source.substr(0, std::min<std::size_t>(source.size(), 16)));
    return std::any_of(std::begin(kStreamSchemes), std::end(kStreamSchemes),
                       [&lower](const char* scheme) { return startsWith(lower, scheme); });
}

std::optional<WatchSourceKind> classifyWatchSource(const std::string& source) {
    if (isStreamUrl(source)) return WatchSourceKind::Stream;
    if (startsWith(source, kDevicePrefix)) return WatchSourceKind::Device;
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

std::string redactedSource(const std::string& source) {
    if (!isStreamUrl(source)) return source;
    const std::size_t authorityStart = source.find("://") + 3;
    return hideSecretParameters(hidePassword(source, authorityStart));
}

std::optional<OpenedSource> openWatchSource(const std::string& source, WatchSourceKind kind,
                                            std::chrono::milliseconds timeout, std::string& error) {
    switch (kind) {
        case WatchSourceKind::File:
            return openFile(source, error);
        case WatchSourceKind::Device:
            if (!mayOpenSourcePath(source)) {
                error = "not a video capture device";
                return std::nullopt;
            }
            return fromCapture(cv::VideoCapture(source, cv::CAP_ANY), "the device", error);
        case WatchSourceKind::Camera:
            return fromCapture(cv::VideoCapture(cameraIndex(source).value_or(0), cv::CAP_ANY), "the camera",
                               error);
        case WatchSourceKind::Stream:
            return openStream(source, timeout, error);
    }
    error = "unknown kind of source";
    return std::nullopt;
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
