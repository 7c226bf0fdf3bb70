// Scanning one video file: decoding on one thread, detection and the event
// rules on the calling thread, and the outputs the options ask for.
#pragma once

#include <functional>
#include <ostream>
#include <string>

#include "detector/DetectorParameters.h"
#include "scan/ScanOptions.h"

namespace tarvolen {

struct ScanContext {
    const ScanOptions& options;
    DetectorParameters detector;
    std::function<bool()> interrupted;  // Ctrl+C, SIGTERM or SIGHUP arrived
    std::ostream& out;                  // the summary
    std::ostream& err;                  // errors, warnings, progress
    bool showProgress = false;
};

enum class FileOutcome {
    Scanned,       // to its end, or to --quit-after
    InputFailed,   // could not be opened or decoded at all
    OutputFailed,  // an output could not be written
    Interrupted,
};

FileOutcome scanFile(const std::string& file, const ScanContext& context);

}  // namespace tarvolen
