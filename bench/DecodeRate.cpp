// How fast a video file decodes alone with cv::VideoCapture, the bound of the
// live loop on that file; or, with "libav", through FFmpeg's libraries as
// tarvolen-scan reads it (to BGR, as the scan gets it); with "luma", as the
// scan reads it with --detect-width (the gray of the luma plane, no BGR);
// with "decode", decoded by FFmpeg's libraries and nothing else done.
//   tarvolen_decode_rate FILE [SECONDS [libav|luma|decode]]
// Reads frames (rewinding to frame index 1 at the end, as the program does)
// for SECONDS (default 20) and prints "frames seconds frames_per_second".
// SECONDS 0 reads the file once, to its end, as tarvolen-scan does, and
// like the scan's own rate counts opening the file.
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include <memory>
#include <string>

#include <opencv2/videoio.hpp>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "media/VideoFile.h"

namespace {

using Clock = std::chrono::steady_clock;

void report(long frames, Clock::time_point start) {
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("%ld %.3f %.2f\n", frames, elapsed, frames / elapsed);
}

// One pass through the file decoding only, the frames dropped as they come,
// with the decoder's threads as VideoFile sets them.
int decodeOnly(const char* path) {
    const Clock::time_point start = Clock::now();
    tarvolen::VideoFile::quietenLibraryLog();
    AVFormatContext* format = nullptr;
    if (avformat_open_input(&format, path, nullptr, nullptr) < 0 ||
        avformat_find_stream_info(format, nullptr) < 0) {
        std::fprintf(stderr, "tarvolen_decode_rate: cannot open %s\n", path);
        return 1;
    }
    const AVCodec* decoder = nullptr;
    const int stream = av_find_best_stream(format, AVMEDIA_TYPE_VIDEO, -1, -1, &decoder, 0);
    AVCodecContext* codec = stream >= 0 ? avcodec_alloc_context3(decoder) : nullptr;
    if (codec == nullptr || avcodec_parameters_to_context(codec, format->streams[stream]->codecpar) < 0)
        return 1;
    codec->thread_count = 0;
    if (avcodec_open2(codec, decoder, nullptr) < 0) return 1;
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    long frames = 0;
    const auto drain = [&] {
        while (avcodec_receive_frame(codec, frame) == 0) {
            ++frames;
            av_frame_unref(frame);
        }
    };
    while (av_read_frame(format, packet) >= 0) {
        if (packet->stream_index == stream) avcodec_send_packet(codec, packet);
        av_packet_unref(packet);
        drain();
    }
    avcodec_send_packet(codec, nullptr);
    drain();
    report(frames, start);
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&codec);
    avformat_close_input(&format);
    return 0;
}

// One pass through the file as the scan reads it.
int decodeWithLibav(const char* path, tarvolen::FramePictures pictures) {
    const Clock::time_point start = Clock::now();
    tarvolen::VideoFile::quietenLibraryLog();
    std::string why;
    const std::unique_ptr<tarvolen::VideoFile> file = tarvolen::VideoFile::open(path, why);
    if (!file) {
        std::fprintf(stderr, "tarvolen_decode_rate: cannot open %s: %s\n", path, why.c_str());
        return 1;
    }
    file->setPictures(pictures);
    tarvolen::VideoFrame frame;
    long frames = 0;
    while (file->read(frame)) ++frames;
    report(frames, start);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 4) {
        std::fprintf(stderr, "usage: tarvolen_decode_rate FILE [SECONDS [libav|luma|decode]]\n");
        return 2;
    }
    const std::string mode = argc == 4 ? argv[3] : "";
    if (mode == "libav") return decodeWithLibav(argv[1], tarvolen::FramePictures::Colour);
    if (mode == "luma") return decodeWithLibav(argv[1], tarvolen::FramePictures::Luma);
    if (mode == "decode") return decodeOnly(argv[1]);
    const double seconds = argc >= 3 ? std::atof(argv[2]) : 20.0;
    const bool onePass = seconds == 0.0;
    const Clock::time_point opening = Clock::now();
    cv::VideoCapture capture(argv[1]);
    if (!capture.isOpened()) {
        std::fprintf(stderr, "tarvolen_decode_rate: cannot open %s\n", argv[1]);
        return 1;
    }
    const Clock::time_point start = onePass ? opening : Clock::now();
    const Clock::time_point end =
        start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    cv::Mat frame;
    long frames = 0;
    while (onePass || Clock::now() < end) {
        if (!capture.read(frame)) {
            if (onePass) break;
            capture.set(cv::CAP_PROP_POS_FRAMES, 1.0);
            continue;
        }
        ++frames;
    }
    report(frames, start);
    return 0;
}
