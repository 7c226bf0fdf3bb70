// The tarvolen-watch program: the command line, the configuration, the
// source, the services around the loop (status file, MQTT) and the exit
// status.
#pragma once

#include <ostream>
#include <string>

#include "config/Configuration.h"
#include "config/EventRecordingSettings.h"
#include "config/WatchSettings.h"
#include "roi/RegionFile.h"
#include "watch/WatchOptions.h"

namespace tarvolen {

// Exit statuses: stopped by a signal, or a file played to its end; the
// source, the folder or the status file cannot be used (or the source was
// lost); a usage or configuration error.
inline constexpr int kWatchStopped = 0;
inline constexpr int kWatchFailed = 1;
inline constexpr int kWatchUsage = 2;

// Everything the configuration file and the command line set.
struct WatchConfiguration {
    Configuration detectorAndSource;  // the source is --source's when given
    EventRecordingSettings events;
    WatchSettings watch;
    PolygonRegions region;  // read from watch.regionFile
};

// Reads options.configPath (which must exist), applies --set and --source,
// and checks that event recording is on. Returns the one-line problem
// (naming the file and the key), or an empty string.
std::string loadWatchConfiguration(const WatchOptions& options, WatchConfiguration& configuration);

// Runs the program; returns its exit status. Help and the version go to
// `out`, every other line to `err`.
int runWatch(int argc, const char* const* argv, std::ostream& out, std::ostream& err);

}  // namespace tarvolen
