// How the configured source string is interpreted.
#pragma once

#include <optional>
#include <string>

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

namespace tarvolen {

enum class SourceKind {
    FileDialog,  // exactly "open file dialog": the user picks a file
    FilePath,    // longer than four characters: a video file path
    Camera,      // four characters or fewer: a camera index
};

inline const char* const kFileDialogSource = "open file dialog";

SourceKind classifySource(const std::string& source);

// Whether `source` is a network stream URL: rtsp, rtsps, http, https, udp,
// tcp or rtmp (any case), "://" and something after it.
bool isStreamUrl(const std::string& source);

// Whether `source` names a video capture device by its path: /dev/videoN.
bool isCaptureDevicePath(const std::string& source);

// The source as the operator's messages show it: a password in a URL's user
// part and the values of its query parameters that carry secrets (password,
// token, key, ...) replaced by "***", and control characters (which could forge lines
// or move the cursor) by "?".
std::string sourceForMessages(const std::string& source);

// The camera index of a short source string, read like strtol: leading white
// space, optional sign, digits up to the first non-digit. Empty when the
// string does not start with a number.
std::optional<int> cameraIndex(const std::string& source);

// The rate frames are counted at when a video reports none that is usable.
inline constexpr double kFallbackFps = 30.0;

// `reportedFps` when it lies in (low, high], else kFallbackFps (also for NaN).
double frameRateWithin(double reportedFps, double low, double high);

// The rate a file is played at: its reported rate, or 30 when that is 1 or
// less, 60 or more, or not a number.
double playbackFrameRate(double reportedFps);

// Opens a video file: FFmpeg first, then OpenCV's image sequence reader
// (a pattern such as frame_%04d.png), no other back end. False when neither
// opens it.
bool openVideoFile(const std::string& path, cv::VideoCapture& capture);

// Opens camera `index` (Video4Linux's /dev/videoN). False when it cannot.
bool openCamera(int index, cv::VideoCapture& capture);

// The frame size a capture reports, in whole pixels. Nothing when a side is
// not a number or less than one pixel; sides beyond kMaxReportedFrameSide
// (infinity too) are taken as that: absurd, but refused by every size check
// downstream, where a cast of the raw number to int would be undefined.
constexpr int kMaxReportedFrameSide = 1000000000;
std::optional<cv::Size> reportedFrameSize(double width, double height);
std::optional<cv::Size> reportedFrameSize(const cv::VideoCapture& capture);

}  // namespace tarvolen
