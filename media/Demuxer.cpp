#include "media/Demuxer.h"

#include <cmath>
#include <limits>
#include <new>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace tarvolen {
namespace {

constexpr double kMsPerSecond = 1000.0;

struct PacketFreer {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};

std::int64_t steadyNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

double msOf(std::int64_t ts, AVRational base) { return static_cast<double>(ts) * av_q2d(base) * kMsPerSecond; }

// One frame's duration in the stream's time base, from its average frame
// rate or, for a live stream, the rate its timestamps suggest; 0 if neither.
std::int64_t frameTicksOf(const AVStream& stream) {
    const AVRational rate = stream.avg_frame_rate.num > 0 ? stream.avg_frame_rate : stream.r_frame_rate;
    if (rate.num <= 0 || rate.den <= 0 || stream.time_base.num <= 0) return 0;
    return av_rescale_q(1, av_inv_q(rate), stream.time_base);
}

}  // namespace

StreamLayout::~StreamLayout() {
    for (Stream& s : streams) avcodec_parameters_free(&s.codec);
}

void StreamLayout::set(StreamKind kind, const AVCodecParameters& codec, int num, int den, std::int64_t frameTicks) {
    Stream& s = streams[kind == StreamKind::Video ? 0 : 1];
    avcodec_parameters_free(&s.codec);
    s.codec = avcodec_parameters_alloc();
    if (s.codec == nullptr || avcodec_parameters_copy(s.codec, &codec) < 0) throw std::bad_alloc();
    s.timeBaseNum = num;
    s.timeBaseDen = den;
    s.frameTicks = frameTicks;
}

int StreamLayout::width() const { return streams[0].codec != nullptr ? streams[0].codec->width : 0; }
int StreamLayout::height() const { return streams[0].codec != nullptr ? streams[0].codec->height : 0; }

std::shared_ptr<const AVPacket> sharePacket(const AVPacket& packet) {
    std::unique_ptr<AVPacket, PacketFreer> copy(av_packet_alloc());
    if (!copy || av_packet_ref(copy.get(), &packet) < 0) throw std::bad_alloc();
    return std::shared_ptr<const AVPacket>(copy.release(), [](const AVPacket* p) {
        AVPacket* owned = const_cast<AVPacket*>(p);
        av_packet_free(&owned);
    });
}

Demuxer::Demuxer(const DemuxOptions& o) : options(o), firstVideoTs(AV_NOPTS_VALUE) {}

Demuxer::~Demuxer() { avformat_close_input(&format); }

std::unique_ptr<Demuxer> Demuxer::open(const std::string& source, const DemuxOptions& options, std::string& error) {
    std::unique_ptr<Demuxer> demuxer(new Demuxer(options));
    if (!demuxer->openInput(source, error)) return nullptr;
    return demuxer;
}

int Demuxer::interruptCallback(void* self) {
    const Demuxer& d = *static_cast<const Demuxer*>(self);
    if (d.interrupted.load()) return 1;
    const std::int64_t deadline = d.deadlineNs.load();
    return deadline != 0 && steadyNs() > deadline ? 1 : 0;
}

void Demuxer::armDeadline() {
    if (options.timeout.count() <= 0) return;
    deadlineNs.store(steadyNs() + std::chrono::duration_cast<std::chrono::nanoseconds>(options.timeout).count());
}

bool Demuxer::openInput(const std::string& source, std::string& error) {
    format = avformat_alloc_context();
    if (format == nullptr) throw std::bad_alloc();
    format->interrupt_callback.callback = &Demuxer::interruptCallback;
    format->interrupt_callback.opaque = this;
    AVDictionary* settings = nullptr;
    // Cameras send RTP over the RTSP connection itself where they can: no
    // packets lost to UDP, and one connection to watch.
    av_dict_set(&settings, "rtsp_flags", "prefer_tcp", 0);
    armDeadline();
    const int opened = avformat_open_input(&format, source.c_str(), nullptr, &settings);
    av_dict_free(&settings);
    if (opened < 0) {
        error = "cannot open as a video file";
        return false;  // avformat_open_input freed the context
    }
    if (avformat_find_stream_info(format, nullptr) < 0) {
        error = "cannot read its streams";
        return false;
    }
    const AVCodec* decoder = nullptr;
    video = av_find_best_stream(format, AVMEDIA_TYPE_VIDEO, -1, -1, &decoder, 0);
    if (video < 0) {
        error = "has no video stream";
        return false;
    }
    audio = av_find_best_stream(format, AVMEDIA_TYPE_AUDIO, -1, video, nullptr, 0);
    if (audio < 0) audio = -1;
    auto layout = std::make_shared<StreamLayout>();
    const AVStream& v = *format->streams[video];
    layout->set(StreamKind::Video, *v.codecpar, v.time_base.num, v.time_base.den, frameTicksOf(v));
    if (audio >= 0) {
        const AVStream& a = *format->streams[audio];
        layout->set(StreamKind::Audio, *a.codecpar, a.time_base.num, a.time_base.den);
    }
    streams = std::move(layout);
    return true;
}

AVStream& Demuxer::videoStream() const { return *format->streams[video]; }

std::int64_t Demuxer::videoOrigin() const {
    const std::int64_t start = videoStream().start_time;
    if (start != AV_NOPTS_VALUE) return start;
    return firstVideoTs != AV_NOPTS_VALUE ? firstVideoTs : 0;
}

double Demuxer::videoMs(std::int64_t ts) const { return msOf(ts - videoOrigin(), videoStream().time_base); }

bool Demuxer::atEndOfInput() const { return format->pb != nullptr && avio_feof(format->pb); }

std::int64_t Demuxer::bytePosition() const { return format->pb != nullptr ? avio_tell(format->pb) : -1; }

Demuxer::Read Demuxer::read(StreamPacket& out) {
    std::unique_ptr<AVPacket, PacketFreer> packet(av_packet_alloc());
    if (!packet) throw std::bad_alloc();
    for (;;) {
        if (interrupted.load()) return Read::Failed;
        armDeadline();
        const int code = av_read_frame(format, packet.get());
        if (code == AVERROR_EOF) return Read::End;
        if (code < 0) return atEndOfInput() && !interrupted.load() ? Read::End : Read::Failed;
        const bool isVideo = packet->stream_index == video;
        if (!isVideo && packet->stream_index != audio) {
            av_packet_unref(packet.get());
            continue;
        }
        const AVStream& stream = *format->streams[packet->stream_index];
        const std::int64_t ts = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
        if (isVideo && firstVideoTs == AV_NOPTS_VALUE && ts != AV_NOPTS_VALUE) firstVideoTs = ts;
        out.kind = isVideo ? StreamKind::Video : StreamKind::Audio;
        out.keyframe = isVideo && (packet->flags & AV_PKT_FLAG_KEY) != 0;
        out.arrival = StreamPacket::Clock::now();
        out.bytes = static_cast<std::size_t>(std::max(packet->size, 0));
        // Video times as the decoder's frames get them; sound on the same scale.
        out.mediaMs = ts == AV_NOPTS_VALUE ? std::numeric_limits<double>::quiet_NaN()
                      : isVideo            ? videoMs(ts)
                                           : msOf(ts, stream.time_base) - msOf(videoOrigin(), videoStream().time_base);
        AVPacket* raw = packet.release();
        out.packet = std::shared_ptr<const AVPacket>(raw, [](const AVPacket* p) {
            AVPacket* owned = const_cast<AVPacket*>(p);
            av_packet_free(&owned);
        });
        return Read::Packet;
    }
}

}  // namespace tarvolen
