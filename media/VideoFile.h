// Reading a video file through FFmpeg's own libraries: every frame the
// decoder can give, each with its own presentation time, past damaged
// stretches to the real end of the file, and seeking to a time.
//
// Frames come out as 8-bit BGR, converted exactly as OpenCV's FFmpeg reader
// converts them, so that the detector sees the same pixels whichever reads.
// Asked for luma pictures, the file gives the decoder's own luma plane as the
// gray picture instead and converts to BGR only the frames someone asks for.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "media/StreamPacket.h"

namespace tarvolen {

struct VideoFileOptions {
    // A network stream: opening, and each read, give up after this; zero
    // for a file, read with no time limit.
    std::chrono::milliseconds timeout{0};
    // Every packet read (video and sound), on the reading thread, before
    // its frame is decoded: where a stream's packets are kept for clips.
    std::function<void(const StreamPacket&)> onPacket;
};

// A run of packets or frames the decoder could not read, before the frame
// that follows it.
struct DamagedStretch {
    std::int64_t beforeFrame = 0;  // the number of the next frame decoded (or of the end)
    double timeMs = 0;             // that frame's presentation time
    int packets = 0;               // packets lost or decoded with errors in the stretch
};

// What comes with a picture taken from the decoder's luma plane: the gray
// level of each of its codes, and the frame's BGR picture, converted from the
// decoder's own picture, exactly as a frame read in colour is, the first time
// someone asks.
class LumaFrame {
public:
    virtual ~LumaFrame() = default;
    // 1 x 256, CV_8UC1: for each code of the picture, the gray that its BGR
    // gives through cv::cvtColor(COLOR_BGR2GRAY) for a colourless pixel (a
    // limited, "MPEG", range stretched to 0..255). A coloured pixel's gray
    // differs from it only by the BGR picture's rounding of each channel, or
    // where a saturated colour clipped one. Cheapest applied once the picture
    // is scaled down to what it is needed at.
    virtual const cv::Mat& grayLevels() const = 0;
    // CV_8UC3. Safe to call from any thread; the pixels are shared with every
    // caller, so one that draws on them should be the last to ask.
    virtual cv::Mat bgr() const = 0;
};

// What read() makes of each frame.
enum class FramePictures {
    Colour,  // BGR, as OpenCV's reader converts it
    // The decoder's luma plane as an 8-bit picture of its codes (deeper
    // samples already made gray levels), with a LumaFrame for its gray levels
    // and its BGR picture, made only when asked. A format without such a
    // plane (RGB, gray, packed or palette formats) still gives BGR.
    Luma,
};

// One decoded frame.
struct VideoFrame {
    cv::Mat picture;  // CV_8UC3, BGR; with FramePictures::Luma CV_8UC1 luma codes where the format allows
    std::shared_ptr<const LumaFrame>
        luma;                // with luma codes: their gray levels and the frame's BGR; else null
    std::int64_t index = 0;  // in decode order from the file's first frame, counting only frames that decoded
    double timeMs = 0;       // presentation time from the file's start
};

class VideoFile {
public:
    // Opens `path`; nothing, with `error` saying why in a few words, when it
    // is not a video file FFmpeg can decode.
    static std::unique_ptr<VideoFile> open(const std::string& path, std::string& error);
    // The same for a file or a network stream (a URL), with `options`.
    static std::unique_ptr<VideoFile> open(const std::string& source, const VideoFileOptions& options,
                                           std::string& error);
    ~VideoFile();
    VideoFile(const VideoFile&) = delete;
    VideoFile& operator=(const VideoFile&) = delete;

    cv::Size frameSize() const;
    // The rate the file states (its average, else its base rate); 0 when none.
    double reportedFps() const;
    // Frames the container states it holds; 0 when it does not say.
    std::int64_t announcedFrames() const;
    // The file's length in milliseconds; 0 when unknown.
    double durationMs() const;

    // The next frame in decode order into `frame` (its picture buffer is
    // reused when it is the only owner). False at the end of the file, also
    // when the rest of the file cannot be decoded at all.
    bool read(VideoFrame& frame);
    // What the next reads give; BGR unless set.
    void setPictures(FramePictures pictures);

    // Positions the file so that the next read() gives the first frame whose
    // time is at or after `ms`, numbered as in a read of the whole file.
    // Seeks to the keyframe before it where the container allows, counting
    // the frames before it from the packets without decoding them. False
    // when the file ends before `ms`.
    bool skipTo(double ms);

    // The stretches of damage met so far.
    const std::vector<DamagedStretch>& damage() const;
    // Whether reading ended because the rest of the file could not be
    // decoded at all, before the file's end.
    bool endedEarly() const;

    // When the packet of the frame read last arrived; nothing when unknown.
    std::optional<std::chrono::steady_clock::time_point> lastArrival() const;
    // The streams whose packets the packet tap gets.
    const std::shared_ptr<const StreamLayout>& layout() const;
    // From any thread: a network read in progress returns at once, and
    // nothing more is read.
    void interrupt();

    // Sets FFmpeg's own messages off, unless OPENCV_FFMPEG_LOGLEVEL asks for
    // them (a number, as for OpenCV's reader).
    static void quietenLibraryLog();

private:
    struct State;
    explicit VideoFile(std::unique_ptr<State> state);
    std::unique_ptr<State> state;
};

}  // namespace tarvolen
