// One compressed packet of a source's video or sound, as its demuxer gave
// it, and what the streams it belongs to are: enough to copy it into a clip
// unchanged.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>

struct AVPacket;
struct AVCodecParameters;

namespace tarvolen {

enum class StreamKind { Video, Audio };

// The codec parameters and time bases of a source's video stream and, when
// it has one, its sound: what a muxer needs to hold copies of its packets.
// Fixed once made; a source opened again gets a layout of its own.
class StreamLayout {
public:
    struct Stream {
        AVCodecParameters* codec = nullptr;  // owned
        int timeBaseNum = 0;
        int timeBaseDen = 1;
        // One frame's duration in the time base, from the stream's frame
        // rate; 0 when it is not known (and for sound).
        std::int64_t frameTicks = 0;
    };

    StreamLayout() = default;
    ~StreamLayout();
    StreamLayout(const StreamLayout&) = delete;
    StreamLayout& operator=(const StreamLayout&) = delete;

    // Copies of `codec` and the time base; for the demuxer.
    void set(StreamKind kind, const AVCodecParameters& codec, int timeBaseNum, int timeBaseDen,
             std::int64_t frameTicks = 0);

    const Stream& video() const { return streams[0]; }
    const Stream* audio() const { return streams[1].codec != nullptr ? &streams[1] : nullptr; }
    const Stream& of(StreamKind kind) const { return streams[kind == StreamKind::Video ? 0 : 1]; }
    int width() const;
    int height() const;

private:
    Stream streams[2];
};

struct StreamPacket {
    using Clock = std::chrono::steady_clock;

    std::shared_ptr<const AVPacket> packet;  // reference-counted, never written into
    StreamKind kind = StreamKind::Video;
    bool keyframe = false;
    // The packet's presentation time in milliseconds from the start of the
    // source's video (the times its decoded frames get); NaN when it has none.
    double mediaMs = 0;
    // When the demuxer handed it over: the clock two streams of one camera
    // are matched on.
    Clock::time_point arrival;
    std::size_t bytes = 0;
};

// A reference to `packet`'s data, its timestamps and flags (the caller's
// packet is left as it was).
std::shared_ptr<const AVPacket> sharePacket(const AVPacket& packet);

}  // namespace tarvolen
