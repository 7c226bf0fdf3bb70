// The tarvolen-scan program: the command line, the configuration, the files
// one after another, the exit status.
#pragma once

#include <ostream>
#include <string>

#include "scan/ScanOptions.h"
#include "scan/Scanner.h"

namespace tarvolen {

// The detector parameters of a scan: the defaults with num_threads at the
// number of cores, then the configuration file (--config, else Tarvolen.json
// in the working folder if there is one), then each --set. Returns the one-
// line problem, or an empty string.
std::string loadDetectorSettings(const ScanOptions& options, DetectorParameters& settings);

// Runs the program; returns its exit status.
int runScan(int argc, const char* const* argv, std::ostream& out, std::ostream& err);

}  // namespace tarvolen
