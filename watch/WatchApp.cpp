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
#include "media/PacketReader.h"
#include "media/PacketRing.h"
#include "media/SourceInput.h"
#include "media/VideoSource.h"
#include "media/VideoFile.h"
#include "media/VideoFileWriter.h"
#include "events/Retention.h"
#include "events/Snapshot.h"
#include "platform/HookRunner.h"
#include "platform/MemoryLimits.h"
#include "platform/Signals.h"
#include "platform/WholeFile.h"
#include "watch/Metrics.h"
#include "watch/MqttPublisher.h"
#include "watch/MqttTls.h"
#include "watch/Notices.h"
#include "watch/StatusFile.h"
#include "watch/WatchLoop.h"
#include "watch/WatchSource.h"
#include "watch/WatchStatus.h"
#include "watch/WebServer.h"

namespace tarvolen {
namespace {

namespace fs = std::filesystem;
using std::chrono::duration;
using std::chrono::milliseconds;

const char* const kProgram = "tarvolen-watch: ";
const char* const kFfmpegQuiet = "-8";  // AV_LOG_QUIET
// The loop's own images besides the frame: the gray frame and the region mask.
constexpr std::size_t kLoopImageBytesPerPixel = 2;
// Packets kept besides what the pre-capture needs: the frames between a
// packet's arrival and its frame's place in an event (decoding, the loop).
constexpr double kRingMarginSeconds = 3.0;
const char* const kCopyFormat = "copy";

// The watcher reports bad input itself, on one line: no OpenCV or FFmpeg
// chatter, unless the user asks for FFmpeg's.
void quietenLibraries() {
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
    setenv("OPENCV_FFMPEG_LOGLEVEL", kFfmpegQuiet, 0);
    VideoFile::quietenLibraryLog();
}

// The first SIGINT, SIGTERM or SIGHUP finishes the open clip and ends the
// watch; a second one ends the program at once. A broker or web client that
// goes away does not end it either: main() has SIGPIPE ignored.
void installSignalHandlers() { installQuitSignals(); }

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

bool copying(const EventRecordingSettings& events) { return events.format == kCopyFormat; }

// Enough of a stream's newest packets for the pre-capture of any event.
PacketRingLimits ringLimits(const EventRecordingSettings& events) {
    PacketRingLimits limits;
    limits.keep = toMilliseconds(events.preSeconds + events.minEventSeconds + kRingMarginSeconds);
    return limits;
}

// How a live source is opened, each time: its time limit, the ring its
// packets are kept in (for copied clips; may be null), and whether the
// detector takes the decoder's luma plane.
struct LiveOpening {
    milliseconds timeout{0};
    std::shared_ptr<PacketRing> ring;
    FramePictures pictures = FramePictures::Colour;
};

// A network stream read through FFmpeg's own libraries; with a ring, every
// packet is kept there too, for clips copied from it.
std::unique_ptr<FileInput> openStream(const std::string& url, const LiveOpening& how) {
    VideoFileOptions options;
    options.timeout = how.timeout;
    if (how.ring) options.onPacket = [ring = how.ring](const StreamPacket& packet) { ring->push(packet); };
    std::string ignored;
    std::unique_ptr<VideoFile> file = VideoFile::open(url, options, ignored);
    if (!file) return nullptr;
    file->setPictures(how.pictures);
    if (how.ring) how.ring->restart(file->layout());
    return std::make_unique<FileInput>(std::move(file));
}

// A camera or device through OpenCV's capture, a stream as above; with the
// size it reports (1 x 1 when none, or when it is not there yet: the first
// frame's size is taken once it is opened).
struct LiveInput {
    std::unique_ptr<VideoInput> input;
    cv::Size reported{1, 1};
};

LiveInput openLive(const std::string& source, const LiveOpening& how) {
    LiveInput live;
    if (isStreamUrl(source)) {
        std::unique_ptr<FileInput> stream = openStream(source, how);
        if (stream) live.reported = stream->frameSize();
        live.input = std::move(stream);
        return live;
    }
    std::unique_ptr<CaptureInput> capture = openSourceInput(source, how.timeout);
    if (capture) live.reported = reportedFrameSize(capture->opened()).value_or(cv::Size(1, 1));
    live.input = std::move(capture);
    return live;
}

// A file is read once, to its end; frames keep the file's size. When every
// frame is drawn on (clips of the annotated frames), one read as luma has its
// colour made on the reading thread.
FrameReaderSettings fileReading(cv::Size size, bool everyFrameDrawn) {
    FrameReaderSettings settings;
    settings.onEmptyRead = EmptyReadPolicy::ToEnd;
    settings.queueFrames = kLiveFileQueueFrames;
    settings.conformTo = size;
    settings.stopRequested = quitRequested;
    settings.colourAhead = everyFrameDrawn;
    return settings;
}

// A camera, device or stream is reopened whenever it is lost, with pauses
// growing to Watch.reconnect_max_seconds, for as long as the watch runs.
FrameReaderSettings liveReading(const std::string& source, cv::Size size, const WatchSettings& watch,
                                const LiveOpening& how, bool everyFrameDrawn) {
    FrameReaderSettings settings = reconnectingReading(
        size, [source, how]() { return openLive(source, how).input; }, how.timeout);
    settings.reconnectMaxPause = toMilliseconds(watch.reconnectMaxSeconds);
    settings.stopRequested = quitRequested;
    settings.colourAhead = everyFrameDrawn;
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
          shown(sourceForMessages(source)),
          board(initialStatus(shown, c.events)),
          started(std::chrono::system_clock::now()) {}

    ~WatchSession() {
        if (web) web->stop();
    }

    int run() {
        const std::optional<WatchSourceKind> kind = classifyWatchSource(source);
        if (!kind)
            return fail(kWatchUsage, "cannot watch \"" + shown + "\": give a camera, device, file or URL");
        if (*kind == WatchSourceKind::File) return watchFile();
        return watchLive();
    }

private:
    static WatchStatus initialStatus(const std::string& shownSource, const EventRecordingSettings& events) {
        WatchStatus status;
        status.source = shownSource;
        status.folderCapBytes = retentionRules(events.maxFolderMb, events.maxAgeDays).maxFolderBytes;
        status.stateSince = std::chrono::system_clock::now();
        return status;
    }

    int fail(int status, const std::string& line) {
        err << kProgram << line << std::endl;
        return status;
    }

    int watchFile() {
        std::string why;
        std::optional<OpenedSource> opened = openWatchFile(source, why, detectedPictures());
        if (quitRequested()) return kWatchStopped;
        if (!opened) return fail(kWatchFailed, "cannot open " + shown + ": " + why);
        if (std::string outside = regionOutside(opened->frameSize); !outside.empty())
            return fail(kWatchUsage, outside);
        if (std::string problem = prepareServices(); !problem.empty()) return fail(kWatchFailed, problem);
        if (std::string problem = prepareDetection(opened->frameSize, opened->fps, true); !problem.empty())
            return fail(kWatchFailed, problem);
        if (!loop->recording()) return kWatchFailed;  // its line is out
        err << startedLine(shown, *opened, options.fast) << std::endl;
        startRecordStream();
        std::unique_ptr<VideoInput> input = std::move(opened->input);
        if (!options.fast) input = std::make_unique<PacedInput>(std::move(input), opened->fps);
        FrameReader reader(std::move(input), fileReading(opened->frameSize, !copying(config.events)));
        return watch(reader, std::nullopt);
    }

    // A camera, device or stream: one that is not there at start is waited
    // for like one that was lost; the detector is sized by its first frame.
    int watchLive() {
        if (std::string problem = prepareServices(); !problem.empty()) return fail(kWatchFailed, problem);
        if (copying(config.events) && isStreamUrl(source))
            copySources.detect = std::make_shared<PacketRing>(ringLimits(config.events));
        startRecordStream();
        LiveOpening how;
        how.timeout = toMilliseconds(config.watch.sourceTimeoutSeconds);
        how.ring = copySources.detect;
        how.pictures = detectedPictures();
        LiveInput live = openLive(source, how);
        FrameReader reader(std::move(live.input),
                           liveReading(source, live.reported, config.watch, how, !copying(config.events)));
        DecodedFrame first;
        if (!awaitFirstFrame(reader, first)) {
            reader.stop();
            printNotices(notices, err);
            err << stoppedLine(WatchEnd::Quit, 0) << std::endl;
            return kWatchStopped;
        }
        OpenedSource opened;
        opened.frameSize = first.picture.size();
        if (std::string outside = regionOutside(opened.frameSize); !outside.empty()) {
            reader.stop();
            return fail(kWatchUsage, outside);
        }
        if (std::string problem = prepareDetection(opened.frameSize, 0.0, false); !problem.empty())
            return fail(kWatchFailed, problem);
        if (!loop->recording()) return kWatchFailed;
        err << startedLine(shown, opened, false) << std::endl;
        return watch(reader, std::move(first));
    }

    // Until the source gives its first frame: lost and back said as in the
    // loop. False when a quit came first.
    bool awaitFirstFrame(FrameReader& reader, DecodedFrame& first) {
        for (;;) {
            printNotices(notices, err);
            if (quitRequested()) return false;
            switch (reader.next(first, WatchLoop::kFrameWait)) {
                case FrameReader::Status::Frame:
                    return true;
                case FrameReader::Status::SourceLost:
                    err << "Video source lost: " << shown << std::endl;
                    markLost();
                    runSourceHook(board.snapshot());
                    break;
                case FrameReader::Status::SourceBack: {
                    const double outage = duration<double>(reader.lastOutage()).count();
                    err << "Video source back after " << std::fixed << std::setprecision(1) << outage << " s"
                        << std::endl;
                    err.unsetf(std::ios::floatfield);
                    board.update([outage](WatchStatus& s) { s.lastOutageSeconds = outage; });
                    break;
                }
                case FrameReader::Status::Ended:
                case FrameReader::Status::Stalled:
                    return false;
                case FrameReader::Status::Waiting:
                case FrameReader::Status::Stalling:
                    break;
            }
        }
    }

    // Detected at a set width, the detector needs only the decoder's luma
    // plane; colour is made for the frames drawn on.
    FramePictures detectedPictures() const {
        return config.watch.detection.detectWidth > 0 ? FramePictures::Luma : FramePictures::Colour;
    }

    // The camera's record stream, copied into the clips: read from the start
    // on, lost and back on lines of its own.
    void startRecordStream() {
        if (config.watch.recordSource.empty() || recordReader) return;
        copySources.record = std::make_shared<PacketRing>(ringLimits(config.events));
        PacketReaderSettings settings;
        settings.source = config.watch.recordSource;
        settings.sourceTimeout = toMilliseconds(config.watch.sourceTimeoutSeconds);
        settings.reconnectMaxPause = toMilliseconds(config.watch.reconnectMaxSeconds);
        const std::string shownRecord = sourceForMessages(config.watch.recordSource);
        settings.onLost = [this, shownRecord] { notices.add("Record source lost: " + shownRecord); };
        settings.onBack = [this](std::chrono::duration<double> outage) {
            std::ostringstream line;
            line << "Record source back after " << std::fixed << std::setprecision(1) << outage.count() << " s";
            notices.add(line.str());
        };
        recordReader = std::make_unique<PacketReader>(std::move(settings), copySources.record);
    }

    void markLost() {
        const auto now = std::chrono::system_clock::now();
        board.update([now](WatchStatus& s) { setSourceState(s, SourceState::Lost, now); });
        statusFile->changed();
    }

    // on_source_lost when the source is lost; on_source_back when frames
    // come again after a loss (not when they first come).
    void runSourceHook(const WatchStatus& now) {
        const SourceState before = hookedState;
        hookedState = now.state;
        if (!sourceHooks || now.state == before) return;
        HookEnvironment variables = {{"TARVOLEN_SOURCE", shown}};
        if (now.state == SourceState::Lost && !config.watch.onSourceLost.empty()) {
            sourceHooks->run("on_source_lost", config.watch.onSourceLost, variables);
        } else if (now.state == SourceState::Up && before == SourceState::Lost && !config.watch.onSourceBack.empty()) {
            if (now.lastOutageSeconds)
                variables.emplace_back("TARVOLEN_OUTAGE_SECONDS", std::to_string(*now.lastOutageSeconds));
            sourceHooks->run("on_source_back", config.watch.onSourceBack, variables);
        }
    }

    // Folder, status file, MQTT and web view: the problem, or empty.
    std::string prepareServices() {
        if (std::string problem = folderProblem(config.events.folder); !problem.empty()) return problem;
        statusFile = std::make_unique<StatusFile>(
            config.watch.statusFile, toMilliseconds(config.watch.statusIntervalSeconds), config.events.folder,
            board, [this](const std::string& line) { notices.add(line); });
        if (std::string problem = statusFile->writeNow(); !problem.empty())
            return "cannot write the status file " + config.watch.statusFile + ": " + problem;
        if (config.watch.mqtt) startMqtt();
        if (!config.watch.onSourceLost.empty() || !config.watch.onSourceBack.empty()) {
            HookTiming timing;
            timing.timeout = toMilliseconds(config.events.hookTimeoutSeconds);
            sourceHooks = std::make_unique<HookRunner>([this](const std::string& line) { notices.add(line); },
                                                       timing);
        }
        if (config.watch.web && !config.watch.web->listen.empty()) {
            WebSources sources;
            sources.status = [this] { return nlohmann::json::parse(board.json()); };
            sources.eventFolder = config.events.folder;
            sources.eventLog = (fs::path(config.events.folder) / config.events.log).string();
            sources.cameraName = config.watch.name;
            sources.metrics = [this] { return metrics(); };
            web = std::make_unique<WebServer>(*config.watch.web, std::move(sources));
            std::string problem;
            if (!web->start(problem)) return problem;
            err << "Web view on http://" << config.watch.web->listen << "/" << std::endl;
        }
        statusFile->start();
        return "";
    }

    // The broker hears the status with each round of the status file, the
    // first at once.
    void startMqtt() {
        mqtt = std::make_unique<MqttPublisher>(*config.watch.mqtt, notices,
                                               MqttCamera{config.watch.name, config.events.snapshot});
        mqtt->publishStats(board.json());
        statusFile->setOnWritten([this](const std::string& statusJson) { mqtt->publishStats(statusJson); });
    }

    // On a web server's thread: everything read here is safe to read while
    // the loop runs, and lives as long as the server.
    std::string metrics() {
        MetricsInput input;
        input.camera = config.watch.name;
        input.status = board.snapshot();
        if (mqtt) input.mqttConnected = mqtt->connected();
        if (sourceHooks) input.sourceHooksDropped = sourceHooks->dropped();
        input.started = started;
        input.now = std::chrono::system_clock::now();
        return metricsText(input);
    }

    // The event's snapshot, as its file holds it, for the broker to keep.
    void publishSnapshotOf(const std::string& clipPath) {
        std::string jpeg;
        if (config.events.snapshot && readWholeFile(snapshotPathFor(clipPath), jpeg))
            mqtt->publishSnapshot(std::move(jpeg));
    }

    // The region's polygons are in the first frame's pixels: one that has
    // none of them is a mistake of the configuration, said as the scan says it.
    std::string regionOutside(cv::Size size) const {
        const std::optional<std::string> polygon = polygonOutsideFrame(config.region, size);
        if (!polygon) return "";
        return options.configPath + ": Watch.region_file " + config.watch.regionFile + ": " + *polygon +
               " lies wholly outside the " + std::to_string(size.width) + "x" + std::to_string(size.height) +
               " frame";
    }

    // Detector, memory and the loop for frames of `size`: the problem, or empty.
    std::string prepareDetection(cv::Size size, double fileFps, bool fileSource) {
        if (!detector.setParameters(config.detectorAndSource.detector))
            return "the detector refuses its parameters";
        const cv::Size detected = detectionSize(size, config.watch.detection.detectWidth);
        if (std::optional<std::string> tooLarge =
                reserveFrameBuffers(size.width, size.height, watchBytesPerPixel(),
                                    [this, detected] { detector.prepare(detected.width, detected.height); }))
            return *tooLarge;
        WatchRun run;
        run.source = shown;
        run.fileSource = fileSource;
        run.fileFps = fileSource ? fileFps : 0.0;
        run.frameSize = size;
        run.events = config.events;
        if (copying(config.events)) {
            run.copy = copySources;
            if (fileSource) run.copy.file = source;
            run.copy.tailWait = toMilliseconds(config.watch.sourceTimeoutSeconds);
        }
        run.detection = config.watch.detection;
        run.region = config.region;
        loop = std::make_unique<WatchLoop>(run, detector, board, observers(), err);
        return "";
    }

    WatchObservers observers() {
        WatchObservers o;
        o.onEventStart = [this](const std::string& startJson) {
            if (!mqtt) return;
            mqtt->publishEvent(eventStartMessage(startJson, shown));
            mqtt->publishMotion(true);
        };
        o.onEventEnd = [this](const std::string& line, const std::string& clipPath) {
            if (!mqtt) return;
            mqtt->publishEvent(eventEndMessage(line, shown));
            publishSnapshotOf(clipPath);
        };
        o.onStateChange = [this] {
            statusFile->changed();
            runSourceHook(board.snapshot());
        };
        o.onPass = [this] {
            printNotices(notices, err);
            // An event closes some frames before its clip is finished.
            if (mqtt) mqtt->publishMotion(board.eventOpen());
        };
        if (web) {
            o.onFrame = [this](const cv::Mat& annotated) { web->publishFrame(annotated); };
            o.wantsFrames = [this] { return web->wantsFrames(); };
        }
        return o;
    }

    int watch(FrameReader& reader, std::optional<DecodedFrame> first) {
        const WatchEnd end = loop->run(reader, quitRequested, std::move(first));
        loop->finish();
        reader.stop();
        if (recordReader) recordReader->stop();
        printNotices(notices, err);
        err << stoppedLine(end, loop->eventsLogged()) << std::endl;
        return kWatchStopped;
    }

    const WatchConfiguration& config;
    const WatchOptions& options;
    std::ostream& err;
    const std::string source;
    const std::string shown;  // a URL's secrets hidden
    Notices notices;
    WatchStatusBoard board;
    const WatchStatus::WallTime started;
    Detector detector;
    // The broker outlives the status file, whose last round it still hears.
    std::unique_ptr<MqttPublisher> mqtt;
    std::unique_ptr<StatusFile> statusFile;
    std::unique_ptr<WebServer> web;
    std::unique_ptr<HookRunner> sourceHooks;
    SourceState hookedState = SourceState::Starting;
    CopySources copySources;                    // with copied clips: the streams' packets
    std::unique_ptr<PacketReader> recordReader;  // with a record source
    std::unique_ptr<WatchLoop> loop;
};

// Copied clips need packets: a stream or a file, never a camera's frames;
// a record source makes sense only for them.
std::string copyProblem(const WatchConfiguration& config) {
    const bool copy = copying(config.events);
    if (!config.watch.recordSource.empty() && !copy)
        return "Watch.record_source needs Event_Recording.format \"copy\" (its packets are copied into the clips)";
    const std::optional<WatchSourceKind> kind = classifyWatchSource(config.detectorAndSource.videoSource);
    if (copy && kind && (*kind == WatchSourceKind::Camera || *kind == WatchSourceKind::Device))
        return "Event_Recording.format \"copy\" needs a stream or a video file as the source (the camera " +
               sourceForMessages(config.detectorAndSource.videoSource) + " gives frames, not packets)";
    return "";
}

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
    read.events.recoverUnloggedClips = true;
    if (std::string problem = readWatchSettings(path, read.watch); !problem.empty()) return problem;
    if (read.watch.mqtt && read.watch.mqtt->tls)
        if (std::string problem = checkMqttTlsFiles(*read.watch.mqtt->tls); !problem.empty())
            return path + ": " + problem;
    if (read.watch.web)
        if (std::string problem = checkWebSettings(*read.watch.web); !problem.empty()) return problem;
    if (!read.watch.regionFile.empty()) {
        std::string problem;
        std::optional<PolygonRegions> region = readRegionFile(read.watch.regionFile, problem);
        if (!region) return path + ": Watch.region_file " + problem;
        read.region = std::move(*region);
    }
    if (options.source) read.detectorAndSource.videoSource = *options.source;
    if (std::string problem = copyProblem(read); !problem.empty()) return path + ": " + problem;
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
    // Before anything slow: a service manager's SIGTERM while the watcher
    // is still starting must stop it cleanly, not kill it.
    installSignalHandlers();
    WatchConfiguration config;
    if (std::string problem = loadWatchConfiguration(parsed.options, config); !problem.empty()) {
        err << kProgram << problem << std::endl;
        return kWatchUsage;
    }
    WatchSession session(config, parsed.options, err);
    return session.run();
}

}  // namespace tarvolen
