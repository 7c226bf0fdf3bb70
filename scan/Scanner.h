// Scanning one video file: decoding on one thread, detection and the event
// rules on the calling thread, and the outputs the options ask for.
#pragma once

#include <functional>
#include <ostream>
#include <string>

#include "detector/DetectorParameters.h"
#include "scan/ScanOptions.h"

namespace tarvolen {

struct EventRecord;

struct ScanContext {
    const ScanOptions& options;
    DetectorParameters detector;
    std::function<bool()> interrupted;  // Ctrl+C, SIGTERM or SIGHUP arrived
    std::ostream& out;                  // the summary
    std::ostream& err;                  // errors, warnings, progress
    bool showProgress = false;
    // Each event as it closes, beside its JSON line (the Python module
    // collects them here).
    std::function<void(const EventRecord&)> onEvent = {};
    // false: no STEM.events.jsonl and no STEM.scan.json, for a caller that
    // takes the events from onEvent.
    bool writeFiles = true;
};

enum class FileOutcome {
    Scanned,       // to its end, or to --quit-after
    InputFailed,   // could not be opened or decoded at all
    OutputFailed,  // an output could not be written
    Interrupted,
};

FileOutcome scanFile(const std::string& file, const ScanContext& context);

}  // namespace tarvolen
