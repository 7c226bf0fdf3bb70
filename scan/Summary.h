// The summary a person reads on standard output after a file is scanned.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "media/VideoFile.h"

namespace tarvolen {

struct SummaryRow {
    int number = 0;
    double startMs = 0;
    double endMs = 0;
    std::int64_t frames = 0;  // in the event
    int peakObjects = 0;
};

struct FileSummary {
    std::string file;
    double fps = 0;  // the rate event times are counted in
    std::vector<SummaryRow> events;
    std::int64_t framesScanned = 0;
    double elapsedSeconds = 0;
    bool interrupted = false;
    std::vector<DamagedStretch> damage;  // met while reading, in order
};

// "2 damaged stretches, before frames 120 (00:00:12.000) and 300
// (00:00:30.000)"; the first few are named.
std::string damageText(const std::vector<DamagedStretch>& damage);

// A table of the events (number, start, end, duration, peak objects), then a
// line with the frames scanned, the events, and the speed in frames per
// second and times real time; then the damage met, if any.
std::string summaryText(const FileSummary& summary);

}  // namespace tarvolen
