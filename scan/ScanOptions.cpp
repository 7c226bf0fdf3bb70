#include "scan/ScanOptions.h"

#include <cmath>
#include <filesystem>
#include <map>
#include <optional>

#include <CLI/CLI.hpp>

#include "events/EventRules.h"
#include "media/ClipWriter.h"
#include "draw/Timecode.h"
#include "roi/Region.h"
#include "roi/RegionFile.h"

namespace tarvolen {
namespace {

namespace fs = std::filesystem;

const char* const kStemPlaceholder = "{stem}";

const char* const kDescription =
    "Scans video files for events with the Tarvolen detector, as fast as they decode.\n"
    "For each FILE writes STEM.events.jsonl (one JSON line per event) into the output folder\n"
    "and prints a summary; --clips, --sheet, --annotated and --mask add more.\n"
    "Exit status: 0 every file scanned, 1 a file or an output failed, 2 usage or\n"
    "configuration error, 130 interrupted.";

// A number CLI11 would read whole, or nothing.
std::optional<double> numberOf(const std::string& text) {
    std::size_t used = 0;
    try {
        const double value = std::stod(text, &used);
        if (used == text.size() && std::isfinite(value)) return value;
    } catch (const std::exception&) {
    }
    return std::nullopt;
}

// 0, or a whole number of pixels in the detection's range.
const CLI::Validator kDetectWidth(
    [](std::string& text) -> std::string {
        const std::optional<double> width = numberOf(text);
        if (width && validDetectWidth(*width)) return {};
        return text + " is neither 0 (frames as delivered) nor a whole width from " +
               std::to_string(kMinDetectWidth) + " to " + std::to_string(kMaxDetectWidth);
    },
    "0 or 16..7680");

// 0 (off), or a share of the region from 1 to 100 percent.
const CLI::Validator kLightChange(
    [](std::string& text) -> std::string {
        const std::optional<double> percent = numberOf(text);
        if (percent && validLightChangePercent(*percent)) return {};
        return text + " is neither 0 (off) nor a percentage from " +
               std::to_string(std::lround(kMinLightChangePercent)) + " to " +
               std::to_string(std::lround(kMaxLightChangePercent));
    },
    "0 or 1..100");

std::string oneLine(std::string text) {
    for (char& c : text) {
        if (c == '\n' || c == '\r') c = ' ';
    }
    return text;
}

bool samePath(const std::string& a, const std::string& b) {
    std::error_code ec;
    return fs::weakly_canonical(a, ec) == fs::weakly_canonical(b, ec);
}

// The texts of --start, --end and --duration, as given.
struct TimeRange {
    std::string start;
    std::string end;
    std::string duration;
};

std::string checkTimeRange(ScanOptions& o, const TimeRange& range) {
    const std::pair<const std::string*, const char*> given[] = {
        {&range.start, "--start"}, {&range.end, "--end"}, {&range.duration, "--duration"}};
    std::optional<double> ms[3];
    for (int i = 0; i < 3; ++i) {
        if (given[i].first->empty()) continue;
        ms[i] = parseTimecode(*given[i].first);
        if (!ms[i]) return std::string(given[i].second) + " " + *given[i].first + ": expected seconds or HH:MM:SS[.mmm]";
    }
    o.startMs = ms[0];
    if (ms[1]) o.endMs = ms[1];
    if (ms[2]) o.endMs = ms[0].value_or(0.0) + *ms[2];
    if (o.endMs && *o.endMs <= o.startMs.value_or(0.0))
        return (ms[2] ? "--duration " + range.duration : "--end " + range.end) + ": the range ends before it starts";
    return {};
}

// Checks what CLI11 cannot: --set syntax, regions, times, and names that collide.
std::string checkOptions(ScanOptions& o, const std::vector<std::string>& sets,
                         const std::vector<std::string>& rois, const TimeRange& range) {
    for (const std::string& s : sets) {
        const std::size_t eq = s.find('=');
        if (eq == std::string::npos || eq == 0) return "--set " + s + ": expected KEY=VALUE";
        o.settings.emplace_back(s.substr(0, eq), s.substr(eq + 1));
    }
    for (const std::string& r : rois) {
        std::string error;
        const std::optional<cv::Rect> region = parseRegion(r, error);
        if (!region) return "--roi " + r + ": " + error;
        o.regions.push_back(*region);
    }
    if (!o.regionFile.empty()) {
        std::string error;
        std::optional<PolygonRegions> polygons = readRegionFile(o.regionFile, error);
        if (!polygons) return "--region-file " + error;
        o.polygons = std::move(*polygons);
    }
    if (std::string problem = checkTimeRange(o, range); !problem.empty()) return problem;
    std::map<std::string, std::string> stems;
    for (const std::string& f : o.files) {
        const auto [it, fresh] = stems.emplace(inputStem(f), f);
        if (!fresh)
            return f + " and " + it->second + " would write the same outputs (" + it->first +
                   ".*); scan them into different folders with -o";
    }
    for (const std::string* path : {&o.annotatedPath, &o.maskPath}) {
        if (!path->empty() && !clipFormatOfPath(*path))
            return *path + ": the video's name must end in .avi (Motion-JPEG) or .mp4 (H.264)";
        if (!path->empty() && o.files.size() > 1 && path->find(kStemPlaceholder) == std::string::npos)
            return *path + ": with several files the name needs {stem}";
    }
    // Never write a video over an input, or both videos into one file.
    for (const std::string& f : o.files) {
        const std::string stem = inputStem(f);
        const std::string annotated = expandStem(o.annotatedPath, stem);
        const std::string mask = expandStem(o.maskPath, stem);
        if (!annotated.empty() && samePath(annotated, mask))
            return annotated + ": both --annotated and --mask";
        for (const std::string* out : {&annotated, &mask}) {
            if (!out->empty() && samePath(*out, f)) return *out + ": would overwrite the input";
        }
    }
    return {};
}

}  // namespace

std::string inputStem(const std::string& file) {
    const std::string stem = fs::path(file).stem().string();
    return stem.empty() ? std::string("video") : stem;
}

std::string expandStem(const std::string& pattern, const std::string& stem) {
    std::string out = pattern;
    for (std::size_t at = out.find(kStemPlaceholder); at != std::string::npos;
         at = out.find(kStemPlaceholder, at + stem.size())) {
        out.replace(at, std::string(kStemPlaceholder).size(), stem);
    }
    return out;
}

std::string regionOutsideFrameText(const ScanOptions& options, cv::Size frameSize) {
    const std::string frame =
        " lies wholly outside the " + std::to_string(frameSize.width) + "x" + std::to_string(frameSize.height) + " frame";
    if (const std::optional<cv::Rect> r = regionOutsideFrame(options.regions, frameSize))
        return "--roi " + std::to_string(r->x) + "," + std::to_string(r->y) + "," + std::to_string(r->width) + "," +
               std::to_string(r->height) + frame;
    if (const std::optional<std::string> polygon = polygonOutsideFrame(options.polygons, frameSize))
        return "--region-file " + options.regionFile + ": " + *polygon + frame;
    return {};
}

ParsedCommandLine parseCommandLine(int argc, const char* const* argv) {
    ParsedCommandLine parsed;
    ScanOptions& o = parsed.options;
    std::vector<std::string> sets;
    std::vector<std::string> rois;
    TimeRange range;

    CLI::App app(kDescription, "tarvolen-scan");
    app.get_formatter()->column_width(40);
    app.add_option("FILE", o.files, "video files, each scanned on its own")->required()->type_name("");
    app.add_option("--config", o.configPath,
                   "detector parameters from this Tarvolen.json (its video source is\n"
                   "ignored); default: Tarvolen.json in the working folder if there is\n"
                   "one, else the built-in defaults")
        ->check(CLI::ExistingFile)
        ->type_name("PATH");
    app.add_option("--set", sets,
                   "override one detector parameter, VALUE as in Tarvolen.json, e.g.\n"
                   "--set num_frames=15 (repeatable); num_threads defaults to the\n"
                   "number of cores")
        ->type_name("KEY=VALUE");
    app.add_option("--roi", rois, "region of interest in pixels (repeatable: their union)")
        ->type_name("X,Y,W,H");
    app.add_option("--region-file", o.regionFile,
                   "regions of any shape: a JSON file of \"include\" and \"exclude\"\n"
                   "polygons in pixels, combined with --roi")
        ->type_name("FILE");
    app.add_option("--start", range.start,
                   "scan from the first frame at or after this time (seconds or\n"
                   "HH:MM:SS[.mmm]); numbers and times stay the whole file's")
        ->type_name("TIME");
    auto* end = app.add_option("--end", range.end, "scan the frames before this time")->type_name("TIME");
    app.add_option("--duration", range.duration, "scan this long from --start")->type_name("TIME")->excludes(end);
    const auto seconds = CLI::Range(0.0, kMaxEventSeconds);
    app.add_option("--pre", o.preSeconds, "seconds kept before an event's first active frame")
        ->check(seconds)
        ->type_name("SECONDS")
        ->capture_default_str();
    app.add_option("--post", o.postSeconds, "seconds kept after an event's last active frame")
        ->check(seconds)
        ->type_name("SECONDS")
        ->capture_default_str();
    app.add_option("--min-event", o.minEventSeconds, "shortest run with objects that makes an event")
        ->check(seconds)
        ->type_name("SECONDS")
        ->capture_default_str();
    app.add_option("--quit-after", o.quitAfter, "stop a file after its N-th event (0: never)")
        ->check(CLI::NonNegativeNumber)
        ->type_name("N")
        ->capture_default_str();
    app.add_option("-o,--output-dir", o.outputDir, "folder for the outputs, created if missing")
        ->type_name("DIR")
        ->capture_default_str();
    auto* clips = app.add_flag("--clips", o.clips, "write each event as STEM.event_001.avi, ... (annotated)");
    // A format given alone would be silently ignored: the user meant clips.
    app.add_option("--clip-format", o.clipFormat,
                   "clips as avi (Motion-JPEG), mp4 (H.264) or copy (the source's own\n"
                   "packets from the keyframe before the event, not annotated)")
        ->check(CLI::IsMember({"avi", "mp4", "copy"}))
        ->needs(clips)
        ->type_name("FORMAT")
        ->capture_default_str();
    app.add_flag("--sheet", o.sheet, "write the contact sheet STEM.sheet.png");
    app.add_option("--annotated", o.annotatedPath,
                   "write the whole file annotated, .avi or .mp4 ({stem}: the input's\n"
                   "stem)")
        ->type_name("FILE");
    app.add_option("--mask", o.maskPath, "write the event mask as video, .avi or .mp4 ({stem}: the\n"
                   "input's stem)")
        ->type_name("FILE");
    app.add_option("--detect-width", o.detection.detectWidth,
                   "detect on frames scaled, area-averaged, to this width (16 to 7680;\n"
                   "0: as decoded); object sizes are in these pixels, boxes in the\n"
                   "outputs in the file's")
        ->check(kDetectWidth)
        ->type_name("W")
        ->capture_default_str();
    app.add_option("--light-change", o.detection.lightChangePercent,
                   "a model update whose events cover more than PCT % of the region\n"
                   "is a change of light: the model starts afresh (1 to 100; 0: off)")
        ->check(kLightChange)
        ->type_name("PCT")
        ->capture_default_str();
    auto* progress =
        app.add_flag("--progress", o.progress, "show progress even when standard error is no terminal");
    app.add_flag("--quiet", o.quiet, "print only errors")->excludes(progress);

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        parsed.outcome = ParsedCommandLine::Help;
        parsed.text = app.help();
        return parsed;
    } catch (const CLI::ParseError& e) {
        parsed.outcome = ParsedCommandLine::UsageError;
        parsed.text = oneLine(e.what());
        return parsed;
    }
    const std::string problem = checkOptions(o, sets, rois, range);
    if (!problem.empty()) {
        parsed.outcome = ParsedCommandLine::UsageError;
        parsed.text = oneLine(problem);
    }
    return parsed;
}

}  // namespace tarvolen
