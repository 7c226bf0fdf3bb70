#include "media/Muxer.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <new>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace tarvolen {
namespace {

// A fragment at every keyframe, and at least this often between keyframes
// (cameras and encoders may put seconds between them).
constexpr const char* kFragmentMicroseconds = "1000000";
// Each fragment holds its own index and times (no moov to rewrite at the
// end): what a player needs of a file that stops at any fragment.
constexpr const char* kFragmentedFlags = "+frag_keyframe+empty_moov+default_base_moof";

std::string lowerCase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string utcIsoTime(std::chrono::system_clock::time_point time) {
    const auto micros =
        std::chrono::duration_cast<std::chrono::microseconds>(time.time_since_epoch()).count() % 1000000;
    const std::time_t seconds = std::chrono::system_clock::to_time_t(time);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[40];
    const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    std::snprintf(text + n, sizeof text - n, ".%06lldZ", static_cast<long long>(micros < 0 ? 0 : micros));
    return text;
}

}  // namespace

std::string ffmpegError(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

std::optional<std::string> containerForPath(const std::string& path) {
    const std::string extension = lowerCase(std::filesystem::path(path).extension().string());
    if (extension == ".mp4") return std::string("mp4");
    if (extension == ".mkv") return std::string("matroska");
    if (extension == ".avi") return std::string("avi");
    return std::nullopt;
}

Muxer::~Muxer() {
    if (container == nullptr) return;
    if (container->pb != nullptr) avio_closep(&container->pb);
    avformat_free_context(container);
}

std::string Muxer::ioError(const std::string& doing, int code) const {
    const int ioCode = container != nullptr && container->pb != nullptr ? container->pb->error : 0;
    return doing + ": " + ffmpegError(ioCode < 0 ? ioCode : code);
}

std::string Muxer::create(const std::string& file, const char* format) {
    path = file;
    const std::optional<std::string> byExtension = containerForPath(file);
    const std::string name = format != nullptr ? format : byExtension.value_or("");
    if (name.empty()) return "no container for this file name";
    if (avformat_alloc_output_context2(&container, nullptr, name.c_str(), file.c_str()) < 0 || !container)
        return "FFmpeg has no " + name + " muxer";
    return "";
}

int Muxer::addStream(const AVCodecParameters& codec, AVRational timeBase) {
    AVStream* stream = avformat_new_stream(container, nullptr);
    if (!stream || avcodec_parameters_copy(stream->codecpar, &codec) < 0) throw std::bad_alloc();
    stream->codecpar->codec_tag = 0;  // the container picks its own
    stream->time_base = timeBase;
    if (codec.codec_type == AVMEDIA_TYPE_VIDEO && videoStream < 0) videoStream = stream->index;
    return stream->index;
}

void Muxer::updateStream(int index, const AVCodecParameters& codec, const std::uint8_t* extra, std::size_t extraBytes) {
    AVCodecParameters* parameters = container->streams[index]->codecpar;
    if (avcodec_parameters_copy(parameters, &codec) < 0) throw std::bad_alloc();
    parameters->codec_tag = 0;
    if (extra == nullptr || extraBytes == 0) return;
    av_freep(&parameters->extradata);
    parameters->extradata = static_cast<std::uint8_t*>(av_mallocz(extraBytes + AV_INPUT_BUFFER_PADDING_SIZE));
    if (parameters->extradata == nullptr) throw std::bad_alloc();
    std::memcpy(parameters->extradata, extra, extraBytes);
    parameters->extradata_size = static_cast<int>(extraBytes);
}

bool Muxer::wantsGlobalHeader() const { return (container->oformat->flags & AVFMT_GLOBALHEADER) != 0; }

std::string Muxer::start(cv::Size frameSize, const MuxerSettings& settings) {
    int code = avio_open(&container->pb, path.c_str(), AVIO_FLAG_WRITE);
    if (code < 0) return "it cannot be created: " + ffmpegError(code);
    if (!guard.attach(path, frameSize)) return "it cannot be watched for room";
    if (settings.creationTime)
        av_dict_set(&container->metadata, "creation_time", utcIsoTime(*settings.creationTime).c_str(), 0);
    AVDictionary* options = nullptr;
    if (std::string(container->oformat->name).find("mp4") != std::string::npos) {
        if (settings.fragmented) {
            av_dict_set(&options, "movflags", kFragmentedFlags, 0);
            av_dict_set(&options, "frag_duration", kFragmentMicroseconds, 0);
            // Each fragment goes to the file when it is complete, not when
            // the output buffer happens to fill.
            container->flush_packets = 1;
        } else {
            av_dict_set(&options, "movflags", "+faststart", 0);
        }
    }
    code = avformat_write_header(container, &options);
    av_dict_free(&options);
    if (code < 0) return ioError("its header cannot be written", code);
    headerWritten = true;
    return "";
}

std::string Muxer::write(AVPacket& packet, int index, AVRational from) {
    packet.stream_index = index;
    av_packet_rescale_ts(&packet, from, container->streams[index]->time_base);
    packet.pos = -1;
    const int code = av_interleaved_write_frame(container, &packet);
    if (code < 0 || container->pb->error < 0) return ioError("writing failed", code);
    if (index == videoStream) ++videoPackets;
    return "";
}

std::optional<std::string> Muxer::roomProblem(std::uint64_t pendingFrames) {
    return guard.check(videoPackets, pendingFrames);
}

AVRational Muxer::timeBase(int index) const { return container->streams[index]->time_base; }

std::string Muxer::finish() {
    std::string problem;
    if (headerWritten) {
        const int code = av_write_trailer(container);
        if (code < 0 || container->pb->error < 0) problem = ioError("finishing the file failed", code);
        headerWritten = false;
    }
    if (container != nullptr && container->pb != nullptr) {
        const int code = avio_closep(&container->pb);
        if (problem.empty() && code < 0) problem = "finishing the file failed: " + ffmpegError(code);
    }
    return problem;
}

}  // namespace tarvolen
