#include "watch/WatchApp.h"

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iomanip>
#include <memory>
#include <optional>
#include <sstream>

#include <opencv2/core/utils/logger.hpp>

#include "detector/Detector.h"
#include "events/LiveEventRecording.h"
#include "media/FrameReader.h"
#include "media/VideoFile.h"
#include "media/VideoFileWriter.h"
#include "platform/MemoryLimits.h"
#include "platform/Signals.h"
#include "watch/MqttPublisher.h"
#include "watch/Notices.h"
#include "watch/StatusFile.h"
#include "watch/WatchLoop.h"
#include "watch/WatchSource.h"
#include "watch/WatchStatus.h"

namespace tarvolen {
namespace {

namespace fs = std::filesystem;
using std::chrono::duration;
using std::chrono::milliseconds;

const char* const kProgram = "tarvolen-watch: ";
const char* const kFfmpegQuiet = "-8";  // AV_LOG_QUIET
// The loop's own images besides the frame: the gray frame and the region mask.
constexpr std::size_t kLoopImageBytesPerPixel = 2;

// The watcher reports bad input itself, on one line: no OpenCV or FFmpeg
// chatter, unless the user asks for FFmpeg's.
void quietenLibraries() {
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
    setenv("OPENCV_FFMPEG_LOGLEVEL", kFfmpegQuiet, 0);
    VideoFile::quietenLibraryLog();
}

// The first SIGINT, SIGTERM or SIGHUP finishes the open clip and ends the
// watch; a second one ends the program at once. A broker or status reader
// that goes away must not end it.
void installSignalHandlers() {
    installQuitSignals();
    std::signal(SIGPIPE, SIG_IGN);
}

milliseconds toMilliseconds(double seconds) {
    return std::chrono::duration_cast<milliseconds>(duration<double>(seconds));
}

// Makes the folder if need be; the problem, or an empty string when it can be written.
std::string folderProblem(const std::string& folder) {
    std::error_code error;
    fs::create_directories(folder, error);
    if (error) return "cannot create the folder " + folder + " (" + error.message() + ")";
    if (!fs::is_directory(folder, error))
        return "cannot create the folder " + folder + " (a file is in the way)";
    if (access(folder.c_str(), W_OK | X_OK) != 0)
        return "cannot write to the folder " + folder + " (" + std::strerror(errno) + ")";
    return "";
}

std::size_t watchBytesPerPixel() {
    return Detector::bufferBytesPerPixel() + kLoopImageBytesPerPixel +
           FrameReader::bufferBytesPerPixel(kLiveFileQueueFrames) + VideoFileWriter::bufferBytesPerPixel() +
           preCaptureRawBytes(cv::Size(1, 1));
}

std::string signalName(int number) {
    switch (number) {
        case SIGINT:
            return "SIGINT";
        case SIGTERM:
            return "SIGTERM";
        case SIGHUP:
            return "SIGHUP";
    }
    return "signal " + std::to_string(number);
}

std::string startedLine(const std::string& shown, const OpenedSource& source, bool fast) {
    std::ostringstream line;
    line << "Watching " << shown << ": " << source.frameSize.width << "x" << source.frameSize.height;
    if (source.fps > 0) {
        line << " at " << std::setprecision(4) << source.fps << " fps"
             << (fast ? ", as fast as it decodes" : "");
    } else {
        line << ", frame rate measured over the first " << LiveEventRecording::kRateWindow.count() << " s";
    }
    return line.str();
}

std::string stoppedLine(WatchEnd end, int events) {
    const std::string count = std::to_string(events) + (events == 1 ? " event" : " events") + " recorded";
    switch (end) {
        case WatchEnd::SourceEnded:
            return "Stopped at the end of the video file; " + count;
        case WatchEnd::Quit:
            return "Stopped on " + signalName(quitSignal()) + "; " + count;
        case WatchEnd::SourceLost:
            return "Stopped: the video source stopped delivering frames; " + count;
    }
    return "Stopped; " + count;
}

FrameReaderSettings readerSettings(bool fileSource, cv::Size size, const WatchSettings& watch) {
    if (fileSource) {
        FrameReaderSettings settings;
        settings.onEmptyRead = EmptyReadPolicy::ToEnd;
        settings.queueFrames = kLiveFileQueueFrames;
        settings.conformTo = size;
        settings.stopRequested = quitRequested;
        return settings;
    }
    FrameReaderSettings settings = cameraReading(size);
    settings.stallTimeout = toMilliseconds(watch.sourceTimeoutSeconds);
    return settings;
}

void printNotices(Notices& notices, std::ostream& err) {
    for (const std::string& line : notices.take()) err << line << std::endl;
}

// Everything of one watch, in the order it is set up and (reversed) taken
// down: the reader stops first, the status file writes its last.
class WatchSession {
public:
    WatchSession(const WatchConfiguration& c, const WatchOptions& o, std::ostream& e)
        : config(c),
          options(o),
          err(e),
          source(c.detectorAndSource.videoSource),
          shown(redactedSource(source)),
          board(initialStatus(shown)) {}

    int run() {
        const std::optional<WatchSourceKind> kind = classifyWatchSource(source);
        if (!kind)
            return fail(kWatchUsage, "cannot watch \"" + shown + "\": give a camera, device, file or URL");
        const bool fileSource = *kind == WatchSourceKind::File;
        std::string why;
        std::optional<OpenedSource> opened =
            openWatchSource(source, *kind, toMilliseconds(config.watch.sourceTimeoutSeconds), why);
        if (quitRequested()) return kWatchStopped;
        if (!opened) return fail(kWatchFailed, "cannot open " + shown + ": " + why);
        if (std::string problem = prepare(*opened, fileSource); !problem.empty())
            return fail(kWatchFailed, problem);
        if (!loop->recording()) return kWatchFailed;  // its line is out
        err << startedLine(shown, *opened, options.fast && fileSource) << std::endl;
        return watch(*opened, fileSource);
    }

private:
    static WatchStatus initialStatus(const std::string& shownSource) {
        WatchStatus status;
        status.source = shownSource;
        status.stateSince = std::chrono::system_clock::now();
        return status;
    }

    int fail(int status, const std::string& line) {
        err << kProgram << line << std::endl;
        return status;
    }

    // Memory, detector, folder, status file, MQTT: the problem, or empty.
    std::string prepare(const OpenedSource& opened, bool fileSource) {
        const cv::Size size = opened.frameSize;
        if (!detector.setParameters(config.detectorAndSource.detector))
            return "the detector refuses its parameters";
        if (std::optional<std::string> tooLarge =
                reserveFrameBuffers(size.width, size.height, watchBytesPerPixel(),
                                    [this, size] { detector.prepare(size.width, size.height); }))
            return *tooLarge;
        if (std::string problem = folderProblem(config.events.folder); !problem.empty()) return problem;
        statusFile = std::make_unique<StatusFile>(
            config.watch.statusFile, toMilliseconds(config.watch.statusIntervalSeconds), config.events.folder,
            board, [this](const std::string& line) { notices.add(line); });
        if (std::string problem = statusFile->writeNow(); !problem.empty())
            return "cannot write the status file " + config.watch.statusFile + ": " + problem;
        if (config.watch.mqtt) mqtt = std::make_unique<MqttPublisher>(*config.watch.mqtt, notices);
        WatchRun run;
        run.source = shown;
        run.fileSource = fileSource;
        run.fileFps = fileSource ? opened.fps : 0.0;
        run.frameSize = size;
        run.events = config.events;
        loop = std::make_unique<WatchLoop>(run, detector, board, observers(), err);
        return "";
    }

    WatchObservers observers() {
        WatchObservers o;
        o.onEventStart = [this](const std::string& startJson) {
            if (mqtt) mqtt->publishEvent(eventStartMessage(startJson, shown));
        };
        o.onEventEnd = [this](const std::string& line, const std::string&) {
            if (mqtt) mqtt->publishEvent(eventEndMessage(line, shown));
        };
        o.onStateChange = [this] { statusFile->changed(); };
        o.onPass = [this] { printNotices(notices, err); };
        return o;
    }

    int watch(OpenedSource& opened, bool fileSource) {
        std::unique_ptr<VideoInput> input = std::move(opened.input);
        if (fileSource && !options.fast) input = std::make_unique<PacedInput>(std::move(input), opened.fps);
        statusFile->start();
        FrameReader reader(std::move(input), readerSettings(fileSource, opened.frameSize, config.watch));
        const WatchEnd end = loop->run(reader, quitRequested);
        loop->finish();
        reader.stop();
        printNotices(notices, err);
        err << stoppedLine(end, loop->eventsLogged()) << std::endl;
        return end == WatchEnd::SourceLost ? kWatchFailed : kWatchStopped;
    }

    const WatchConfiguration& config;
    const WatchOptions& options;
    std::ostream& err;
    const std::string source;
    const std::string shown;  // a URL's secrets hidden
    Notices notices;
    WatchStatusBoard board;
    Detector detector;
    std::unique_ptr<StatusFile> statusFile;
    std::unique_ptr<MqttPublisher> mqtt;
    std::unique_ptr<WatchLoop> loop;
};

}  // namespace

std::string loadWatchConfiguration(const WatchOptions& options, WatchConfiguration& out) {
    const std::string& path = options.configPath;
    std::error_code error;
    if (!fs::is_regular_file(path, error)) return path + ": no such configuration file";
    WatchConfiguration read;
    if (!readConfiguration(path, read.detectorAndSource))
        return path + ": configuration not read (missing key, wrong type or not JSON)";
    for (const auto& [key, value] : options.settings) {
        const std::string problem = applySetting(read.detectorAndSource.detector, key, value);
        if (!problem.empty()) return "--set " + key + "=" + value + ": " + key + ": " + problem;
    }
    if (std::string problem = readEventRecordingSettings(path, read.events); !problem.empty()) return problem;
    if (!read.events.enabled)
        return path + ": Event_Recording.enabled must be true: the watcher records events";
    if (std::string problem = readWatchSettings(path, read.watch); !problem.empty()) return problem;
    if (options.source) read.detectorAndSource.videoSource = *options.source;
    out = read;
    return "";
}

int runWatch(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
    quietenLibraries();
    const ParsedWatchCommandLine parsed = parseWatchCommandLine(argc, argv);
    switch (parsed.outcome) {
        case ParsedWatchCommandLine::Help:
            out << parsed.text << std::flush;
            return kWatchStopped;
        case ParsedWatchCommandLine::Version:
            out << "tarvolen-watch " << kWatchVersion << std::endl;
            return kWatchStopped;
        case ParsedWatchCommandLine::UsageError:
            err << kProgram << parsed.text << " (see --help)" << std::endl;
            return kWatchUsage;
        case ParsedWatchCommandLine::Run:
            break;
    }
    WatchConfiguration config;
    if (std::string problem = loadWatchConfiguration(parsed.options, config); !problem.empty()) {
        err << kProgram << problem << std::endl;
        return kWatchUsage;
    }
    installSignalHandlers();
    WatchSession session(config, parsed.options, err);
    return session.run();
}

}  // namespace tarvolen
