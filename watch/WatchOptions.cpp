#include "watch/WatchOptions.h"

#include <CLI/CLI.hpp>

namespace tarvolen {
namespace {

const char* const kDescription =
    "Watches a camera, capture device, network stream or video file without a display and\n"
    "records every event (Event_Recording in the configuration must be enabled): a clip and a\n"
    "log line per event, optionally MQTT messages and a status file (the Watch object).\n"
    "Exit status: 0 stopped by a signal or a file played to its end, 1 the source or the\n"
    "folder cannot be used, 2 usage or configuration error.";

std::string oneLine(std::string text) {
    for (char& c : text) {
        if (c == '\n' || c == '\r') c = ' ';
    }
    return text;
}

std::string splitSettings(const std::vector<std::string>& sets, WatchOptions& options) {
    for (const std::string& s : sets) {
        const std::size_t eq = s.find('=');
        if (eq == std::string::npos || eq == 0) return "--set " + s + ": expected KEY=VALUE";
        options.settings.emplace_back(s.substr(0, eq), s.substr(eq + 1));
    }
    return "";
}

}  // namespace

ParsedWatchCommandLine parseWatchCommandLine(int argc, const char* const* argv) {
    ParsedWatchCommandLine parsed;
    WatchOptions& o = parsed.options;
    std::vector<std::string> sets;
    std::string source;
    bool version = false;

    CLI::App app(kDescription, "tarvolen-watch");
    app.get_formatter()->column_width(36);
    app.add_option("--config", o.configPath, "the configuration, in the format of Tarvolen.json")
        ->type_name("FILE")
        ->capture_default_str();
    auto* sourceOption =
        app.add_option("--source", source,
                       "what to watch instead of the configuration's video_source_init_string:\n"
                       "a camera index, /dev/videoN, a video file or a URL")
            ->type_name("SRC");
    app.add_option("--set", sets,
                   "override one detector parameter, VALUE as in Tarvolen.json, e.g.\n"
                   "--set num_frames=15 (repeatable)")
        ->type_name("KEY=VALUE");
    app.add_flag("--fast", o.fast, "play a video file as fast as it decodes, not at its own rate");
    app.add_flag("--version", version, "print the version and exit");

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        parsed.outcome = ParsedWatchCommandLine::Help;
        parsed.text = app.help();
        return parsed;
    } catch (const CLI::ParseError& e) {
        parsed.outcome = ParsedWatchCommandLine::UsageError;
        parsed.text = oneLine(e.what());
        return parsed;
    }
    if (version) {
        parsed.outcome = ParsedWatchCommandLine::Version;
        return parsed;
    }
    if (sourceOption->count() > 0) {
        if (source.empty()) {
            parsed.outcome = ParsedWatchCommandLine::UsageError;
            parsed.text = "--source: the source is empty";
            return parsed;
        }
        o.source = source;
    }
    if (std::string problem = splitSettings(sets, o); !problem.empty()) {
        parsed.outcome = ParsedWatchCommandLine::UsageError;
        parsed.text = oneLine(problem);
    }
    return parsed;
}

}  // namespace tarvolen
