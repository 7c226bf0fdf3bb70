// The watcher's command line.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tarvolen {

struct WatchOptions {
    std::string configPath = "Tarvolen.json";
    std::optional<std::string> source;  // --source: instead of the file's video_source_init_string
    std::vector<std::pair<std::string, std::string>> settings;  // --set KEY=VALUE, in order
    bool fast = false;                                          // a file as fast as it decodes
};

struct ParsedWatchCommandLine {
    enum Outcome { Run, Help, Version, UsageError } outcome = Run;
    WatchOptions options;
    std::string text;  // the help, or the one-line usage error
};

ParsedWatchCommandLine parseWatchCommandLine(int argc, const char* const* argv);

}  // namespace tarvolen
