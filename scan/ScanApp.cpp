#include "scan/ScanApp.h"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include <opencv2/core/utils/logger.hpp>

#include "platform/Signals.h"
#include "config/Configuration.h"
#include "media/VideoFile.h"
#include "media/VideoSource.h"
#include "roi/Region.h"

namespace tarvolen {
namespace {

namespace fs = std::filesystem;

constexpr int kMaxDetectorThreads = 32;
const char* const kProgram = "tarvolen-scan: ";
const char* const kDefaultConfig = "Tarvolen.json";
const char* const kFfmpegQuiet = "-8";  // AV_LOG_QUIET

// The first Ctrl+C, SIGTERM or SIGHUP ends the scan properly (a second one
// ends the program at once). A closed standard output does not kill it
// either: main() has SIGPIPE ignored.
void installSignalHandlers() { installQuitSignals(); }

int coreCount() {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) return CPU_COUNT(&set);
    return static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
}

}  // namespace

std::string checkRegionsAgainstFiles(const ScanOptions& options) {
    if (options.regions.empty() && options.polygons.empty()) return {};
    for (const std::string& file : options.files) {
        std::string ignored;
        std::optional<cv::Size> size;
        if (const std::unique_ptr<VideoFile> video = VideoFile::open(file, ignored)) {
            size = video->frameSize();
        } else {
            cv::VideoCapture capture;
            if (openVideoFile(file, capture)) size = reportedFrameSize(capture);
        }
        if (!size || size->width < 1 || size->height < 1) continue;  // reported when scanned
        const std::string outside = regionOutsideFrameText(options, *size);
        if (!outside.empty()) return outside + " of " + file;
    }
    return {};
}

void quietenScanLibraries() {
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
    setenv("OPENCV_FFMPEG_LOGLEVEL", kFfmpegQuiet, 0);
    VideoFile::quietenLibraryLog();
}

DetectorParameters defaultScanDetector() {
    DetectorParameters detector;
    detector.set(DetectorParameters::kNumThreads, std::min(coreCount(), kMaxDetectorThreads));
    return detector;
}

std::string loadDetectorSettings(const ScanOptions& options, DetectorParameters& settings) {
    Configuration config;
    config.detector = defaultScanDetector();
    std::string path = options.configPath;
    std::error_code ec;
    if (path.empty() && fs::is_regular_file(kDefaultConfig, ec)) path = kDefaultConfig;
    if (!path.empty() && !readConfiguration(path, config))
        return "configuration not read from " + path + " (missing key, wrong type or not JSON)";
    for (const auto& [key, value] : options.settings) {
        const std::string problem = applySetting(config.detector, key, value);
        if (!problem.empty()) return "--set " + key + "=" + value + ": " + key + ": " + problem;
    }
    settings = config.detector;
    return {};
}

int runScan(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
    quietenScanLibraries();
    const ParsedCommandLine parsed = parseCommandLine(argc, argv);
    if (parsed.outcome == ParsedCommandLine::Help) {
        out << parsed.text << std::flush;
        return kExitScanned;
    }
    if (parsed.outcome == ParsedCommandLine::UsageError) {
        err << kProgram << parsed.text << " (see --help)" << std::endl;
        return kExitUsage;
    }
    const ScanOptions& options = parsed.options;
    DetectorParameters detector;
    std::string problem = loadDetectorSettings(options, detector);
    if (problem.empty()) problem = checkRegionsAgainstFiles(options);
    if (!problem.empty()) {
        err << kProgram << problem << std::endl;
        return kExitUsage;
    }
    std::error_code ec;
    fs::create_directories(options.outputDir, ec);
    if (!fs::is_directory(options.outputDir, ec)) {
        err << kProgram << "cannot create the output folder " << options.outputDir
            << (ec ? ": " + ec.message() : std::string()) << std::endl;
        return kExitFailed;
    }

    installSignalHandlers();
    const bool progress = !options.quiet && (options.progress || isatty(STDERR_FILENO));
    const ScanContext context{options, detector, quitRequested, out, err, progress};
    bool failed = false;
    for (const std::string& file : options.files) {
        const FileOutcome outcome = scanFile(file, context);
        if (outcome == FileOutcome::Interrupted) return kExitInterrupted;
        if (outcome == FileOutcome::InputFailed) failed = true;
        // Outputs that cannot be written now will not be for the next file.
        if (outcome == FileOutcome::OutputFailed) return kExitFailed;
    }
    return failed ? kExitFailed : kExitScanned;
}

}  // namespace tarvolen
