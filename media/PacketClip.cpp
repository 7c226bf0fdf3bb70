#include "media/PacketClip.h"

#include <algorithm>
#include <iterator>
#include <new>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/bsf.h>
#include <libavformat/avformat.h>
}

namespace tarvolen {
namespace {

struct PacketFreer {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};

constexpr double kMsPerSecond = 1000.0;

AVRational timeBaseOf(const StreamLayout::Stream& stream) { return AVRational{stream.timeBaseNum, stream.timeBaseDen}; }

bool fitsMp4(const AVCodecParameters& codec) {
    static const AVOutputFormat* const mp4 = av_guess_format("mp4", nullptr, nullptr);
    return mp4 != nullptr && avformat_query_codec(mp4, codec.codec_id, FF_COMPLIANCE_NORMAL) == 1;
}

// Video held while the sound's configuration is awaited: past this many
// packets the file starts without it.
constexpr std::size_t kMostWaitingPackets = 256;

bool isAdts(const AVPacket& p) {
    constexpr int kSyncWord = 0xfff;  // the first 12 bits of every ADTS frame
    return p.size >= 2 && ((p.data[0] << 4) | (p.data[1] >> 4)) == kSyncWord;
}

std::unique_ptr<AVPacket, PacketFreer> sharedCopy(const StreamPacket& packet) {
    std::unique_ptr<AVPacket, PacketFreer> copy(av_packet_alloc());
    if (!copy || av_packet_ref(copy.get(), packet.packet.get()) < 0) throw std::bad_alloc();
    return copy;
}

std::int64_t presentationTime(const AVPacket& p) { return p.pts != AV_NOPTS_VALUE ? p.pts : p.dts; }
std::int64_t decodeTime(const AVPacket& p) { return p.dts != AV_NOPTS_VALUE ? p.dts : p.pts; }
bool hasTime(const AVPacket& p) { return p.pts != AV_NOPTS_VALUE || p.dts != AV_NOPTS_VALUE; }

// `packet` with the times given; its data shared, not copied.
StreamPacket timedAt(const StreamPacket& packet, std::int64_t dts, std::int64_t pts, double mediaMs) {
    std::unique_ptr<AVPacket, PacketFreer> copy = sharedCopy(packet);
    copy->dts = dts;
    copy->pts = pts;
    StreamPacket timed = packet;
    timed.packet = std::shared_ptr<const AVPacket>(copy.release(), PacketFreer());
    timed.mediaMs = mediaMs;
    return timed;
}

}  // namespace

std::string copiedClipExtension(const StreamLayout& layout) {
    const bool videoFits = layout.video().codec != nullptr && fitsMp4(*layout.video().codec);
    const bool audioFits = layout.audio() == nullptr || fitsMp4(*layout.audio()->codec);
    return videoFits && audioFits ? ".mp4" : ".mkv";
}

PacketClip::~PacketClip() {
    muxer.finish();
    av_bsf_free(&adtsFilter);
}

std::string PacketClip::open(const std::string& file, std::shared_ptr<const StreamLayout> streams,
                             const MuxerSettings& muxerSettings) {
    path = file;
    layout = std::move(streams);
    settings = muxerSettings;
    if (!layout || layout->video().codec == nullptr) return "the source has no video to copy";
    std::string problem = muxer.create(path);
    if (!problem.empty()) return problem;
    outputOf[0] = muxer.addStream(*layout->video().codec, timeBaseOf(layout->video()));
    const StreamLayout::Stream* audio = layout->audio();
    if (audio == nullptr) return "";
    outputOf[1] = muxer.addStream(*audio->codec, timeBaseOf(*audio));
    if (audio->codec->codec_id != AV_CODEC_ID_AAC || audio->codec->extradata_size > 0) return "";
    const AVBitStreamFilter* filter = av_bsf_get_by_name("aac_adtstoasc");
    if (filter == nullptr || av_bsf_alloc(filter, &adtsFilter) < 0) throw std::bad_alloc();
    if (avcodec_parameters_copy(adtsFilter->par_in, audio->codec) < 0) throw std::bad_alloc();
    adtsFilter->time_base_in = timeBaseOf(*audio);
    if (av_bsf_init(adtsFilter) < 0) return "its sound cannot be put into " + path;
    audioConfigured = false;
    return "";
}

std::string PacketClip::begin(const StreamPacket& keyframe) {
    const AVRational videoBase = timeBaseOf(layout->video());
    offsetUs = av_rescale_q(decodeTime(*keyframe.packet), videoBase, AV_TIME_BASE_Q);
    keyTimeUs = av_rescale_q(presentationTime(*keyframe.packet), videoBase, AV_TIME_BASE_Q);
    firstVideoMs = keyframe.mediaMs;
    firstVideoArrival = keyframe.arrival;
    lastVideoMs = keyframe.mediaMs;
    writing = true;
    return audioConfigured ? startFile() : "";
}

std::string PacketClip::startFile() {
    std::string problem = muxer.start(cv::Size(layout->width(), layout->height()), settings);
    if (!problem.empty()) return problem;
    fileStarted = true;
    std::deque<StreamPacket> held = std::move(waiting);
    waiting.clear();
    for (const StreamPacket& packet : held) {
        problem = writeNow(packet);
        if (!problem.empty()) return problem;
    }
    return "";
}

std::string PacketClip::write(const StreamPacket& packet) {
    const bool isVideo = packet.kind == StreamKind::Video;
    if (!isVideo && outputOf[1] < 0) return "";
    if (!untimedStart.empty()) return awaitTime(packet);
    if (!writing) {
        if (!isVideo || !packet.keyframe) return "";
        if (!hasTime(*packet.packet)) return awaitTime(packet);
        if (std::string problem = begin(packet); !problem.empty()) return problem;
    }
    if (!isVideo) {
        // Sound from before the starting keyframe has no picture to go with.
        const std::int64_t time = presentationTime(*packet.packet);
        const AVRational base = timeBaseOf(*layout->audio());
        if (time == AV_NOPTS_VALUE || av_rescale_q(time, base, AV_TIME_BASE_Q) < keyTimeUs) return "";
        return writeAudio(packet);
    }
    if (fileStarted) return writeNow(packet);
    waiting.push_back(packet);
    return waiting.size() > kMostWaitingPackets ? startFile() : "";
}

// Holds the packets from an untimed first keyframe on until a picture with a
// time comes; the held pictures are then placed a frame apart before it and
// the clip begins. When none comes in time the clip starts on a later
// keyframe instead.
std::string PacketClip::awaitTime(const StreamPacket& packet) {
    untimedStart.push_back(packet);
    const bool timedVideo = packet.kind == StreamKind::Video && hasTime(*packet.packet);
    if (!timedVideo && untimedStart.size() <= kMostWaitingPackets) return "";
    std::deque<StreamPacket> held = std::move(untimedStart);
    untimedStart.clear();
    if (timedVideo) {
        placeBefore(held, packet);
    } else {
        held.pop_front();
    }
    for (const StreamPacket& next : held) {
        if (std::string problem = write(next); !problem.empty()) return problem;
    }
    return "";
}

// Gives the untimed pictures of `held` (all but its last packet, `timed`)
// decode times a frame period apart up to `timed`'s, and presentation times
// as late after those as the stream reorders its pictures.
void PacketClip::placeBefore(std::deque<StreamPacket>& held, const StreamPacket& timed) const {
    const StreamLayout::Stream& video = layout->video();
    const AVPacket& anchor = *timed.packet;
    const std::int64_t period = anchor.duration > 0 ? anchor.duration : std::max<std::int64_t>(video.frameTicks, 1);
    const std::int64_t reorder = static_cast<std::int64_t>(std::max(video.codec->video_delay, 0)) * period;
    const double periodMs = static_cast<double>(period) * av_q2d(timeBaseOf(video)) * kMsPerSecond;
    std::int64_t before = 0;
    for (auto it = std::next(held.rbegin()); it != held.rend(); ++it) {
        if (it->kind != StreamKind::Video) continue;
        ++before;
        const std::int64_t dts = decodeTime(anchor) - before * period;
        *it = timedAt(*it, dts, dts + reorder, timed.mediaMs - static_cast<double>(before) * periodMs);
    }
}

std::string PacketClip::writeAudio(const StreamPacket& packet) {
    if (adtsFilter != nullptr && !audioConfigured && !isAdts(*packet.packet)) {
        // Not in ADTS frames after all: the sound goes in as it comes.
        av_bsf_free(&adtsFilter);
        audioConfigured = true;
        if (std::string problem = startFile(); !problem.empty()) return problem;
    }
    if (adtsFilter == nullptr) return fileStarted ? mux(*sharedCopy(packet), false) : "";
    std::unique_ptr<AVPacket, PacketFreer> copy = sharedCopy(packet);
    if (av_bsf_send_packet(adtsFilter, copy.get()) < 0) return "";  // a damaged frame of sound is left out
    while (av_bsf_receive_packet(adtsFilter, copy.get()) >= 0) {
        if (!audioConfigured) {
            // The first frame brings the configuration the file's header needs.
            std::size_t size = 0;
            const std::uint8_t* config = av_packet_get_side_data(copy.get(), AV_PKT_DATA_NEW_EXTRADATA, &size);
            muxer.updateStream(outputOf[1], *adtsFilter->par_out, config, size);
            audioConfigured = true;
            if (std::string problem = startFile(); !problem.empty()) return problem;
        }
        if (!fileStarted) continue;
        if (std::string problem = mux(*copy, false); !problem.empty()) return problem;
    }
    return "";
}

std::string PacketClip::writeNow(const StreamPacket& packet) {
    const bool isVideo = packet.kind == StreamKind::Video;
    if (!isVideo) return writeAudio(packet);
    if (const std::optional<std::string> reason = muxer.roomProblem()) return *reason;
    const std::string problem = mux(*sharedCopy(packet), true);
    if (!problem.empty()) return problem;
    ++videoWritten;
    if (packet.mediaMs == packet.mediaMs) lastVideoMs = std::max(lastVideoMs, packet.mediaMs);
    return "";
}

// Moves the packet's times so that the clip starts at zero and writes it.
std::string PacketClip::mux(AVPacket& packet, bool isVideo) {
    const AVRational base = timeBaseOf(isVideo ? layout->video() : *layout->audio());
    const std::int64_t shift = av_rescale_q(offsetUs, AV_TIME_BASE_Q, base);
    if (packet.pts != AV_NOPTS_VALUE) packet.pts -= shift;
    if (packet.dts != AV_NOPTS_VALUE) packet.dts -= shift;
    return muxer.write(packet, outputOf[isVideo ? 0 : 1], base);
}

std::string PacketClip::finish() { return muxer.finish(); }

}  // namespace tarvolen
