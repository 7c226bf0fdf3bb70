#include "media/ClipRepair.h"

#include <cmath>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <memory>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
}

#include "media/Demuxer.h"
#include "media/PacketClip.h"
#include "platform/ProgramGuard.h"

namespace tarvolen {
namespace {

constexpr double kMsPerSecond = 1000.0;
constexpr double kFallbackFrameMs = 1000.0 / 30.0;  // the length of a last frame of unknown rate

// FFmpeg's "2024-03-05T09:07:03.045000Z".
std::optional<std::chrono::system_clock::time_point> creationTimeOf(const Demuxer& demuxer) {
    const AVDictionaryEntry* entry = av_dict_get(demuxer.context()->metadata, "creation_time", nullptr, 0);
    if (entry == nullptr) return std::nullopt;
    std::tm utc{};
    int micros = 0;
    if (std::sscanf(entry->value, "%4d-%2d-%2dT%2d:%2d:%2d.%6d", &utc.tm_year, &utc.tm_mon, &utc.tm_mday,
                    &utc.tm_hour, &utc.tm_min, &utc.tm_sec, &micros) < 6)
        return std::nullopt;
    utc.tm_year -= 1900;
    utc.tm_mon -= 1;
    const std::time_t seconds = timegm(&utc);
    if (seconds <= 0) return std::nullopt;
    return std::chrono::system_clock::from_time_t(seconds) + std::chrono::microseconds(micros);
}

double frameMs(const Demuxer& demuxer) {
    const AVRational rate = demuxer.videoStream().avg_frame_rate;
    return rate.num > 0 && rate.den > 0 ? kMsPerSecond * rate.den / rate.num : kFallbackFrameMs;
}

}  // namespace

ClipRepair repairClip(const std::string& path, const std::string& scratchPath) {
    ClipRepair repair;
    try {
        std::string why;
        const std::unique_ptr<Demuxer> in = Demuxer::open(path, DemuxOptions{}, why);
        if (!in) {
            repair.problem = why;
            return repair;
        }
        repair.created = creationTimeOf(*in);
        MuxerSettings settings;
        settings.creationTime = repair.created;
        PacketClip out;
        std::string problem = out.open(scratchPath, in->layout(), settings);
        StreamPacket packet;
        // A torn tail reads as damage: the clip ends where it was torn.
        while (problem.empty() && in->read(packet) == Demuxer::Read::Packet) problem = out.write(packet);
        const std::string finished = out.finish();
        if (problem.empty()) problem = finished;
        repair.videoPackets = out.videoPackets();
        repair.readable = out.videoPackets() > 0;
        if (repair.readable) repair.durationMs = out.lastMs() - out.firstMs() + frameMs(*in);
        std::error_code error;
        if (!problem.empty() || !repair.readable) {
            std::filesystem::remove(scratchPath, error);
            repair.problem = problem.empty() ? "no frame could be read" : problem;
            return repair;
        }
        std::filesystem::rename(scratchPath, path, error);
        repair.rewritten = !error;
        if (error) {
            repair.problem = error.message();
            std::filesystem::remove(scratchPath, error);
        }
    } catch (...) {
        repair.problem = describeCurrentException();
        std::error_code ignored;
        std::filesystem::remove(scratchPath, ignored);
    }
    return repair;
}

}  // namespace tarvolen
