// The one place clips are put into a container: MP4, Matroska or AVI by the
// file's extension, packets interleaved and their times rescaled, the disk
// guard watching the file, and the file finished so that it plays.
//
// MP4 is written as fragments, one at every video keyframe and at least
// every second, each complete with its own index: a clip cut off by a crash
// or a power cut plays up to its last second instead of not at all.
//
// Used on one thread at a time (the writer's).
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

extern "C" {
#include <libavutil/rational.h>
}

#include <opencv2/core.hpp>

#include "media/DiskGuard.h"

struct AVFormatContext;
struct AVCodecParameters;
struct AVPacket;

namespace tarvolen {

struct MuxerSettings {
    // MP4: fragments as above; false: one index, at the front of the file
    // once it is finished (for files that are only read once complete).
    bool fragmented = true;
    // Kept in the file's metadata (MP4 and Matroska): when its first frame
    // was seen, for a clip whose log line was never written.
    std::optional<std::chrono::system_clock::time_point> creationTime;
};

// FFmpeg's text for one of its error codes.
std::string ffmpegError(int code);

// The container a clip's file name asks for: "mp4", "matroska" or "avi";
// nothing for another extension.
std::optional<std::string> containerForPath(const std::string& path);

class Muxer {
public:
    Muxer() = default;
    ~Muxer();
    Muxer(const Muxer&) = delete;
    Muxer& operator=(const Muxer&) = delete;

    // Sets up the container `format` (FFmpeg's name), or the one the file's
    // extension names; an empty string, or the problem.
    std::string create(const std::string& path, const char* format = nullptr);
    // Adds a stream of `codec` with packets timed in `timeBase`; its index.
    int addStream(const AVCodecParameters& codec, AVRational timeBase);
    // Replaces the parameters of stream `index` before start() (a filter
    // found what the header needs).
    // `extra`, when given, becomes its extradata.
    void updateStream(int index, const AVCodecParameters& codec, const std::uint8_t* extra = nullptr,
                      std::size_t extraBytes = 0);
    // Whether encoders must put their headers in the stream's parameters.
    bool wantsGlobalHeader() const;
    // Creates the file, starts watching its room, writes the header.
    std::string start(cv::Size frameSize, const MuxerSettings& settings);

    // Writes a packet of stream `index` whose times are in `from`; the
    // packet's times are changed.
    std::string write(AVPacket& packet, int index, AVRational from);
    // Why the next video frame must not be written (the disk guard's
    // reason), keeping room for `pendingFrames` an encoder still holds.
    std::optional<std::string> roomProblem(std::uint64_t pendingFrames = 0);
    std::uint64_t videoPacketsWritten() const { return videoPackets; }
    AVRational timeBase(int index) const;

    // The trailer, the file closed; an empty string, or the problem.
    // Idempotent.
    std::string finish();

private:
    std::string ioError(const std::string& doing, int code) const;

    std::string path;
    AVFormatContext* container = nullptr;
    bool headerWritten = false;
    int videoStream = -1;
    std::uint64_t videoPackets = 0;
    DiskGuard guard;
};

}  // namespace tarvolen
