#include "scan/Scanner.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <new>
#include <optional>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "events/DetectionStep.h"
#include "events/VideoClipSink.h"
#include "media/FrameInput.h"
#include "media/FrameReader.h"
#include "media/VideoFile.h"
#include "media/VideoInput.h"
#include "media/VideoSource.h"
#include "platform/MemoryLimits.h"
#include "detector/Detector.h"
#include "events/EventJson.h"
#include "events/EventRecorder.h"
#include "media/ClipWriter.h"
#include "media/StreamCut.h"
#include "roi/RoiSelection.h"
#include "draw/Annotation.h"
#include "draw/Timecode.h"
#include "scan/ContactSheet.h"
#include "scan/EventLog.h"
#include "scan/Progress.h"
#include "roi/Region.h"
#include "roi/RegionFile.h"
#include "scan/RunSummary.h"
#include "scan/Summary.h"

namespace tarvolen {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

const char* const kProgram = "tarvolen-scan: ";
// Frames not yet known to be in an event or not, held for the clips: the
// newest uncompressed up to this much, older ones as JPEG.
constexpr std::size_t kClipRawBytes = 320ull << 20;
constexpr std::size_t kClipBufferBytes = 1024ull << 20;
constexpr std::size_t kClipQueueBytes = 64ull << 20;  // frames waiting for the clip writer

// Bytes per pixel a scan holds of its own: the gray frame and the mask (one
// byte each), a colour frame conformed or copied for the annotated video, and
// the mask in colour for the mask video (3 bytes each).
constexpr std::size_t kScanImageBytesPerPixel = 8;
// Besides the detector's buffers: the reading's and the scan's own.
const std::size_t kFrameBytesPerPixel =
    FrameReader::bufferBytesPerPixel(kScanQueueFrames) + kScanImageBytesPerPixel;

// Why frames of this size cannot be scanned here, or an empty string. The
// detector's buffers are those of the size it detects at.
std::string tooLargeToScan(cv::Size size, int detectWidth) {
    const cv::Size detected = detectionSize(size, detectWidth);
    const double detectorShare =
        size.area() > 0 ? static_cast<double>(detected.area()) / static_cast<double>(size.area()) : 1.0;
    const auto detectorBytes = static_cast<std::size_t>(
        std::ceil(static_cast<double>(Detector::bufferBytesPerPixel()) * detectorShare));
    return frameSizeRefusal(size.width, size.height, detectorBytes + kFrameBytesPerPixel,
                            currentMemoryLimits())
        .value_or(std::string());
}

std::string clipName(const std::string& stem, int number, const char* extension) {
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, ".event_%03d%s", number, extension);
    return stem + suffix;
}

class FileScan {
public:
    FileScan(const std::string& f, const ScanContext& c)
        : file(f), context(c), options(c.options), stem(inputStem(f)), progress(c.err, c.showProgress) {}

    FileOutcome run();

private:
    bool openInput();
    std::unique_ptr<FrameReader> startReading();
    bool nextFrame(DecodedFrame& decoded);
    double frameTimeMs(const DecodedFrame& decoded);
    bool prepare(const cv::Mat& first);
    bool openOutputs();
    bool drawsEveryFrame() const;
    void processFrame(DecodedFrame& decoded);
    void conform(DecodedFrame& decoded) const;
    void sayLightChange(const FrameInfo& info, double percent);
    void onEvent(const EventRecord& closed);
    void cutClip(EventRecord& record);
    bool outputsFailed();
    void finishOutputs();
    void writeSheet();
    void report(FileOutcome outcome);
    void writeRunSummary(FileOutcome outcome);
    void error(const std::string& message) { context.err << kProgram << message << std::endl; }
    std::string outputPath(const std::string& name) const {
        return (fs::path(options.outputDir) / name).string();
    }

    const std::string file;
    const ScanContext& context;
    const ScanOptions& options;
    const std::string stem;
    ProgressReporter progress;

    std::unique_ptr<VideoFile> videoFile;  // FFmpeg's libraries read it
    cv::VideoCapture capture;              // else OpenCV's readers
    std::unique_ptr<FrameReader> reader;
    double durationMs = 0;
    std::vector<DamagedStretch> damage;
    bool endedEarly = false;  // decoding stopped for good before the file's end
    double reportedFps = 0;
    std::int64_t announcedFrames = 0;
    double fps = 0;
    cv::Size frameSize;
    cv::Mat roiMask;
    RegionOutline outline;
    std::unique_ptr<Detector> detector;
    std::unique_ptr<DetectionStep> step;
    int lightChanges = 0;
    cv::Mat mask;

    EventLog log;
    std::unique_ptr<EventRecorder> recorder;
    std::unique_ptr<ContactSheet> sheet;
    std::unique_ptr<ClipWriter> annotatedWriter;
    std::unique_ptr<ClipWriter> maskWriter;
    std::string outputFailure;
    std::string copyExtension;  // of clips cut from the source's packets

    std::int64_t frames = 0;
    double firstMs = -1;
    std::int64_t lastIndex = -1;
    double lastMs = 0;
    std::string inputProblem;
    Clock::time_point started;
    FileSummary summary;
};

FileOutcome FileScan::run() {
    started = Clock::now();
    if (!openInput()) {
        writeRunSummary(FileOutcome::InputFailed);
        return FileOutcome::InputFailed;
    }
    reader = startReading();
    DecodedFrame decoded;
    if (!nextFrame(decoded)) {
        if (context.interrupted()) return FileOutcome::Interrupted;
        inputProblem = options.startMs ? "no frame in the range" : "no frame could be decoded";
        error(file + ": " + inputProblem);
        writeRunSummary(FileOutcome::InputFailed);
        return FileOutcome::InputFailed;
    }
    if (!prepare(decoded.picture)) {
        writeRunSummary(FileOutcome::InputFailed);
        return FileOutcome::InputFailed;
    }
    if (!openOutputs()) {
        error(outputFailure);
        return FileOutcome::OutputFailed;
    }
    FileOutcome outcome = FileOutcome::Scanned;
    try {
        do {
            processFrame(decoded);
            if (outputsFailed()) {
                outcome = FileOutcome::OutputFailed;
                break;
            }
            if (context.interrupted()) {
                outcome = FileOutcome::Interrupted;
                break;
            }
        } while (!recorder->done() && nextFrame(decoded));
    } catch (const std::bad_alloc&) {
        reader->stop();
        recorder->finish();
        error(file + ": frames of " + std::to_string(frameSize.width) + "x" +
              std::to_string(frameSize.height) + " need more memory than there is");
        return FileOutcome::InputFailed;
    }
    reader->stop();
    const auto* fileInput = dynamic_cast<const FileInput*>(&reader->input());
    if (fileInput != nullptr) {
        damage = fileInput->damage();
        endedEarly = fileInput->endedEarly();
    }
    if (context.interrupted()) outcome = FileOutcome::Interrupted;
    progress.clear();
    // A file that ends before the frames it announced, or whose rest cannot
    // be decoded at all, stopped decoding for good: one warning says where
    // (a damaged stretch at that very end is the same fault). Otherwise the
    // damage met, if any, gets its one line.
    const bool ranged = options.startMs || options.endMs;
    const bool endedShort = !ranged && announcedFrames > lastIndex + 2;
    const bool stoppedEarly =
        outcome == FileOutcome::Scanned && !recorder->done() && (endedEarly || endedShort);
    if (stoppedEarly && !damage.empty() && damage.back().beforeFrame == lastIndex + 1) damage.pop_back();
    endedEarly = endedEarly || stoppedEarly;
    if (!options.quiet && outcome == FileOutcome::Scanned) {
        if (stoppedEarly) {
            error("warning: " + file + ": decoding stopped at frame " + std::to_string(lastIndex + 1) +
                  (announcedFrames > 0 ? " of " + std::to_string(announcedFrames) + " announced" : std::string()) +
                  "; the scan ends there" + (damage.empty() ? std::string() : "; " + damageText(damage)));
        } else if (!damage.empty()) {
            error("warning: " + file + ": " + damageText(damage) + "; every frame that could be decoded was scanned");
        }
    }
    finishOutputs();
    writeRunSummary(outputFailure.empty() ? outcome : FileOutcome::OutputFailed);
    if (outcome != FileOutcome::OutputFailed && !outputFailure.empty()) outcome = FileOutcome::OutputFailed;
    if (outcome == FileOutcome::OutputFailed) error(outputFailure);
    report(outcome);
    return outcome;
}

bool FileScan::openInput() {
    std::error_code ec;
    if (fs::is_directory(file, ec)) {
        inputProblem = "is a folder, not a video file";
        error(file + ": " + inputProblem);
        return false;
    }
    std::optional<cv::Size> reportedSize;
    std::string why;
    videoFile = VideoFile::open(file, why);
    // Detected at a set width, the picture the detector needs is the
    // decoder's luma plane; BGR is made only for what is drawn.
    if (videoFile && options.detection.detectWidth > 0) videoFile->setPictures(FramePictures::Luma);
    if (videoFile) {
        reportedSize = videoFile->frameSize();
        reportedFps = videoFile->reportedFps();
        announcedFrames = videoFile->announcedFrames();
        durationMs = videoFile->durationMs();
    } else if (openVideoFile(file, capture)) {
        // Not for FFmpeg's libraries (an image sequence, another back end's
        // format): OpenCV's readers, as they are.
        reportedSize = reportedFrameSize(capture);
        reportedFps = capture.get(cv::CAP_PROP_FPS);
        const double count = capture.get(cv::CAP_PROP_FRAME_COUNT);
        announcedFrames =
            std::isfinite(count) && count > 0 && count < 1e15 ? static_cast<std::int64_t>(count) : 0;
    } else {
        inputProblem = "cannot open as a video file";
        error(file + ": " + inputProblem);
        return false;
    }
    const std::string tooLarge =
        reportedSize ? tooLargeToScan(*reportedSize, options.detection.detectWidth) : std::string();
    if (!tooLarge.empty()) {
        inputProblem = tooLarge;
        error(file + ": " + tooLarge);
        return false;
    }
    return true;
}

std::unique_ptr<FrameReader> FileScan::startReading() {
    FrameReaderSettings reading = scanReading(context.interrupted);
    // BGR for every frame is better made on the reading thread, beside the detection.
    reading.colourAhead = drawsEveryFrame();
    if (!videoFile) return std::make_unique<FrameReader>(std::move(capture), std::move(reading));
    // Frames before the range are not decoded where the file can seek.
    if (options.startMs) videoFile->skipTo(*options.startMs);
    return std::make_unique<FrameReader>(std::make_unique<FileInput>(std::move(videoFile)),
                                         std::move(reading));
}

// Clips drawn from the frames and the annotated video draw on every frame;
// the contact sheet only on an event's busiest one.
bool FileScan::drawsEveryFrame() const {
    return (options.clips && clipFormatNamed(options.clipFormat).has_value()) ||
           !options.annotatedPath.empty();
}

// The next frame of the range; false at its end or the file's.
bool FileScan::nextFrame(DecodedFrame& decoded) {
    while (reader->next(decoded) == FrameReader::Status::Frame) {
        const double ms = frameTimeMs(decoded);
        decoded.positionMs = ms;
        if (options.startMs && ms < *options.startMs) continue;  // read by OpenCV, which cannot skip
        if (options.endMs && ms >= *options.endMs) return false;
        return true;
    }
    return false;
}

// A frame's own presentation time. One the file does not give (or gives out
// of order) follows the frame before by one frame period of the reported
// rate, so times always increase.
double FileScan::frameTimeMs(const DecodedFrame& decoded) {
    const double period = 1000.0 / eventFrameRate(reportedFps);
    if (firstMs < 0) return decoded.positionMs >= 0 ? decoded.positionMs : static_cast<double>(decoded.index) * period;
    if (decoded.positionMs > lastMs) return decoded.positionMs;
    return lastMs + period;
}

bool FileScan::prepare(const cv::Mat& first) {
    frameSize = first.size();
    const std::string tooLarge = tooLargeToScan(frameSize, options.detection.detectWidth);
    if (!tooLarge.empty()) {
        error(file + ": " + tooLarge);
        return false;
    }
    // The frames may differ from the size the file reported.
    if (const std::string outside = regionOutsideFrameText(options, frameSize); !outside.empty()) {
        inputProblem = outside;
        error(file + ": " + outside);
        return false;
    }
    fps = eventFrameRate(reportedFps);
    const bool region = !options.regions.empty() || !options.polygons.empty();
    roiMask = regionMask(options.regions, options.polygons, frameSize);
    if (region) outline = regionOutline(roiMask);
    detector = std::make_unique<Detector>();
    detector->setParameters(context.detector);
    step = std::make_unique<DetectionStep>(*detector, options.detection);
    step->setRegion(region ? roiMask : cv::Mat());
    try {
        step->prepare(frameSize);
    } catch (const std::bad_alloc&) {
        error(file + ": frames of " + std::to_string(frameSize.width) + "x" +
              std::to_string(frameSize.height) + " need more memory than can be had");
        return false;
    }
    mask = cv::Mat::zeros(frameSize, CV_8UC1);
    summary.file = file;
    summary.fps = fps;
    return true;
}

bool FileScan::openOutputs() {
    if (context.writeFiles && !log.open(outputPath(stem + ".events.jsonl"))) {
        outputFailure = log.failure();
        return false;
    }
    EventRecorderSettings settings;
    settings.rules = eventRulesFor(fps, options.preSeconds, options.postSeconds, options.minEventSeconds);
    settings.maxEvents = options.quitAfter;
    settings.frameSize = frameSize;
    const std::optional<ClipFormat> clipFormat = clipFormatNamed(options.clipFormat);
    const bool drawnClips = options.clips && clipFormat.has_value();
    settings.clipFps = drawnClips ? fps : 0.0;
    settings.buffer = FrameBufferLimits{kClipRawBytes, kClipBufferBytes, 90};
    settings.clipQueueBytes = kClipQueueBytes;
    recorder = std::make_unique<EventRecorder>(
        settings, drawnClips ? videoFileClipSinks(*clipFormat) : ClipSinkFactory(),
        [this, clipFormat](int number, const FrameInfo&) {
            return outputPath(clipName(stem, number, clipExtension(clipFormat.value_or(ClipFormat::Avi))));
        },
        [this](const EventRecord& record) { onEvent(record); });
    if (options.sheet) sheet = std::make_unique<ContactSheet>(fs::path(file).filename().string(), frameSize);
    const std::pair<const std::string*, std::unique_ptr<ClipWriter>*> videos[] = {
        {&options.annotatedPath, &annotatedWriter}, {&options.maskPath, &maskWriter}};
    for (const auto& [pattern, writer] : videos) {
        if (pattern->empty()) continue;
        const std::string path = expandStem(*pattern, stem);
        // The command line made sure of the extension.
        *writer = std::make_unique<ClipWriter>(clipFormatOfPath(path).value_or(ClipFormat::Avi));
        if (!(*writer)->open(path, fps, frameSize)) {
            outputFailure = (*writer)->failure();
            return false;
        }
    }
    return true;
}

// A frame of another size or layout is brought to the first one's, as the
// live program does; one that cannot be counts as black. The decoder's luma
// plane, of the first frame's size, stays as it is.
void FileScan::conform(DecodedFrame& decoded) const {
    const cv::Mat& picture = decoded.picture;
    const bool luma = decoded.luma && picture.type() == CV_8UC1;
    if ((luma || picture.type() == CV_8UC3) && picture.size() == frameSize) return;
    const cv::Mat source = decoded.takeBgr();
    cv::Mat conformed;
    if (!conformFrame(source, frameSize, conformed)) conformed = cv::Mat::zeros(frameSize, CV_8UC3);
    decoded.picture = conformed;
}

void FileScan::processFrame(DecodedFrame& decoded) {
    conform(decoded);
    const Detection detection = step->process(decoded.picture, decoded.grayLevels());

    FrameInfo info;
    // Numbers and times are the whole file's, also for a range.
    info.index = decoded.index;
    info.timeMs = decoded.positionMs;
    info.objects.reserve(detection.objects.size());
    for (const ObjectTrack& t : detection.objects) info.objects.push_back(t.box);
    if (firstMs < 0) firstMs = info.timeMs;
    lastMs = info.timeMs;
    lastIndex = info.index;
    if (detection.lightChangePercent) sayLightChange(info, *detection.lightChangePercent);

    // Only what is drawn on needs the frame in BGR.
    const bool peak = sheet && recorder->wantsPeakPicture(static_cast<int>(detection.objects.size()));
    const bool drawn = recorder->writesClips() || annotatedWriter;
    cv::Mat frame = peak || drawn ? decoded.takeBgr() : cv::Mat();
    cv::Mat peakPicture;
    if (peak) peakPicture = sheet->makePicture(frame);
    if (drawn) annotateFrame(frame, info.objects, outline, info.timeMs);
    if (maskWriter) {
        step->copyEventMask(frameSize, mask);
        cv::Mat colourMask;
        cv::cvtColor(mask, colourMask, cv::COLOR_GRAY2BGR);
        maskWriter->write(std::move(colourMask));
    }
    // The writers share the annotated pixels; nobody writes into them again.
    if (annotatedWriter) annotatedWriter->write(frame);
    recorder->addFrame(std::move(info), recorder->writesClips() ? frame : cv::Mat(), peakPicture);
    frame.release();
    decoded.luma.reset();  // the decoder's picture goes back now
    reader->recycle(std::move(decoded.picture));
    ++frames;
    progress.update(ProgressState{frames, announcedFrames,
                                  std::chrono::duration<double>(Clock::now() - started).count(),
                                  recorder->eventsCompleted()});
}

// A change of light is worth a line, unless the scan was asked to be quiet.
void FileScan::sayLightChange(const FrameInfo& info, double percent) {
    ++lightChanges;
    if (options.quiet) return;
    progress.clear();
    error(file + ": light change at " + formatTimecode(info.timeMs) + " (frame " +
          std::to_string(info.index) + "): " + std::to_string(std::lround(percent)) +
          " % of the region changed; the model starts afresh");
}

// Cut from the source's own packets, beside the frames: the scan goes on
// reading only once the clip is written.
void FileScan::cutClip(EventRecord& record) {
    if (copyExtension.empty()) copyExtension = streamCutExtension(file);
    record.clipPath = outputPath(clipName(stem, record.number, copyExtension.c_str()));
    const StreamCutResult cut = cutStream(file, record.clipPath, record.startMs, record.endMs);
    if (cut.videoPackets > 0) {
        record.clipFirstMs = cut.firstMs;
        record.clipLastMs = cut.lastMs;
    }
    if (!cut.ok && outputFailure.empty()) outputFailure = cut.failure;
}

void FileScan::onEvent(const EventRecord& closed) {
    EventRecord record = closed;
    if (options.clips && options.clipFormat == "copy") cutClip(record);
    if (context.writeFiles && !log.append(eventJsonLine(EventTimes::MediaTime, record, file)) && outputFailure.empty())
        outputFailure = log.failure();
    if (context.onEvent) context.onEvent(record);
    const double frameMs = 1000.0 / fps;
    if (sheet)
        sheet->addEvent(record.number, record.startMs, record.endMs + frameMs, record.peakPicture,
                        record.peakObjects);
    summary.events.push_back(SummaryRow{record.number, record.startMs, record.endMs,
                                        record.endFrame - record.startFrame + 1, record.maxObjects});
}

bool FileScan::outputsFailed() {
    if (!outputFailure.empty()) return true;
    const std::string clipProblem = recorder->clipFailure();
    if (!clipProblem.empty()) {
        outputFailure = clipProblem;
    } else if (annotatedWriter && annotatedWriter->failed()) {
        outputFailure = annotatedWriter->failure();
    } else if (maskWriter && maskWriter->failed()) {
        outputFailure = maskWriter->failure();
    }
    return !outputFailure.empty();
}

void FileScan::finishOutputs() {
    recorder->finish();  // closes an open event at the last frame scanned
    for (ClipWriter* writer : {annotatedWriter.get(), maskWriter.get()}) {
        if (writer) writer->finish();
    }
    outputsFailed();
    if (!log.close() && outputFailure.empty()) outputFailure = log.failure();
    if (sheet) writeSheet();
}

void FileScan::writeSheet() {
    const std::string path = outputPath(stem + ".sheet.png");
    const cv::Mat picture = sheet->render(lastMs + 1000.0 / fps, frames);
    bool written = false;
    try {
        written = cv::imwrite(path, picture);
    } catch (const cv::Exception&) {
        written = false;
    }
    if (!written && outputFailure.empty()) outputFailure = "cannot write " + path;
}

void FileScan::report(FileOutcome outcome) {
    if (options.quiet) return;
    summary.framesScanned = frames;
    summary.elapsedSeconds = std::chrono::duration<double>(Clock::now() - started).count();
    summary.interrupted = outcome == FileOutcome::Interrupted;
    summary.damage = damage;
    context.out << summaryText(summary) << std::flush;
}

void FileScan::writeRunSummary(FileOutcome outcome) {
    if (!context.writeFiles) return;
    RunSummary run;
    run.file = file;
    run.outcome = outcome;
    run.problem = inputProblem.empty() ? outputFailure : inputProblem;
    run.durationMs = durationMs;
    run.framesRead = frames;
    run.firstFrame = lastIndex >= 0 ? lastIndex + 1 - frames : 0;
    run.firstMs = firstMs;
    run.lastMs = lastMs;
    run.damage = damage;
    run.endedEarly = endedEarly;
    run.reportedFps = reportedFps;
    run.eventFps = fps;
    run.events = recorder ? recorder->eventsCompleted() : 0;
    run.lightChanges = lightChanges;
    run.elapsedSeconds = std::chrono::duration<double>(Clock::now() - started).count();
    const std::string path = outputPath(stem + ".scan.json");
    if (!writeRunSummaryFile(path, run, options, context.detector) && outputFailure.empty())
        outputFailure = "cannot write " + path;
}

}  // namespace

FileOutcome scanFile(const std::string& file, const ScanContext& context) {
    return FileScan(file, context).run();
}

}  // namespace tarvolen
