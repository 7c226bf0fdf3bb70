#include "scan/RunSummary.h"

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include <nlohmann/json.hpp>

#include "config/Configuration.h"
#include "draw/Timecode.h"

namespace tarvolen {
namespace {

using nlohmann::ordered_json;

const char* statusName(FileOutcome outcome) {
    switch (outcome) {
        case FileOutcome::Scanned:
            return "scanned";
        case FileOutcome::InputFailed:
            return "unreadable";
        case FileOutcome::OutputFailed:
            return "output failed";
        case FileOutcome::Interrupted:
            return "interrupted";
    }
    return "unknown";
}

// The rate the frames really came at, from their own times.
double measuredFps(const RunSummary& run) {
    const double spanMs = run.lastMs - run.firstMs;
    if (run.framesRead < 2 || run.firstMs < 0 || spanMs <= 0) return 0.0;
    return static_cast<double>(run.framesRead - 1) * 1000.0 / spanMs;
}

ordered_json damageJson(const std::vector<DamagedStretch>& damage) {
    ordered_json list = ordered_json::array();
    for (const DamagedStretch& stretch : damage) {
        list.push_back({{"before_frame", stretch.beforeFrame},
                        {"time_ms", wholeMilliseconds(stretch.timeMs)},
                        {"time", formatTimecode(stretch.timeMs)},
                        {"packets", stretch.packets}});
    }
    return list;
}

// A setting as the configuration file would hold it: whole numbers as
// integers, single-precision values to the digits they carry.
ordered_json settingJson(double value) {
    if (value == std::floor(value) && std::fabs(value) < 1e15) return static_cast<std::int64_t>(value);
    char text[32];
    std::snprintf(text, sizeof text, "%.7g", value);
    return std::stod(text);
}

ordered_json parametersJson(const ScanOptions& options, const DetectorParameters& detector) {
    ordered_json parameters;
    for (const auto& [key, value] : detectorSettings(detector)) parameters[key] = settingJson(value);
    parameters["pre_seconds"] = options.preSeconds;
    parameters["post_seconds"] = options.postSeconds;
    parameters["min_event_seconds"] = options.minEventSeconds;
    parameters["quit_after"] = options.quitAfter;
    ordered_json regions = ordered_json::array();
    for (const cv::Rect& r : options.regions) regions.push_back({r.x, r.y, r.width, r.height});
    parameters["roi"] = regions;
    parameters["region_file"] = options.regionFile.empty() ? ordered_json() : ordered_json(options.regionFile);
    parameters["start_ms"] = options.startMs ? ordered_json(wholeMilliseconds(*options.startMs)) : ordered_json();
    parameters["end_ms"] = options.endMs ? ordered_json(wholeMilliseconds(*options.endMs)) : ordered_json();
    parameters["detect_width"] = options.detection.detectWidth;
    parameters["light_change_percent"] = settingJson(options.detection.lightChangePercent);
    return parameters;
}

}  // namespace

std::string runSummaryJson(const RunSummary& run, const ScanOptions& options, const DetectorParameters& detector) {
    ordered_json summary;
    summary["file"] = run.file;
    summary["status"] = statusName(run.outcome);
    summary["problem"] = run.problem.empty() ? ordered_json() : ordered_json(run.problem);
    summary["duration_ms"] = wholeMilliseconds(run.durationMs);
    summary["frames_read"] = run.framesRead;
    summary["first_frame"] = run.firstFrame;
    summary["first_ms"] = wholeMilliseconds(run.firstMs);
    summary["last_ms"] = wholeMilliseconds(run.lastMs);
    summary["read_to_end"] = run.outcome == FileOutcome::Scanned && !run.endedEarly && !options.endMs;
    summary["damaged_stretches"] = run.damage.size();
    summary["damage"] = damageJson(run.damage);
    summary["reported_fps"] = run.reportedFps;
    summary["measured_fps"] = measuredFps(run);
    summary["event_fps"] = run.eventFps;
    summary["parameters"] = parametersJson(options, detector);
    summary["events"] = run.events;
    summary["light_changes"] = run.lightChanges;
    summary["scan_seconds"] = run.elapsedSeconds;
    summary["scan_fps"] = run.elapsedSeconds > 0 ? static_cast<double>(run.framesRead) / run.elapsedSeconds : 0.0;
    return summary.dump(2, ' ', false, ordered_json::error_handler_t::replace);
}

bool writeRunSummaryFile(const std::string& path, const RunSummary& run, const ScanOptions& options,
                         const DetectorParameters& detector) {
    // Written beside and renamed, so that a reader never sees half a file.
    const std::string partial = path + ".partial";
    {
        std::ofstream out(partial, std::ios::trunc);
        out << runSummaryJson(run, options, detector) << '\n';
        out.close();
        if (!out) {
            std::remove(partial.c_str());
            return false;
        }
    }
    std::error_code ec;
    std::filesystem::rename(partial, path, ec);
    return !ec;
}

}  // namespace tarvolen
