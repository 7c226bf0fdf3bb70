#include "media/PacketClip.h"

#include <algorithm>
#include <new>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace tarvolen {
namespace {

struct PacketFreer {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};

AVRational timeBaseOf(const StreamLayout::Stream& stream) { return AVRational{stream.timeBaseNum, stream.timeBaseDen}; }

bool fitsMp4(const AVCodecParameters& codec) {
    static const AVOutputFormat* const mp4 = av_guess_format("mp4", nullptr, nullptr);
    return mp4 != nullptr && avformat_query_codec(mp4, codec.codec_id, FF_COMPLIANCE_NORMAL) == 1;
}

std::int64_t presentationTime(const AVPacket& p) { return p.pts != AV_NOPTS_VALUE ? p.pts : p.dts; }
std::int64_t decodeTime(const AVPacket& p) { return p.dts != AV_NOPTS_VALUE ? p.dts : p.pts; }

}  // namespace

std::string copiedClipExtension(const StreamLayout& layout) {
    const bool videoFits = layout.video().codec != nullptr && fitsMp4(*layout.video().codec);
    const bool audioFits = layout.audio() == nullptr || fitsMp4(*layout.audio()->codec);
    return videoFits && audioFits ? ".mp4" : ".mkv";
}

PacketClip::~PacketClip() { muxer.finish(); }

std::string PacketClip::open(const std::string& file, std::shared_ptr<const StreamLayout> streams,
                             const MuxerSettings& muxerSettings) {
    path = file;
    layout = std::move(streams);
    settings = muxerSettings;
    if (!layout || layout->video().codec == nullptr) return "the source has no video to copy";
    std::string problem = muxer.create(path);
    if (!problem.empty()) return problem;
    outputOf[0] = muxer.addStream(*layout->video().codec, timeBaseOf(layout->video()));
    if (const StreamLayout::Stream* audio = layout->audio())
        outputOf[1] = muxer.addStream(*audio->codec, timeBaseOf(*audio));
    return "";
}

std::string PacketClip::begin(const StreamPacket& keyframe) {
    const AVRational videoBase = timeBaseOf(layout->video());
    offsetUs = av_rescale_q(decodeTime(*keyframe.packet), videoBase, AV_TIME_BASE_Q);
    keyTimeUs = av_rescale_q(presentationTime(*keyframe.packet), videoBase, AV_TIME_BASE_Q);
    firstVideoMs = keyframe.mediaMs;
    lastVideoMs = keyframe.mediaMs;
    const std::string problem = muxer.start(cv::Size(layout->width(), layout->height()), settings);
    if (problem.empty()) writing = true;
    return problem;
}

std::string PacketClip::write(const StreamPacket& packet) {
    const bool isVideo = packet.kind == StreamKind::Video;
    if (!isVideo && outputOf[1] < 0) return "";
    if (!writing) {
        if (!isVideo || !packet.keyframe) return "";
        if (std::string problem = begin(packet); !problem.empty()) return problem;
    }
    const StreamLayout::Stream& stream = layout->of(packet.kind);
    const AVRational base = timeBaseOf(stream);
    if (!isVideo) {
        // Sound from before the starting keyframe has no picture to go with.
        const std::int64_t time = presentationTime(*packet.packet);
        if (time == AV_NOPTS_VALUE || av_rescale_q(time, base, AV_TIME_BASE_Q) < keyTimeUs) return "";
    } else if (const std::optional<std::string> reason = muxer.roomProblem()) {
        return *reason;
    }
    std::unique_ptr<AVPacket, PacketFreer> copy(av_packet_alloc());
    if (!copy || av_packet_ref(copy.get(), packet.packet.get()) < 0) throw std::bad_alloc();
    const std::int64_t shift = av_rescale_q(offsetUs, AV_TIME_BASE_Q, base);
    if (copy->pts != AV_NOPTS_VALUE) copy->pts -= shift;
    if (copy->dts != AV_NOPTS_VALUE) copy->dts -= shift;
    const std::string problem = muxer.write(*copy, outputOf[isVideo ? 0 : 1], base);
    if (!problem.empty() || !isVideo) return problem;
    ++videoWritten;
    if (packet.mediaMs == packet.mediaMs) lastVideoMs = std::max(lastVideoMs, packet.mediaMs);
    return "";
}

std::string PacketClip::finish() { return muxer.finish(); }

}  // namespace tarvolen
