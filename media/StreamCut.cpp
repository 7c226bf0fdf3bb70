#include "media/StreamCut.h"

#include <cmath>
#include <deque>
#include <limits>
#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "media/Demuxer.h"
#include "media/PacketClip.h"
#include "platform/ProgramGuard.h"

namespace tarvolen {
namespace {

// The packets from the keyframe to the event's first frame are held until
// it is known that no later keyframe comes before the event. A stream whose
// keyframes lie further apart than this is refused rather than held.
constexpr std::size_t kMaxHeldBytes = 256ull << 20;
constexpr double kMsPerSecond = 1000.0;

std::int64_t presentationTime(const AVPacket& p) { return p.pts != AV_NOPTS_VALUE ? p.pts : p.dts; }
std::int64_t decodeTime(const AVPacket& p) { return p.dts != AV_NOPTS_VALUE ? p.dts : p.pts; }

class Cut {
public:
    Cut(const std::string& sourcePath, const std::string& clipPath) : source(sourcePath), clip(clipPath) {}
    StreamCutResult run(double startMs, double endMs);

private:
    std::string read();
    std::string take(const StreamPacket& packet);
    std::string takeBeforeStart(const StreamPacket& packet);
    std::string startWriting();
    bool seekTo(std::int64_t ts);
    bool rewindToStart();
    std::int64_t ticks(double ms) const;
    bool pastEnd(const StreamPacket& video) const { return decodeTime(*video.packet) > endTs; }

    const std::string source;
    const std::string clip;
    std::unique_ptr<Demuxer> in;
    PacketClip out;
    std::int64_t startTs = 0;  // in the video's time base
    std::int64_t endTs = 0;
    std::int64_t audioEndUs = 0;  // where the sound ends
    std::deque<StreamPacket> held;  // from the keyframe on, before writing starts
    std::size_t heldBytes = 0;
    bool haveKeyframe = false;
    bool rewound = false;
    bool writing = false;
    bool videoDone = false;
    bool audioDone = false;
};

StreamCutResult Cut::run(double startMs, double endMs) {
    StreamCutResult result;
    std::string problem;
    std::string why;
    in = Demuxer::open(source, DemuxOptions{}, why);
    if (!in) problem = "cannot open " + source + ": " + why;
    if (problem.empty()) problem = out.open(clip, in->layout(), MuxerSettings{});
    if (problem.empty()) {
        startTs = ticks(startMs);
        endTs = ticks(endMs);
        problem = read();
    }
    const std::string finished = out.finish();
    if (problem.empty()) problem = finished;
    result.ok = problem.empty();
    if (!result.ok) result.failure = clip + ": " + problem.substr(0, problem.find('\n'));
    result.videoPackets = out.videoPackets();
    result.hasAudio = in && in->audioIndex() >= 0;
    if (out.videoPackets() > 0) {
        result.firstMs = out.firstMs();
        result.lastMs = out.lastMs();
    }
    return result;
}

std::int64_t Cut::ticks(double ms) const {
    const AVRational base = in->videoStream().time_base;
    return in->videoOrigin() + std::llround(ms / kMsPerSecond * base.den / base.num);
}

bool Cut::seekTo(std::int64_t ts) {
    return av_seek_frame(in->context(), in->videoIndex(), ts, AVSEEK_FLAG_BACKWARD) >= 0;
}

bool Cut::rewindToStart() {
    rewound = true;
    return avformat_seek_file(in->context(), in->videoIndex(), std::numeric_limits<std::int64_t>::min(),
                              in->videoOrigin(), in->videoOrigin(), 0) >= 0;
}

std::string Cut::read() {
    // Sound runs to the end of the last frame.
    const AVStream& video = in->videoStream();
    const AVRational rate = video.avg_frame_rate.num > 0 ? video.avg_frame_rate : video.r_frame_rate;
    const std::int64_t periodUs =
        rate.num > 0 && rate.den > 0 ? av_rescale_q(1, av_inv_q(rate), AV_TIME_BASE_Q) : 0;
    audioEndUs = av_rescale_q(endTs, video.time_base, AV_TIME_BASE_Q) + periodUs;
    // Where the container cannot seek, the file is read from its start.
    if (!seekTo(startTs)) rewound = true;
    StreamPacket packet;
    while (in->read(packet) == Demuxer::Read::Packet) {  // a broken tail ends the clip as it ends the scan
        std::string problem = take(packet);
        if (!problem.empty()) return problem;
        if (videoDone && (in->audioIndex() < 0 || audioDone)) break;
    }
    if (!haveKeyframe) return "no keyframe at or after the event's start in " + source;
    return writing ? std::string() : startWriting();
}

std::string Cut::take(const StreamPacket& packet) {
    if (!writing) return takeBeforeStart(packet);
    if (packet.kind == StreamKind::Video) {
        if (videoDone || pastEnd(packet)) {
            videoDone = true;
            return "";
        }
        return out.write(packet);
    }
    const std::int64_t time = presentationTime(*packet.packet);
    const AVStream& audio = *in->context()->streams[in->audioIndex()];
    if (audioDone || (time != AV_NOPTS_VALUE && av_rescale_q(time, audio.time_base, AV_TIME_BASE_Q) >= audioEndUs)) {
        audioDone = true;
        return "";
    }
    return out.write(packet);
}

std::string Cut::takeBeforeStart(const StreamPacket& packet) {
    const bool isVideo = packet.kind == StreamKind::Video;
    const std::int64_t time = presentationTime(*packet.packet);
    const bool timed = time != AV_NOPTS_VALUE;
    if (packet.keyframe && timed && time <= startTs) {
        // A later keyframe still before the event makes a shorter clip.
        held.clear();
        heldBytes = 0;
        haveKeyframe = true;
    } else if (!haveKeyframe) {
        if (!packet.keyframe) return "";
        // The seek went past the event: read from the start. Failing that,
        // or with no keyframe before the event at all, the clip starts at
        // the first keyframe there is.
        if (!rewound && rewindToStart()) return "";
        haveKeyframe = true;
    }
    heldBytes += packet.bytes;
    if (heldBytes > kMaxHeldBytes) return "the keyframes of " + source + " lie too far apart to cut it";
    held.push_back(packet);
    const bool eventReached = isVideo && timed && time > startTs;
    return eventReached ? startWriting() : "";
}

std::string Cut::startWriting() {
    writing = true;
    std::deque<StreamPacket> ready = std::move(held);
    held.clear();
    for (const StreamPacket& packet : ready) {
        if (packet.kind == StreamKind::Video && pastEnd(packet)) continue;
        std::string problem = out.write(packet);
        if (!problem.empty()) return problem;
    }
    return "";
}

}  // namespace

std::string streamCutExtension(const std::string& source) {
    std::string ignored;
    const std::unique_ptr<Demuxer> in = Demuxer::open(source, DemuxOptions{}, ignored);
    return in ? copiedClipExtension(*in->layout()) : ".mkv";
}

StreamCutResult cutStream(const std::string& source, const std::string& clip, double startMs, double endMs) {
    try {
        return Cut(source, clip).run(startMs, endMs);
    } catch (...) {
        StreamCutResult failed;
        failed.failure = clip + ": " + describeCurrentException();
        return failed;
    }
}

}  // namespace tarvolen
