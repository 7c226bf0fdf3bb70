// The tarvolen-scan program: the command line, the configuration, the files
// one after another, the exit status.
#pragma once

#include <ostream>
#include <string>

#include "scan/ScanOptions.h"
#include "scan/Scanner.h"

namespace tarvolen {

// The scan reports bad input itself, on one line: no OpenCV or FFmpeg
// chatter on standard error, unless the user asks for FFmpeg's
// (OPENCV_FFMPEG_LOGLEVEL).
void quietenScanLibraries();

// The detector parameters of a scan before any configuration: the defaults
// with num_threads at the number of cores.
DetectorParameters defaultScanDetector();

// A rectangle or polygon wholly outside a file's frame is a usage error,
// found before anything is scanned: the one-line problem, or an empty
// string. Files that do not open are reported when scanned.
std::string checkRegionsAgainstFiles(const ScanOptions& options);

// The detector parameters of a scan: the defaults with num_threads at the
// number of cores, then the configuration file (--config, else Tarvolen.json
// in the working folder if there is one), then each --set. Returns the one-
// line problem, or an empty string.
std::string loadDetectorSettings(const ScanOptions& options, DetectorParameters& settings);

// Exit statuses: every file scanned; a file or an output failed; a usage or
// configuration error; interrupted by a quit signal (128 + SIGINT, as shells
// report it).
inline constexpr int kExitScanned = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitInterrupted = 130;

// Runs the program; returns its exit status.
int runScan(int argc, const char* const* argv, std::ostream& out, std::ostream& err);

}  // namespace tarvolen
