// Reading a video file's packets as the container holds them, without
// decoding: what a test compares bytes and keyframes with.
#pragma once

#include <string>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
}

namespace tarvolen {

// What the container holds, read packet by packet without decoding.
struct Packets {
    std::string videoCodec;
    std::string audioCodec;
    std::vector<std::vector<unsigned char>> video;  // the video packets' bytes, in file order
    std::vector<double> videoPtsMs;                  // in the container's own time
    std::vector<bool> keyframes;
    bool opened = false;
};

inline Packets readPackets(const std::string& path) {
    Packets packets;
    AVFormatContext* context = nullptr;
    if (avformat_open_input(&context, path.c_str(), nullptr, nullptr) < 0) return packets;
    if (avformat_find_stream_info(context, nullptr) >= 0) {
        packets.opened = true;
        const int video = av_find_best_stream(context, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
        const int audio = av_find_best_stream(context, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
        if (video >= 0) packets.videoCodec = avcodec_get_name(context->streams[video]->codecpar->codec_id);
        if (audio >= 0) packets.audioCodec = avcodec_get_name(context->streams[audio]->codecpar->codec_id);
        AVPacket* packet = av_packet_alloc();
        while (packet && av_read_frame(context, packet) >= 0) {
            if (packet->stream_index == video) {
                packets.video.emplace_back(packet->data, packet->data + packet->size);
                packets.videoPtsMs.push_back(static_cast<double>(packet->pts) *
                                             av_q2d(context->streams[video]->time_base) * 1000.0);
                packets.keyframes.push_back((packet->flags & AV_PKT_FLAG_KEY) != 0);
            }
            av_packet_unref(packet);
        }
        av_packet_free(&packet);
    }
    avformat_close_input(&context);
    return packets;
}

}  // namespace tarvolen
