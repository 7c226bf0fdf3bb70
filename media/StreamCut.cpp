#include "media/StreamCut.h"

#include <algorithm>
#include <cmath>
#include <deque>
#include <limits>
#include <memory>
#include <new>
#include <optional>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <opencv2/core.hpp>

#include "media/DiskGuard.h"
#include "platform/ProgramGuard.h"

namespace tarvolen {
namespace {

// The packets from the keyframe to the event's first frame are held until
// it is known that no later keyframe comes before the event. A stream whose
// keyframes lie further apart than this is refused rather than held.
constexpr std::size_t kMaxHeldBytes = 256ull << 20;
constexpr double kMsPerSecond = 1000.0;

std::string ffmpegError(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

struct PacketFree {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
using Packet = std::unique_ptr<AVPacket, PacketFree>;

Packet newPacket() {
    Packet p(av_packet_alloc());
    if (!p) throw std::bad_alloc();
    return p;
}

struct InputFile {
    AVFormatContext* context = nullptr;
    int video = -1;
    int audio = -1;
    ~InputFile() { avformat_close_input(&context); }
    AVStream* stream(int index) const { return context->streams[index]; }
};

struct OutputFile {
    AVFormatContext* context = nullptr;
    bool headerWritten = false;
    ~OutputFile() {
        if (context == nullptr) return;
        if (context->pb != nullptr) avio_closep(&context->pb);
        avformat_free_context(context);
    }
};

// An empty string, or why the source cannot be cut.
std::string openInput(const std::string& path, InputFile& in) {
    int code = avformat_open_input(&in.context, path.c_str(), nullptr, nullptr);
    if (code < 0) return "cannot open " + path + ": " + ffmpegError(code);
    code = avformat_find_stream_info(in.context, nullptr);
    if (code < 0) return "cannot read the streams of " + path + ": " + ffmpegError(code);
    in.video = av_find_best_stream(in.context, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (in.video < 0) return path + " has no video stream";
    in.audio = av_find_best_stream(in.context, AVMEDIA_TYPE_AUDIO, -1, in.video, nullptr, 0);
    return "";
}

bool fitsMp4(const AVCodecParameters& codec) {
    static const AVOutputFormat* const mp4 = av_guess_format("mp4", nullptr, nullptr);
    return mp4 != nullptr && avformat_query_codec(mp4, codec.codec_id, FF_COMPLIANCE_NORMAL) == 1;
}

std::int64_t packetTime(const AVPacket& p) { return p.pts != AV_NOPTS_VALUE ? p.pts : p.dts; }
std::int64_t decodeTime(const AVPacket& p) { return p.dts != AV_NOPTS_VALUE ? p.dts : p.pts; }

class Cut {
public:
    Cut(const std::string& sourcePath, const std::string& clipPath) : source(sourcePath), clip(clipPath) {}
    StreamCutResult run(double startMs, double endMs);

private:
    std::string openOutput();
    std::string read(double startMs, double endMs);
    std::string take(Packet packet);
    std::string takeBeforeStart(Packet packet, std::int64_t time);
    std::string startWriting();
    std::string write(AVPacket& packet);
    std::string finish();
    std::int64_t ticks(double ms) const;
    double msOf(std::int64_t ts) const;
    bool rewind();

    const std::string source;
    const std::string clip;
    InputFile in;
    OutputFile out;
    DiskGuard guard;
    int outputOf[2] = {-1, -1};  // the output streams of in.video and in.audio
    std::int64_t origin = 0;     // the source video's start, in its time base
    std::int64_t startTs = 0;
    std::int64_t endTs = 0;
    std::int64_t endUs = 0;  // where the sound ends
    std::deque<Packet> held;  // from the keyframe on, before writing starts
    std::size_t heldBytes = 0;
    bool haveKeyframe = false;
    bool rewound = false;
    bool writing = false;
    bool videoDone = false;
    bool audioDone = false;
    std::int64_t offsetUs = 0;   // subtracted from every time in the clip
    std::int64_t keyTimeUs = 0;  // the starting keyframe's time
    std::int64_t firstPts = 0;
    std::int64_t lastPts = std::numeric_limits<std::int64_t>::min();
    std::int64_t videoWritten = 0;
};

std::int64_t Cut::ticks(double ms) const {
    const AVRational base = in.stream(in.video)->time_base;
    return origin + std::llround(ms / kMsPerSecond * base.den / base.num);
}

double Cut::msOf(std::int64_t ts) const {
    return static_cast<double>(ts - origin) * av_q2d(in.stream(in.video)->time_base) * kMsPerSecond;
}

StreamCutResult Cut::run(double startMs, double endMs) {
    StreamCutResult result;
    std::string problem = openInput(source, in);
    if (problem.empty()) problem = openOutput();
    if (problem.empty()) problem = read(startMs, endMs);
    const std::string finished = finish();
    if (problem.empty()) problem = finished;
    result.ok = problem.empty();
    if (!result.ok) result.failure = clip + ": " + problem.substr(0, problem.find('\n'));
    result.videoPackets = videoWritten;
    result.hasAudio = outputOf[1] >= 0;
    if (videoWritten > 0) {
        result.firstMs = msOf(firstPts);
        result.lastMs = msOf(lastPts);
    }
    return result;
}

std::string Cut::openOutput() {
    int code = avformat_alloc_output_context2(&out.context, nullptr, nullptr, clip.c_str());
    if (code < 0 || out.context == nullptr) return "no container for this file name";
    const int inputs[] = {in.video, in.audio};
    for (int i = 0; i < 2; ++i) {
        if (inputs[i] < 0) continue;
        AVStream* stream = avformat_new_stream(out.context, nullptr);
        if (!stream || avcodec_parameters_copy(stream->codecpar, in.stream(inputs[i])->codecpar) < 0)
            throw std::bad_alloc();
        stream->codecpar->codec_tag = 0;  // the new container picks its own
        stream->time_base = in.stream(inputs[i])->time_base;
        outputOf[i] = stream->index;
    }
    code = avio_open(&out.context->pb, clip.c_str(), AVIO_FLAG_WRITE);
    if (code < 0) return "it cannot be created: " + ffmpegError(code);
    const AVCodecParameters& video = *in.stream(in.video)->codecpar;
    if (!guard.attach(clip, cv::Size(video.width, video.height))) return "it cannot be watched for room";
    return "";
}

bool Cut::rewind() {
    rewound = true;
    held.clear();
    heldBytes = 0;
    haveKeyframe = false;
    return avformat_seek_file(in.context, in.video, std::numeric_limits<std::int64_t>::min(), origin, origin, 0) >= 0;
}

std::string Cut::read(double startMs, double endMs) {
    AVStream* video = in.stream(in.video);
    origin = video->start_time != AV_NOPTS_VALUE ? video->start_time : 0;
    startTs = ticks(startMs);
    endTs = ticks(endMs);
    // Sound runs to the end of the last frame.
    const AVRational rate = video->avg_frame_rate.num > 0 ? video->avg_frame_rate : video->r_frame_rate;
    const std::int64_t periodUs =
        rate.num > 0 && rate.den > 0 ? av_rescale_q(1, av_inv_q(rate), AV_TIME_BASE_Q) : 0;
    endUs = av_rescale_q(endTs, video->time_base, AV_TIME_BASE_Q) + periodUs;
    // Where the container cannot seek, the file is read from its start.
    if (av_seek_frame(in.context, in.video, startTs, AVSEEK_FLAG_BACKWARD) < 0) rewound = true;
    for (;;) {
        Packet packet = newPacket();
        const int code = av_read_frame(in.context, packet.get());
        if (code == AVERROR_EOF || code < 0) break;  // a broken tail ends the clip as it ends the scan
        std::string problem = take(std::move(packet));
        if (!problem.empty()) return problem;
        if (videoDone && (outputOf[1] < 0 || audioDone)) break;
    }
    if (!haveKeyframe) return "no keyframe at or after the event's start in " + source;
    return writing ? std::string() : startWriting();
}

std::string Cut::take(Packet packet) {
    const bool isVideo = packet->stream_index == in.video;
    const bool isAudio = packet->stream_index == in.audio && in.audio >= 0;
    if (!isVideo && !isAudio) return "";
    const AVRational base = in.stream(packet->stream_index)->time_base;
    const std::int64_t time = packetTime(*packet);
    if (!writing) return takeBeforeStart(std::move(packet), time);
    if (isVideo) {
        if (videoDone || decodeTime(*packet) > endTs) {
            videoDone = true;
            return "";
        }
        return write(*packet);
    }
    if (audioDone || (time != AV_NOPTS_VALUE && av_rescale_q(time, base, AV_TIME_BASE_Q) >= endUs)) {
        audioDone = true;
        return "";
    }
    return write(*packet);
}

std::string Cut::takeBeforeStart(Packet packet, std::int64_t time) {
    const bool isVideo = packet->stream_index == in.video;
    const bool keyframe = isVideo && (packet->flags & AV_PKT_FLAG_KEY) != 0;
    if (keyframe && time != AV_NOPTS_VALUE && time <= startTs) {
        // A later keyframe still before the event makes a shorter clip.
        held.clear();
        heldBytes = 0;
        haveKeyframe = true;
    } else if (!haveKeyframe) {
        if (!keyframe) return "";
        // The seek went past the event: read from the start. Failing that,
        // or with no keyframe before the event at all, the clip starts at
        // the first keyframe there is.
        if (!rewound && rewind()) return "";
        haveKeyframe = true;
    }
    heldBytes += static_cast<std::size_t>(std::max(packet->size, 0));
    if (heldBytes > kMaxHeldBytes) return "the keyframes of " + source + " lie too far apart to cut it";
    const bool eventReached = isVideo && time != AV_NOPTS_VALUE && time > startTs;
    held.push_back(std::move(packet));
    return eventReached ? startWriting() : "";
}

std::string Cut::startWriting() {
    writing = true;
    const AVPacket& key = *held.front();
    const AVRational videoBase = in.stream(in.video)->time_base;
    offsetUs = av_rescale_q(decodeTime(key), videoBase, AV_TIME_BASE_Q);
    keyTimeUs = av_rescale_q(packetTime(key), videoBase, AV_TIME_BASE_Q);
    firstPts = packetTime(key);
    AVDictionary* options = nullptr;
    if (std::string(out.context->oformat->name).find("mp4") != std::string::npos)
        av_dict_set(&options, "movflags", "+faststart", 0);
    const int code = avformat_write_header(out.context, &options);
    av_dict_free(&options);
    if (code < 0) return "its header cannot be written: " + ffmpegError(code);
    out.headerWritten = true;
    std::deque<Packet> ready = std::move(held);
    held.clear();
    for (Packet& packet : ready) {
        const bool isVideo = packet->stream_index == in.video;
        const AVRational base = in.stream(packet->stream_index)->time_base;
        // Sound from before the starting keyframe has no picture to go with.
        if (!isVideo && (packetTime(*packet) == AV_NOPTS_VALUE ||
                         av_rescale_q(packetTime(*packet), base, AV_TIME_BASE_Q) < keyTimeUs))
            continue;
        std::string problem = isVideo && decodeTime(*packet) > endTs ? std::string() : write(*packet);
        if (!problem.empty()) return problem;
    }
    return "";
}

std::string Cut::write(AVPacket& packet) {
    const bool isVideo = packet.stream_index == in.video;
    if (isVideo) {
        if (const std::optional<std::string> reason = guard.check(static_cast<std::uint64_t>(videoWritten)))
            return *reason;
        if (packet.pts != AV_NOPTS_VALUE) lastPts = std::max(lastPts, packet.pts);
    }
    const AVRational base = in.stream(packet.stream_index)->time_base;
    const std::int64_t shift = av_rescale_q(offsetUs, AV_TIME_BASE_Q, base);
    if (packet.pts != AV_NOPTS_VALUE) packet.pts -= shift;
    if (packet.dts != AV_NOPTS_VALUE) packet.dts -= shift;
    packet.stream_index = outputOf[isVideo ? 0 : 1];
    av_packet_rescale_ts(&packet, base, out.context->streams[packet.stream_index]->time_base);
    packet.pos = -1;
    const int code = av_interleaved_write_frame(out.context, &packet);
    if (code < 0 || out.context->pb->error < 0)
        return "writing failed: " + ffmpegError(out.context->pb->error < 0 ? out.context->pb->error : code);
    if (isVideo) ++videoWritten;
    return "";
}

std::string Cut::finish() {
    std::string problem;
    if (out.headerWritten) {
        const int code = av_write_trailer(out.context);
        if (code < 0 || out.context->pb->error < 0)
            problem = "finishing the file failed: " + ffmpegError(out.context->pb->error < 0 ? out.context->pb->error : code);
        out.headerWritten = false;
    }
    if (out.context != nullptr && out.context->pb != nullptr) {
        const int code = avio_closep(&out.context->pb);
        if (problem.empty() && code < 0) problem = "finishing the file failed: " + ffmpegError(code);
    }
    return problem;
}

}  // namespace

std::string streamCutExtension(const std::string& source) {
    InputFile in;
    if (!openInput(source, in).empty()) return ".mkv";
    const bool videoFits = fitsMp4(*in.stream(in.video)->codecpar);
    const bool audioFits = in.audio < 0 || fitsMp4(*in.stream(in.audio)->codecpar);
    return videoFits && audioFits ? ".mp4" : ".mkv";
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
