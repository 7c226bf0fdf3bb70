#include "events/EventJson.h"

#include <cstdio>
#include <filesystem>

#include <nlohmann/json.hpp>

#include "draw/Timecode.h"

namespace tarvolen {

using std::chrono::system_clock;

nlohmann::ordered_json eventJson(EventTimes times, const EventRecord& e, const std::string& file) {
    nlohmann::ordered_json line;
    if (times == EventTimes::WallClock) {
        line["file"] = file.empty() ? std::filesystem::path(e.clipPath).filename().string() : file;
        line["start"] = isoLocalTime(fromEpochMs(e.startMs));
        line["end"] = isoLocalTime(fromEpochMs(e.endMs));
        line["start_frame"] = e.startFrame;
        line["end_frame"] = e.endFrame;
    } else {
        line["file"] = file;
        line["event"] = e.number;
        line["start_frame"] = e.startFrame;
        line["end_frame"] = e.endFrame;
        line["start_ms"] = wholeMilliseconds(e.startMs);
        line["end_ms"] = wholeMilliseconds(e.endMs);
        line["start"] = formatTimecode(e.startMs);
        line["end"] = formatTimecode(e.endMs);
        if (e.clipFirstMs && e.clipLastMs) {
            line["clip_start_ms"] = wholeMilliseconds(*e.clipFirstMs);
            line["clip_end_ms"] = wholeMilliseconds(*e.clipLastMs);
        }
    }
    if (e.interrupted) {
        // All that is known of an event whose program ended first is its clip.
        line.erase("start_frame");
        line.erase("end_frame");
    } else {
        line["active_frames"] = e.activeFrames;
        line["max_objects"] = e.maxObjects;
        line["bbox"] = {e.bbox.x, e.bbox.y, e.bbox.width, e.bbox.height};
    }
    if (times == EventTimes::WallClock && e.clipStartWallMs) line["clip_start"] = isoLocalTime(fromEpochMs(*e.clipStartWallMs));
    if (times == EventTimes::WallClock && !e.clipStream.empty()) line["clip_stream"] = e.clipStream;
    if (e.interrupted) line["interrupted"] = true;
    return line;
}

std::string eventJsonLine(EventTimes times, const EventRecord& e, const std::string& file) {
    return eventJson(times, e, file).dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

std::string eventStartJsonLine(const std::string& clipPath, double startMs, std::int64_t startFrame) {
    nlohmann::ordered_json line;
    line["file"] = std::filesystem::path(clipPath).filename().string();
    line["start"] = isoLocalTime(fromEpochMs(startMs));
    line["start_frame"] = startFrame;
    return line.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

system_clock::time_point fromEpochMs(double ms) {
    return system_clock::time_point(std::chrono::duration_cast<system_clock::duration>(
        std::chrono::duration<double, std::milli>(ms)));
}

std::tm localTimeOf(system_clock::time_point time) {
    const std::time_t seconds = system_clock::to_time_t(time);
    std::tm local{};
    localtime_r(&seconds, &local);
    return local;
}

std::string isoLocalTime(system_clock::time_point time) {
    const auto sinceEpoch = std::chrono::floor<std::chrono::milliseconds>(time).time_since_epoch();
    const auto wholeSeconds = std::chrono::floor<std::chrono::seconds>(sinceEpoch);
    const int millis = static_cast<int>((sinceEpoch - wholeSeconds).count());
    const std::tm local = localTimeOf(system_clock::time_point(wholeSeconds));
    char date[32];
    char zone[8];
    std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &local);
    std::strftime(zone, sizeof zone, "%z", &local);  // +hhmm
    char text[64];
    std::snprintf(text, sizeof text, "%s.%03d%.3s:%.2s", date, millis, zone, zone + 3);
    return text;
}

}  // namespace tarvolen
