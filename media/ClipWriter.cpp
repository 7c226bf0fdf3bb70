#include "media/ClipWriter.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <new>
#include <system_error>
#include <utility>

#include <opencv2/imgcodecs.hpp>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include "media/DiskGuard.h"
#include "media/Muxer.h"
#include "platform/ProgramGuard.h"

namespace tarvolen {
namespace {

// Frame rates are kept as fractions precise to 1/1000 of a frame per second
// (29.97 stays 2997/100), which both muxers store exactly.
constexpr int kRateDenominatorLimit = 1001000;

// libx264 announces itself on every clip at FFmpeg's default level; the
// programs print their own lines only. A level the user asked for
// (OPENCV_FFMPEG_LOGLEVEL), or a quieter one a program set, stays.
void keepEncoderQuiet() {
    if (std::getenv("OPENCV_FFMPEG_LOGLEVEL") == nullptr && av_log_get_level() > AV_LOG_ERROR)
        av_log_set_level(AV_LOG_ERROR);
}

const char* formatDescription(ClipFormat format) {
    return format == ClipFormat::Avi ? "a Motion-JPEG AVI file" : "an H.264 MP4 file";
}

}  // namespace

std::optional<ClipFormat> clipFormatNamed(const std::string& name) {
    if (name == "avi") return ClipFormat::Avi;
    if (name == "mp4") return ClipFormat::Mp4;
    return std::nullopt;
}

std::optional<ClipFormat> clipFormatOfPath(const std::string& path) {
    const std::optional<std::string> container = containerForPath(path);
    if (!container) return std::nullopt;
    return clipFormatNamed(*container);
}

const char* clipExtension(ClipFormat format) { return format == ClipFormat::Avi ? ".avi" : ".mp4"; }

// Everything FFmpeg holds for one file: its container and, for MP4, the
// encoder; freed in the right order whatever state it was left in.
struct ClipWriter::Output {
    Muxer file;
    int stream = -1;
    AVCodecContext* encoder = nullptr;  // Mp4 only
    SwsContext* scaler = nullptr;       // Mp4 only
    AVFrame* picture = nullptr;         // Mp4 only
    AVPacket* packet = nullptr;
    AVRational frameTime{1, 30};  // one frame, the encoder's and the packets' time base
    std::int64_t nextPts = 0;

    ~Output() {
        av_packet_free(&packet);
        av_frame_free(&picture);
        sws_freeContext(scaler);
        avcodec_free_context(&encoder);
    }

    // An empty string, or what went wrong.
    std::string open(ClipFormat format, const H264Settings& h264, const std::string& path, double fps,
                     cv::Size size);
    std::string writePacket(AVPacket* written) { return file.write(*written, stream, frameTime); }
    std::string writeJpeg(const std::vector<unsigned char>& jpeg);
    std::string encode(const cv::Mat& bgr);
    std::string finish();

private:
    std::string openH264(const H264Settings& h264, cv::Size size);
    std::string drainEncoder();
};

std::string ClipWriter::Output::open(ClipFormat format, const H264Settings& h264, const std::string& path,
                                     double fps, cv::Size size) {
    std::string problem = file.create(path, format == ClipFormat::Avi ? "avi" : "mp4");
    if (!problem.empty()) return problem;
    packet = av_packet_alloc();
    if (!packet) throw std::bad_alloc();
    const AVRational rate = av_d2q(fps, kRateDenominatorLimit);
    frameTime = av_inv_q(rate);
    if (format == ClipFormat::Avi) {
        AVCodecParameters* mjpeg = avcodec_parameters_alloc();
        if (!mjpeg) throw std::bad_alloc();
        mjpeg->codec_type = AVMEDIA_TYPE_VIDEO;
        mjpeg->codec_id = AV_CODEC_ID_MJPEG;
        mjpeg->format = AV_PIX_FMT_YUVJ420P;
        mjpeg->width = size.width;
        mjpeg->height = size.height;
        try {
            stream = file.addStream(*mjpeg, frameTime);
        } catch (...) {
            avcodec_parameters_free(&mjpeg);
            throw;
        }
        avcodec_parameters_free(&mjpeg);
    } else {
        problem = openH264(h264, size);
        if (!problem.empty()) return problem;
    }
    return file.start(size, MuxerSettings{true, std::chrono::system_clock::now()});
}

std::string ClipWriter::Output::openH264(const H264Settings& h264, cv::Size size) {
    // yuv420p halves both dimensions for the colour planes.
    if (size.width % 2 != 0 || size.height % 2 != 0)
        return "H.264 clips need an even frame width and height (the frames are " + std::to_string(size.width) +
               "x" + std::to_string(size.height) + ")";
    keepEncoderQuiet();
    const AVCodec* codec = avcodec_find_encoder_by_name(h264.encoder.c_str());
    if (!codec) return "the H.264 encoder " + h264.encoder + " is not available";
    encoder = avcodec_alloc_context3(codec);
    picture = av_frame_alloc();
    if (!encoder || !picture) throw std::bad_alloc();
    encoder->width = size.width;
    encoder->height = size.height;
    encoder->pix_fmt = AV_PIX_FMT_YUV420P;
    encoder->time_base = frameTime;
    encoder->framerate = av_inv_q(frameTime);
    encoder->thread_count = h264.threads;
    if (file.wantsGlobalHeader()) encoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    av_opt_set(encoder->priv_data, "preset", h264.preset.c_str(), 0);
    av_opt_set(encoder->priv_data, "crf", std::to_string(h264.crf).c_str(), 0);
    const int code = avcodec_open2(encoder, codec, nullptr);
    if (code < 0) return "the H.264 encoder " + h264.encoder + " cannot be opened: " + ffmpegError(code);
    AVCodecParameters* parameters = avcodec_parameters_alloc();
    if (!parameters || avcodec_parameters_from_context(parameters, encoder) < 0) {
        avcodec_parameters_free(&parameters);
        throw std::bad_alloc();
    }
    try {
        stream = file.addStream(*parameters, encoder->time_base);
    } catch (...) {
        avcodec_parameters_free(&parameters);
        throw;
    }
    avcodec_parameters_free(&parameters);
    picture->format = AV_PIX_FMT_YUV420P;
    picture->width = size.width;
    picture->height = size.height;
    scaler = sws_getContext(size.width, size.height, AV_PIX_FMT_BGR24, size.width, size.height,
                            AV_PIX_FMT_YUV420P, SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (!scaler || av_frame_get_buffer(picture, 0) < 0) throw std::bad_alloc();
    return "";
}

std::string ClipWriter::Output::writeJpeg(const std::vector<unsigned char>& jpeg) {
    av_packet_unref(packet);
    if (av_new_packet(packet, static_cast<int>(jpeg.size())) < 0) throw std::bad_alloc();
    std::memcpy(packet->data, jpeg.data(), jpeg.size());
    packet->pts = packet->dts = nextPts++;
    packet->duration = 1;
    packet->flags |= AV_PKT_FLAG_KEY;
    return writePacket(packet);
}

std::string ClipWriter::Output::encode(const cv::Mat& bgr) {
    if (av_frame_make_writable(picture) < 0) throw std::bad_alloc();
    const std::uint8_t* const planes[] = {bgr.data};
    const int strides[] = {static_cast<int>(bgr.step[0])};
    sws_scale(scaler, planes, strides, 0, bgr.rows, picture->data, picture->linesize);
    picture->pts = nextPts++;
    const int code = avcodec_send_frame(encoder, picture);
    if (code < 0) return "the H.264 encoder failed: " + ffmpegError(code);
    return drainEncoder();
}

std::string ClipWriter::Output::drainEncoder() {
    for (;;) {
        const int code = avcodec_receive_packet(encoder, packet);
        if (code == AVERROR(EAGAIN) || code == AVERROR_EOF) return "";
        if (code < 0) return "the H.264 encoder failed: " + ffmpegError(code);
        const std::string problem = writePacket(packet);
        if (!problem.empty()) return problem;
    }
}

// The encoder's delayed frames, the index and the trailer.
std::string ClipWriter::Output::finish() {
    std::string problem;
    if (stream >= 0 && encoder != nullptr && avcodec_send_frame(encoder, nullptr) >= 0) problem = drainEncoder();
    const std::string finished = file.finish();
    return problem.empty() ? finished : problem;
}

ClipWriter::ClipWriter(ClipFormat format, H264Settings settings) : clipFormat(format), h264(std::move(settings)) {}

ClipWriter::~ClipWriter() { finish(); }

bool ClipWriter::open(const std::string& path, double fps, cv::Size size) {
    if (!work.claim(path)) return false;
    frameSize = size;
    std::string problem = startProblem(path, size).value_or("");
    if (problem.empty() && (size.width <= 0 || size.height <= 0 || !(fps > 0)))
        problem = std::string("it cannot be written as ") + formatDescription(clipFormat);
    if (problem.empty()) {
        try {
            muxer = std::make_unique<Output>();
            problem = muxer->open(clipFormat, h264, path, fps, size);
        } catch (...) {
            problem = describeCurrentException();
        }
    }
    if (problem.empty())
        problem = work.start([this](Entry& entry) { return writeOne(entry); }, [this] { closeMuxer(); });
    if (!problem.empty()) {
        work.stopAccepting(problem);
        closeMuxer();
        return false;
    }
    return true;
}

bool ClipWriter::write(cv::Mat frame) {
    if (frame.size() != frameSize || frame.type() != CV_8UC3 || !accepting()) return false;
    return work.push(Entry{std::move(frame), {}});
}

bool ClipWriter::writeJpeg(std::vector<unsigned char> jpeg) {
    if (jpeg.empty() || !accepting()) return false;
    return work.push(Entry{cv::Mat(), std::move(jpeg)});
}

void ClipWriter::finish() {
    work.finish();
    // The thread has ended (or never ran): the muxer is ours again.
    closeMuxer();
}

bool ClipWriter::writeOne(Entry& entry) {
    // The file's growth is learnt per frame in it; the frames the encoder
    // still holds will be flushed into it when the file is finished.
    const std::uint64_t inFile = muxer->file.videoPacketsWritten();
    if (const std::optional<std::string> reason = muxer->file.roomProblem(written.load() - inFile)) {
        work.giveUp(*reason);
        return false;
    }
    std::string problem;
    const bool passThrough = clipFormat == ClipFormat::Avi && !entry.jpeg.empty();
    if (passThrough) {
        problem = muxer->writeJpeg(entry.jpeg);
    } else if (clipFormat == ClipFormat::Avi) {
        std::vector<unsigned char> jpeg;
        if (!cv::imencode(".jpg", entry.raw, jpeg, {cv::IMWRITE_JPEG_QUALITY, kJpegQuality}))
            problem = "a frame could not be JPEG-compressed";
        else
            problem = muxer->writeJpeg(jpeg);
    } else {
        const cv::Mat picture = entry.raw.empty() ? cv::imdecode(entry.jpeg, cv::IMREAD_COLOR) : entry.raw;
        if (picture.size() != frameSize || picture.type() != CV_8UC3)
            problem = "a JPEG frame could not be decoded to the clip's size";
        else
            problem = muxer->encode(picture);
    }
    if (!problem.empty()) {
        work.giveUp(problem);
        return false;
    }
    written.fetch_add(1);
    if (passThrough) passedThrough.fetch_add(1);
    return true;
}

void ClipWriter::closeMuxer() {
    if (!muxer) return;
    std::string problem;
    try {
        problem = muxer->finish();
    } catch (...) {
        problem = "finishing the file failed: " + describeCurrentException();
    }
    muxer.reset();
    if (!problem.empty()) work.noteFailure(problem);
}

}  // namespace tarvolen
