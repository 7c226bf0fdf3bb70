// The machine-readable summary of one file's scan, STEM.scan.json: what a
// batch over thousands of files reads to find the bad ones.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "detector/DetectorParameters.h"
#include "media/VideoFile.h"
#include "scan/ScanOptions.h"
#include "scan/Scanner.h"

namespace tarvolen {

struct RunSummary {
    std::string file;
    FileOutcome outcome = FileOutcome::Scanned;
    std::string problem;  // why the file or an output failed
    double durationMs = 0;  // as the file states it; 0 when it does not
    std::int64_t framesRead = 0;
    std::int64_t firstFrame = 0;
    double firstMs = -1;  // the first and last frame scanned
    double lastMs = 0;
    std::vector<DamagedStretch> damage;
    bool endedEarly = false;  // decoding stopped for good before the end
    double reportedFps = 0;
    double eventFps = 0;  // the rate pre, post and min-event are counted in
    int events = 0;
    int lightChanges = 0;  // model updates taken for a change of light
    double elapsedSeconds = 0;
};

// The summary as one JSON object (pretty-printed).
std::string runSummaryJson(const RunSummary& run, const ScanOptions& options, const DetectorParameters& detector);

// Writes it to `path` (replacing it as a whole); false when it cannot.
bool writeRunSummaryFile(const std::string& path, const RunSummary& run, const ScanOptions& options,
                         const DetectorParameters& detector);

}  // namespace tarvolen
