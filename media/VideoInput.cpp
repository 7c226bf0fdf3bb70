#include "media/VideoInput.h"

#include <cmath>
#include <utility>

namespace tarvolen {
namespace {

constexpr double kSecondFrameIndex = 1.0;  // frame index 0 is shown only once

}  // namespace

bool CaptureInput::read(cv::Mat& picture, double& positionMs, std::int64_t& index) {
    if (!capture.read(picture) || picture.empty()) return false;
    const double position = capture.get(cv::CAP_PROP_POS_MSEC);
    positionMs = std::isfinite(position) ? position : -1.0;
    index = -1;
    return true;
}

void CaptureInput::rewindToSecondFrame() { capture.set(cv::CAP_PROP_POS_FRAMES, kSecondFrameIndex); }

bool FileInput::read(cv::Mat& picture, double& positionMs, std::int64_t& index) {
    if (!file) return false;
    frame.picture = std::move(picture);
    const bool got = file->read(frame);
    picture = std::move(frame.picture);
    if (!got) return false;
    positionMs = frame.timeMs;
    index = frame.index;
    return true;
}

void FileInput::rewindToSecondFrame() {
    // The scan reads a file once; rewinding is the live program's, which
    // reads through OpenCV.
}

void FileInput::interrupt() {
    if (file) file->interrupt();
}

std::optional<std::chrono::steady_clock::time_point> FileInput::lastArrival() const {
    return file ? file->lastArrival() : std::nullopt;
}

void FileInput::release() {
    if (!file) return;
    keptDamage = file->damage();
    keptEndedEarly = file->endedEarly();
    file.reset();
}

}  // namespace tarvolen
