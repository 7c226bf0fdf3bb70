// Where the frame reader gets its frames: OpenCV's capture (cameras, streams,
// and files in the live program) or a video file read through FFmpeg's own
// libraries (the scan).
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include "media/VideoFile.h"

namespace tarvolen {

class VideoInput {
public:
    virtual ~VideoInput() = default;
    // Decodes the next frame into `picture`, whose buffer may be reused.
    // `positionMs` is its presentation time (negative when the source gives
    // none) and `index` its number in the source (negative when the source
    // does not number its frames). False when no frame came.
    virtual bool read(cv::Mat& picture, double& positionMs, std::int64_t& index) = 0;
    // Goes back to frame index 1, so that a file plays round.
    virtual void rewindToSecondFrame() = 0;
    // Frees the decoder's memory; nothing is read afterwards.
    virtual void release() = 0;
    // Called on another thread while read() may be running: asks a read that
    // waits for a source that went quiet to return false soon, and later
    // reads to fail. An input whose reads are bounded by a timeout of their
    // own may leave it to that.
    virtual void interrupt() {}
    // When the frame read last arrived from its source (its packet's
    // arrival); nothing when the input cannot tell, and the reader takes the
    // moment read() returned.
    virtual std::optional<std::chrono::steady_clock::time_point> lastArrival() const { return std::nullopt; }
    // After a read() that gave the decoder's luma plane as the picture: its
    // gray levels and the frame's BGR picture. Null after a picture in colour.
    virtual std::shared_ptr<const LumaFrame> takeLuma() { return nullptr; }
};

// OpenCV's capture.
class CaptureInput : public VideoInput {
public:
    explicit CaptureInput(cv::VideoCapture opened) : capture(std::move(opened)) {}
    bool read(cv::Mat& picture, double& positionMs, std::int64_t& index) override;
    void rewindToSecondFrame() override;
    void release() override { capture.release(); }
    // What the capture reports (frame size, rate), before reading starts.
    const cv::VideoCapture& opened() const { return capture; }

private:
    cv::VideoCapture capture;
};

// A file read through FFmpeg's libraries, with its frames' own times and
// numbers and the damage met on the way.
class FileInput : public VideoInput {
public:
    explicit FileInput(std::unique_ptr<VideoFile> opened) : file(std::move(opened)) {}
    bool read(cv::Mat& picture, double& positionMs, std::int64_t& index) override;
    void rewindToSecondFrame() override;
    void release() override;
    void interrupt() override;
    std::optional<std::chrono::steady_clock::time_point> lastArrival() const override;
    std::shared_ptr<const LumaFrame> takeLuma() override { return std::move(frame.luma); }
    // The damaged stretches met; read it once the reader has stopped.
    const std::vector<DamagedStretch>& damage() const { return file ? file->damage() : keptDamage; }
    bool endedEarly() const { return file ? file->endedEarly() : keptEndedEarly; }
    // The size the file reports, before reading starts.
    cv::Size frameSize() const { return file ? file->frameSize() : cv::Size(); }

private:
    std::unique_ptr<VideoFile> file;
    std::vector<DamagedStretch> keptDamage;  // what the file said before it was released
    bool keptEndedEarly = false;
    VideoFrame frame;
};

}  // namespace tarvolen
