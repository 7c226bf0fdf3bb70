// The scan tool's command line.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>

#include "config/DetectionSettings.h"
#include "roi/RegionFile.h"

namespace tarvolen {

struct ScanOptions {
    std::vector<std::string> files;
    std::string configPath;  // empty: Tarvolen.json in the working folder, if there is one
    std::vector<std::pair<std::string, std::string>> settings;  // --set KEY=VALUE, in order
    std::vector<cv::Rect> regions;                              // --roi
    std::string regionFile;                                     // --region-file
    PolygonRegions polygons;                                    // read from it
    // --start and --end (or --start plus --duration), in milliseconds of the
    // file's own time: frames at or after the start and before the end.
    std::optional<double> startMs;
    std::optional<double> endMs;
    double preSeconds = 1.5;
    double postSeconds = 2.0;
    double minEventSeconds = 0.0;
    int quitAfter = 0;  // 0: every event
    std::string outputDir = ".";
    bool clips = false;
    std::string clipFormat = "avi";  // --clip-format: avi, mp4 or copy (the source's own packets)
    bool sheet = false;
    std::string annotatedPath;  // "{stem}" is replaced by the input's stem
    std::string maskPath;
    bool progress = false;
    bool quiet = false;
    DetectionSettings detection;  // --detect-width, --light-change
};

struct ParsedCommandLine {
    enum Outcome { Run, Help, UsageError } outcome = Run;
    ScanOptions options;
    std::string text;  // the help, or the one-line usage error
};

ParsedCommandLine parseCommandLine(int argc, const char* const* argv);

// The outputs of one input are named after its stem: "dir/clip.avi" gives
// "clip". A pattern's "{stem}" is replaced by it.
std::string inputStem(const std::string& file);
std::string expandStem(const std::string& pattern, const std::string& stem);

// Which of the regions (--roi rectangles, --region-file polygons) lies
// wholly outside a frame of `frameSize`, said in words ("--roi 1,2,3,4 lies
// wholly outside the 320x240 frame"); empty when none does.
std::string regionOutsideFrameText(const ScanOptions& options, cv::Size frameSize);

}  // namespace tarvolen
