#include "media/VideoFile.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <deque>
#include <limits>
#include <mutex>
#include <new>
#include <stdexcept>

#include <opencv2/imgproc.hpp>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include "media/Demuxer.h"

namespace tarvolen {
namespace {

constexpr double kMsPerSecond = 1000.0;
constexpr double kNominalFps = 30.0;  // the period of frames with no duration in a file with no rate
// Read errors in a row, the position in the file not moving, after which the
// rest of the file counts as unreadable.
constexpr int kMaxStuckReads = 64;
// What OpenCV's FFmpeg reader converts with; the same flags give the same
// pixels.
constexpr int kScaleFlags = SWS_BICUBIC;
// Video packets whose arrival is remembered until their frame comes out of
// the decoder (which may hold a few for reordering).
constexpr std::size_t kArrivalsKept = 64;

struct CodecFreer {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct PacketFreer {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct FrameFreer {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct ScalerFreer {
    void operator()(SwsContext* s) const { sws_freeContext(s); }
};

double seconds(AVRational r) { return r.den == 0 ? 0.0 : av_q2d(r); }

bool corrupt(const AVFrame& frame) { return frame.decode_error_flags != 0 || (frame.flags & AV_FRAME_FLAG_CORRUPT); }

// A picture of the program's own that nobody else refers to: one lent from
// the decoder (below) is never written into.
bool soleOwner(const cv::Mat& m) {
    return m.u != nullptr && m.u->currAllocator == cv::Mat::getDefaultAllocator() &&
           __atomic_load_n(&m.u->refcount, __ATOMIC_ACQUIRE) == 1;
}

// Lends the decoder's own luma plane as a matrix, without a copy: the
// matrix's data holds a reference to the decoded frame, which goes back to
// the decoder with the last copy of the matrix. Nobody writes into it (the
// decoder may still predict other frames from it): it is never solely owned,
// and a matrix made anew on it is allocated afresh.
class LentPlanes final : public cv::MatAllocator {
public:
    // Never destroyed: a matrix may be let go of during the program's exit.
    static const LentPlanes& instance() {
        static const LentPlanes* const planes = new LentPlanes();
        return *planes;
    }

    // The frame's 8-bit luma plane; takes the reference over.
    cv::Mat lend(std::unique_ptr<AVFrame, FrameFreer> frame) const {
        cv::Mat plane(frame->height, frame->width, CV_8UC1, frame->data[0],
                      static_cast<std::size_t>(frame->linesize[0]));
        auto* data = new cv::UMatData(this);
        data->data = data->origdata = frame->data[0];
        data->size = static_cast<std::size_t>(frame->linesize[0]) * static_cast<std::size_t>(frame->height);
        data->userdata = frame.release();
        data->refcount = 1;
        plane.u = data;
        return plane;
    }

    cv::UMatData* allocate(int, const int*, int, void*, std::size_t*, cv::AccessFlag,
                           cv::UMatUsageFlags) const override {
        return nullptr;  // lends, never allocates (the matrices keep no allocator)
    }
    bool allocate(cv::UMatData*, cv::AccessFlag, cv::UMatUsageFlags) const override { return false; }
    void deallocate(cv::UMatData* data) const override {
        if (data == nullptr) return;
        auto* frame = static_cast<AVFrame*>(data->userdata);
        av_frame_free(&frame);
        delete data;
    }
};

// `picture` as a fresh image of the frame's size and `type`, unless it can be
// written into as it is.
void fitPicture(const AVFrame& frame, int type, cv::Mat& picture) {
    if (!soleOwner(picture) || picture.rows != frame.height || picture.cols != frame.width ||
        picture.type() != type)
        picture = cv::Mat(frame.height, frame.width, type);
}

// Decoded pictures to BGR24 as OpenCV's reader converts them; the scaler is
// reused while frames keep their size and format.
class BgrConverter {
public:
    void convert(const AVFrame& frame, cv::Mat& picture) {
        fitPicture(frame, CV_8UC3, picture);
        scaler.reset(sws_getCachedContext(scaler.release(), frame.width, frame.height,
                                          static_cast<AVPixelFormat>(frame.format), frame.width, frame.height,
                                          AV_PIX_FMT_BGR24, kScaleFlags, nullptr, nullptr, nullptr));
        if (!scaler) throw std::runtime_error("cannot convert the video's pixel format");
        std::uint8_t* planes[4] = {picture.data, nullptr, nullptr, nullptr};
        int steps[4] = {static_cast<int>(picture.step[0]), 0, 0, 0};
        sws_scale(scaler.get(), frame.data, frame.linesize, 0, frame.height, planes, steps);
    }

private:
    std::unique_ptr<SwsContext, ScalerFreer> scaler;
};

// The converter of the pictures asked for after they were read, shared by the
// frames of one file, whichever thread asks.
struct SharedConverter {
    std::mutex mutex;
    BgrConverter converter;
};

// A luma frame's gray levels, and its BGR made from a reference to the
// decoder's picture, which is released once converted.
class DecoderLuma final : public LumaFrame {
public:
    DecoderLuma(cv::Mat codeLevels, std::unique_ptr<AVFrame, FrameFreer> decoded,
                std::shared_ptr<SharedConverter> shared)
        : levels(std::move(codeLevels)), frame(std::move(decoded)), converter(std::move(shared)) {}

    const cv::Mat& grayLevels() const override { return levels; }

    cv::Mat bgr() const override {
        std::lock_guard<std::mutex> lock(mutex);
        if (frame) {
            cv::Mat converted;
            {
                std::lock_guard<std::mutex> converting(converter->mutex);
                converter->converter.convert(*frame, converted);
            }
            picture = converted;
            frame.reset();
        }
        return picture;
    }

private:
    const cv::Mat levels;
    mutable std::mutex mutex;
    mutable std::unique_ptr<AVFrame, FrameFreer> frame;
    mutable cv::Mat picture;
    const std::shared_ptr<SharedConverter> converter;
};

// Frames whose luma plane is the picture: whole 8- to 16-bit samples in
// native byte order, with chroma beside them.
constexpr int kGrayDepth = 8;
constexpr int kMaxLumaDepth = 16;
constexpr std::uint64_t kNoLumaPlane = AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_PAL | AV_PIX_FMT_FLAG_HWACCEL |
                                       AV_PIX_FMT_FLAG_BITSTREAM | AV_PIX_FMT_FLAG_FLOAT |
                                       AV_PIX_FMT_FLAG_BAYER | AV_PIX_FMT_FLAG_BE;

// The luma plane's bit depth; nothing for RGB, gray, palette, packed, Bayer,
// float and hardware formats, which go through BGR.
std::optional<int> lumaDepthOf(const AVFrame& frame) {
    const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame.format));
    if (d == nullptr || (d->flags & kNoLumaPlane) != 0 || d->nb_components < 3 || frame.linesize[0] <= 0)
        return std::nullopt;
    const AVComponentDescriptor& y = d->comp[0];
    const int sampleBytes = y.depth > kGrayDepth ? 2 : 1;
    if (y.plane != 0 || y.offset != 0 || y.shift != 0 || y.step != sampleBytes || y.depth < kGrayDepth ||
        y.depth > kMaxLumaDepth)
        return std::nullopt;
    return y.depth;
}

// Sets every sample of a plane of `frame` to `value`.
void fillPlane(AVFrame& frame, int plane, int rows, int depth, int value) {
    for (int row = 0; row < rows; ++row) {
        std::uint8_t* line = frame.data[plane] + static_cast<std::ptrdiff_t>(row) * frame.linesize[plane];
        if (depth > kGrayDepth) {
            std::fill_n(reinterpret_cast<std::uint16_t*>(line), frame.linesize[plane] / 2,
                        static_cast<std::uint16_t>(value));
        } else {
            std::fill_n(line, frame.linesize[plane], static_cast<std::uint8_t>(value));
        }
    }
}

// The gray level of every luma code of frames like `like` (format and width):
// what the reader's own BGR conversion and cv::cvtColor make of a colourless
// pixel of that code. So the gray matches the BGR pictures however swscale
// reads the format's range (limited, unless a JPEG format), and a coloured
// pixel differs only by the rounding of its channels.
std::vector<std::uint8_t> grayLevels(const AVFrame& like, int depth) {
    const int codes = 1 << depth;
    const auto format = static_cast<AVPixelFormat>(like.format);
    const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(format);
    // Every code once, row after row at the frame's own width (swscale picks
    // its way by the width), in whole chroma rows.
    const int chromaRows = 1 << d->log2_chroma_h;
    const int rows = ((codes + like.width - 1) / like.width + chromaRows - 1) / chromaRows * chromaRows;
    std::unique_ptr<AVFrame, FrameFreer> ramp(av_frame_alloc());
    if (!ramp) throw std::bad_alloc();
    ramp->format = format;
    ramp->width = like.width;
    ramp->height = rows;
    if (av_frame_get_buffer(ramp.get(), 0) < 0) throw std::bad_alloc();
    for (int plane = 1; plane < AV_NUM_DATA_POINTERS && ramp->data[plane] != nullptr; ++plane) {
        const int planeRows = plane == 3 ? rows : AV_CEIL_RSHIFT(rows, d->log2_chroma_h);
        fillPlane(*ramp, plane, planeRows, depth, 1 << (depth - 1));  // no colour (or half alpha)
    }
    fillPlane(*ramp, 0, rows, depth, codes - 1);
    for (int code = 0; code < codes; ++code) {
        std::uint8_t* line =
            ramp->data[0] + static_cast<std::ptrdiff_t>(code / like.width) * ramp->linesize[0];
        if (depth > kGrayDepth) {
            reinterpret_cast<std::uint16_t*>(line)[code % like.width] = static_cast<std::uint16_t>(code);
        } else {
            line[code % like.width] = static_cast<std::uint8_t>(code);
        }
    }
    BgrConverter converter;
    cv::Mat bgr, gray;
    converter.convert(*ramp, bgr);
    cv::cvtColor(bgr, gray, cv::COLOR_BGR2GRAY);
    std::vector<std::uint8_t> levels(static_cast<std::size_t>(codes));
    for (int code = 0; code < codes; ++code)
        levels[static_cast<std::size_t>(code)] = gray.at<std::uint8_t>(code / like.width, code % like.width);
    return levels;
}

}  // namespace

struct VideoFile::State {
    std::string path;
    VideoFileOptions options;
    std::unique_ptr<Demuxer> demuxer;
    AVFormatContext* format = nullptr;  // the demuxer's
    std::unique_ptr<AVCodecContext, CodecFreer> codec;
    std::unique_ptr<AVPacket, PacketFreer> packet{av_packet_alloc()};
    std::unique_ptr<AVFrame, FrameFreer> decoded{av_frame_alloc()};
    BgrConverter colourConverter;
    FramePictures pictures = FramePictures::Colour;
    std::shared_ptr<SharedConverter> laterConverter;  // of the frames given as luma
    // The gray of every luma code, for frames of `levelsFormat` and
    // `levelsWidth`: 8-bit codes' handed on with the frames, deeper ones'
    // applied here.
    cv::Mat grayLevelTable;
    std::vector<std::uint8_t> deepGrayLevels;
    int levelsFormat = AV_PIX_FMT_NONE;
    int levelsWidth = 0;
    int stream = -1;
    AVRational timeBase{0, 1};
    std::int64_t startTs = AV_NOPTS_VALUE;
    double periodMs = kMsPerSecond / kNominalFps;

    std::int64_t nextIndex = 0;
    double lastMs = -std::numeric_limits<double>::infinity();
    double discardBeforeMs = -std::numeric_limits<double>::infinity();
    bool demuxEnded = false;
    bool countDiscarded = false;  // frames before discardBeforeMs keep their numbers
    int stuckReads = 0;
    int decoderErrors = 0;
    bool gaveUp = false;  // the rest of the file could not be read
    std::int64_t lastReadPosition = -1;
    int pendingDamage = 0;
    std::vector<DamagedStretch> damage;
    // Presentation time and arrival of the video packets handed to the
    // decoder whose frames have not come out yet.
    std::deque<std::pair<std::int64_t, StreamPacket::Clock::time_point>> arrivals;
    std::optional<StreamPacket::Clock::time_point> lastArrival;

    const AVStream& videoStream() const { return *format->streams[stream]; }
    bool openAt(const std::string& file, std::string& error);
    void noteArrival(const StreamPacket& packet);
    std::optional<StreamPacket::Clock::time_point> arrivalOf(std::int64_t pts);
    bool receive(VideoFrame& frame);
    bool feedDecoder();
    double frameTimeMs(const AVFrame& frame);
    void convert(const AVFrame& frame, VideoFrame& out);
    void copyLuma(const AVFrame& frame, int depth, cv::Mat& picture);
    void noteDamage() { ++pendingDamage; }
    void closeStretch(double atMs);
    std::int64_t countFramesBefore(std::int64_t ts);
    bool rewindTo(std::int64_t ts);
};

bool VideoFile::State::openAt(const std::string& file, std::string& error) {
    path = file;
    demuxer = Demuxer::open(file, DemuxOptions{options.timeout}, error);
    if (!demuxer) return false;
    format = demuxer->context();
    stream = demuxer->videoIndex();
    const AVCodec* decoder = avcodec_find_decoder(videoStream().codecpar->codec_id);
    if (decoder == nullptr) {
        error = "has no decoder for its video";
        return false;
    }
    codec.reset(avcodec_alloc_context3(decoder));
    if (!codec || avcodec_parameters_to_context(codec.get(), videoStream().codecpar) < 0) {
        error = "cannot set up its decoder";
        return false;
    }
    codec->thread_count = 0;  // as many as the decoder finds useful
    // H.264 in slices in parallel, not frames: with frame threads its decoder
    // neither conceals errors nor flags the frames they hit, and a stretch
    // lost without the demuxer noticing would go uncounted. The price is
    // speed on streams of one slice a frame (a third slower at 1080p on two
    // cores). Other decoders conceal, or not, alike either way, and keep
    // their faster frame threads.
    codec->thread_type =
        codec->codec_id == AV_CODEC_ID_H264 ? FF_THREAD_SLICE : FF_THREAD_FRAME | FF_THREAD_SLICE;
    if (avcodec_open2(codec.get(), decoder, nullptr) < 0) {
        error = "cannot open its decoder";
        return false;
    }
    if (!packet || !decoded) throw std::bad_alloc();
    timeBase = videoStream().time_base;
    startTs = videoStream().start_time;
    const double fps = seconds(videoStream().avg_frame_rate) > 0 ? seconds(videoStream().avg_frame_rate)
                                                                  : seconds(videoStream().r_frame_rate);
    if (fps > 0 && std::isfinite(fps)) periodMs = kMsPerSecond / fps;
    return true;
}

void VideoFile::State::closeStretch(double atMs) {
    if (pendingDamage == 0) return;
    damage.push_back(DamagedStretch{nextIndex, std::isfinite(atMs) ? atMs : 0.0, pendingDamage});
    pendingDamage = 0;
}

// Hands the decoder the next packet of the video stream, or tells it the
// file has ended. False once there is nothing more to hand over. Every
// packet read, video or sound, goes to the packet tap first.
bool VideoFile::State::feedDecoder() {
    if (demuxEnded) return false;
    StreamPacket read;
    for (;;) {
        const Demuxer::Read outcome = demuxer->read(read);
        if (outcome == Demuxer::Read::End) {
            demuxEnded = true;
            avcodec_send_packet(codec.get(), nullptr);  // drain what the decoder holds
            return true;
        }
        if (outcome == Demuxer::Read::Failed) {
            // A network read that timed out or was interrupted: the stream
            // gives nothing more. In a file, a damaged stretch the demuxer
            // cannot parse: go on unless the position no longer moves.
            const std::int64_t position = demuxer->bytePosition();
            stuckReads = position == lastReadPosition ? stuckReads + 1 : 0;
            lastReadPosition = position;
            if (options.timeout.count() == 0) noteDamage();
            if (options.timeout.count() > 0 || stuckReads >= kMaxStuckReads) {
                demuxEnded = true;
                gaveUp = options.timeout.count() == 0;
                avcodec_send_packet(codec.get(), nullptr);
                return true;
            }
            continue;
        }
        stuckReads = 0;
        if (options.onPacket) options.onPacket(read);
        if (read.kind != StreamKind::Video) continue;
        // The demuxer marks what it could not read whole (a broken
        // transport stream's continuity, a cut packet).
        if (read.packet->flags & AV_PKT_FLAG_CORRUPT) noteDamage();
        noteArrival(read);
        const int sent = avcodec_send_packet(codec.get(), read.packet.get());
        if (sent < 0 && sent != AVERROR(EAGAIN)) noteDamage();
        return true;
    }
}

void VideoFile::State::noteArrival(const StreamPacket& read) {
    const std::int64_t pts = read.packet->pts != AV_NOPTS_VALUE ? read.packet->pts : read.packet->dts;
    if (arrivals.size() >= kArrivalsKept) arrivals.pop_front();
    arrivals.emplace_back(pts, read.arrival);
}

std::optional<StreamPacket::Clock::time_point> VideoFile::State::arrivalOf(std::int64_t pts) {
    for (auto it = arrivals.begin(); it != arrivals.end(); ++it) {
        if (it->first != pts) continue;
        const StreamPacket::Clock::time_point arrival = it->second;
        arrivals.erase(it);
        return arrival;
    }
    return std::nullopt;
}

double VideoFile::State::frameTimeMs(const AVFrame& frame) {
    const std::int64_t ts = frame.best_effort_timestamp;
    double ms = std::numeric_limits<double>::quiet_NaN();
    if (ts != AV_NOPTS_VALUE) {
        if (startTs == AV_NOPTS_VALUE) startTs = ts;
        ms = static_cast<double>(ts - startTs) * seconds(timeBase) * kMsPerSecond;
    }
    if (!std::isfinite(lastMs)) return std::isfinite(ms) ? ms : std::max(0.0, discardBeforeMs);
    // A frame without a time, or out of order, follows the one before it by
    // its own duration.
    if (!std::isfinite(ms) || ms <= lastMs) {
        const double durationMs = frame.pkt_duration > 0
                                      ? static_cast<double>(frame.pkt_duration) * seconds(timeBase) * kMsPerSecond
                                      : periodMs;
        ms = lastMs + durationMs;
    }
    return ms;
}

void VideoFile::State::convert(const AVFrame& frame, VideoFrame& out) {
    out.luma.reset();
    const std::optional<int> lumaDepth = pictures == FramePictures::Luma ? lumaDepthOf(frame) : std::nullopt;
    if (!lumaDepth) {
        colourConverter.convert(frame, out.picture);
        return;
    }
    copyLuma(frame, *lumaDepth, out.picture);
    // A reference, not a copy: the decoder's picture stays until it is
    // converted or the frame is dropped.
    std::unique_ptr<AVFrame, FrameFreer> kept(av_frame_clone(&frame));
    if (!kept) throw std::bad_alloc();
    if (!laterConverter) laterConverter = std::make_shared<SharedConverter>();
    out.luma = std::make_shared<DecoderLuma>(grayLevelTable, std::move(kept), laterConverter);
}

// 8-bit codes are lent as they are, their gray levels applied by whoever has
// scaled them down; deeper ones are made gray levels here.
void VideoFile::State::copyLuma(const AVFrame& frame, int depth, cv::Mat& picture) {
    if (frame.format != levelsFormat || frame.width != levelsWidth) {
        const std::vector<std::uint8_t> levels = grayLevels(frame, depth);
        if (depth == kGrayDepth) {
            grayLevelTable = cv::Mat(levels, true).reshape(1, 1);
        } else {
            deepGrayLevels = levels;
            grayLevelTable = cv::Mat(1, 1 << kGrayDepth, CV_8UC1);
            for (int level = 0; level < grayLevelTable.cols; ++level)
                grayLevelTable.at<std::uint8_t>(level) = static_cast<std::uint8_t>(level);
        }
        levelsFormat = frame.format;
        levelsWidth = frame.width;
    }
    if (depth == kGrayDepth) {
        std::unique_ptr<AVFrame, FrameFreer> lent(av_frame_clone(&frame));
        if (!lent) throw std::bad_alloc();
        picture = LentPlanes::instance().lend(std::move(lent));
        return;
    }
    fitPicture(frame, CV_8UC1, picture);
    const auto maxCode = static_cast<std::uint16_t>(deepGrayLevels.size() - 1);
    for (int row = 0; row < frame.height; ++row) {
        const auto* codes = reinterpret_cast<const std::uint16_t*>(
            frame.data[0] + static_cast<std::ptrdiff_t>(row) * frame.linesize[0]);
        std::uint8_t* gray = picture.ptr<std::uint8_t>(row);
        // A code past the depth (a damaged frame) counts as its white.
        for (int col = 0; col < frame.width; ++col) gray[col] = deepGrayLevels[std::min(codes[col], maxCode)];
    }
}

bool VideoFile::State::receive(VideoFrame& out) {
    for (;;) {
        const int got = avcodec_receive_frame(codec.get(), decoded.get());
        if (got == AVERROR(EAGAIN)) {
            if (!feedDecoder()) break;
            continue;
        }
        if (got == AVERROR_EOF) break;
        if (got < 0) {
            // The decoder could not make a frame of what it was given.
            noteDamage();
            if (++decoderErrors >= kMaxStuckReads) {
                gaveUp = true;
                break;
            }
            continue;
        }
        decoderErrors = 0;
        if (corrupt(*decoded)) noteDamage();
        const double ms = frameTimeMs(*decoded);
        if (ms < discardBeforeMs) {
            if (countDiscarded) ++nextIndex;
            av_frame_unref(decoded.get());
            continue;
        }
        closeStretch(ms);
        lastArrival = arrivalOf(decoded->pts != AV_NOPTS_VALUE ? decoded->pts : decoded->best_effort_timestamp);
        convert(*decoded, out);
        av_frame_unref(decoded.get());
        out.index = nextIndex++;
        out.timeMs = ms;
        lastMs = ms;
        return true;
    }
    closeStretch(lastMs);
    return false;
}

// Frames of the video stream whose time is before `ts`, counted from the
// packets from the start of the file, without decoding.
std::int64_t VideoFile::State::countFramesBefore(std::int64_t ts) {
    std::int64_t count = 0;
    while (av_read_frame(format, packet.get()) >= 0) {
        if (packet->stream_index == stream) {
            const std::int64_t packetTs = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
            if (packetTs != AV_NOPTS_VALUE && packetTs < ts) ++count;
        }
        av_packet_unref(packet.get());
    }
    return count;
}

bool VideoFile::State::rewindTo(std::int64_t ts) {
    avcodec_flush_buffers(codec.get());
    demuxEnded = false;
    arrivals.clear();
    return av_seek_frame(format, stream, ts, AVSEEK_FLAG_BACKWARD) >= 0;
}

VideoFile::VideoFile(std::unique_ptr<State> s) : state(std::move(s)) {}

VideoFile::~VideoFile() = default;

std::unique_ptr<VideoFile> VideoFile::open(const std::string& path, std::string& error) {
    return open(path, VideoFileOptions{}, error);
}

std::unique_ptr<VideoFile> VideoFile::open(const std::string& path, const VideoFileOptions& options,
                                           std::string& error) {
    auto state = std::make_unique<State>();
    state->options = options;
    if (!state->openAt(path, error)) return nullptr;
    return std::unique_ptr<VideoFile>(new VideoFile(std::move(state)));
}

cv::Size VideoFile::frameSize() const {
    const AVCodecParameters& p = *state->videoStream().codecpar;
    return cv::Size(p.width, p.height);
}

double VideoFile::reportedFps() const {
    const AVStream& s = state->videoStream();
    const double average = seconds(s.avg_frame_rate);
    return average > 0 ? average : std::max(0.0, seconds(s.r_frame_rate));
}

std::int64_t VideoFile::announcedFrames() const {
    // Only a count the container states: one estimated from a duration and a
    // rate is wrong for any file whose rate varies.
    return std::max<std::int64_t>(0, state->videoStream().nb_frames);
}

double VideoFile::durationMs() const {
    const AVStream& s = state->videoStream();
    if (s.duration != AV_NOPTS_VALUE && s.duration > 0)
        return static_cast<double>(s.duration) * seconds(s.time_base) * kMsPerSecond;
    if (state->format->duration != AV_NOPTS_VALUE && state->format->duration > 0)
        return static_cast<double>(state->format->duration) * kMsPerSecond / AV_TIME_BASE;
    return 0.0;
}

bool VideoFile::read(VideoFrame& frame) { return state->receive(frame); }

void VideoFile::setPictures(FramePictures pictures) { state->pictures = pictures; }

bool VideoFile::skipTo(double ms) {
    State& s = *state;
    if (!(ms > 0)) return true;
    const std::int64_t origin = s.startTs != AV_NOPTS_VALUE ? s.startTs : 0;
    const std::int64_t target =
        origin + static_cast<std::int64_t>(std::floor(ms / kMsPerSecond / seconds(s.timeBase)));
    const std::int64_t before = s.countFramesBefore(target);
    if (!s.rewindTo(target) && !s.rewindTo(origin)) {
        // A container that cannot seek is read again from its start.
        std::string ignored;
        auto fresh = std::make_unique<State>();
        fresh->options = s.options;
        if (!fresh->openAt(s.path, ignored)) return false;
        fresh->pictures = s.pictures;
        state = std::move(fresh);
        state->discardBeforeMs = ms;
        state->countDiscarded = true;
        return true;
    }
    s.nextIndex = before;
    s.discardBeforeMs = ms;
    s.lastMs = -std::numeric_limits<double>::infinity();
    return true;
}

const std::vector<DamagedStretch>& VideoFile::damage() const { return state->damage; }

std::optional<std::chrono::steady_clock::time_point> VideoFile::lastArrival() const { return state->lastArrival; }

const std::shared_ptr<const StreamLayout>& VideoFile::layout() const { return state->demuxer->layout(); }

void VideoFile::interrupt() { state->demuxer->interrupt(); }

bool VideoFile::endedEarly() const { return state->gaveUp; }

void VideoFile::quietenLibraryLog() {
    const char* level = std::getenv("OPENCV_FFMPEG_LOGLEVEL");
    av_log_set_level(level != nullptr ? std::atoi(level) : AV_LOG_QUIET);
}

}  // namespace tarvolen
