// Opening a configured source for reading, whatever it is: a camera index,
// a capture device (/dev/videoN), a video file or a network stream. Network
// reads are bounded by a timeout, so that a stream that goes quiet with its
// connection open cannot hold the reading thread for ever.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include <opencv2/videoio.hpp>

#include "media/VideoInput.h"

namespace tarvolen {

// Opens `source` into `capture`: a short source as a camera index, a stream
// URL through FFmpeg with `timeout` for opening and for each read, a capture
// device path through Video4Linux first, anything else as a video file.
// False, leaving `capture` closed, when it cannot be opened now.
bool openSourceCapture(const std::string& source, std::chrono::milliseconds timeout, cv::VideoCapture& capture);

// The same, ready for the frame reader; null when it cannot be opened now.
std::unique_ptr<CaptureInput> openSourceInput(const std::string& source, std::chrono::milliseconds timeout);

}  // namespace tarvolen
