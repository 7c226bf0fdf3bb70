#include "scan/Scanner.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <new>
#include <optional>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "events/VideoClipSink.h"
#include "media/FrameInput.h"
#include "media/FrameReader.h"
#include "media/VideoSource.h"
#include "platform/MemoryLimits.h"
#include "detector/Detector.h"
#include "events/EventJson.h"
#include "events/EventRecorder.h"
#include "media/VideoFileWriter.h"
#include "roi/RoiSelection.h"
#include "draw/Annotation.h"
#include "scan/ContactSheet.h"
#include "scan/EventLog.h"
#include "scan/Progress.h"
#include "roi/Region.h"
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

// Why frames of this size cannot be scanned here, or an empty string.
std::string tooLargeToScan(cv::Size size) {
    return frameSizeRefusal(size.width, size.height, Detector::bufferBytesPerPixel() + kFrameBytesPerPixel,
                            currentMemoryLimits())
        .value_or(std::string());
}

std::string clipName(const std::string& stem, int number) {
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, ".event_%03d.avi", number);
    return stem + suffix;
}

class FileScan {
public:
    FileScan(const std::string& f, const ScanContext& c)
        : file(f), context(c), options(c.options), stem(inputStem(f)), progress(c.err, c.showProgress) {}

    FileOutcome run();

private:
    bool openInput();
    bool prepare(const cv::Mat& first);
    bool openOutputs();
    void processFrame(DecodedFrame& decoded);
    void onEvent(const EventRecord& record);
    bool outputsFailed();
    void finishOutputs();
    void writeSheet();
    void report(FileOutcome outcome);
    void error(const std::string& message) { context.err << kProgram << message << std::endl; }
    std::string outputPath(const std::string& name) const {
        return (fs::path(options.outputDir) / name).string();
    }

    const std::string file;
    const ScanContext& context;
    const ScanOptions& options;
    const std::string stem;
    ProgressReporter progress;

    cv::VideoCapture capture;
    std::unique_ptr<FrameReader> reader;
    double reportedFps = 0;
    std::int64_t announcedFrames = 0;
    double fps = 0;
    cv::Size frameSize;
    cv::Mat roiMask;
    RegionOutline outline;
    std::unique_ptr<Detector> detector;
    cv::Mat gray;
    cv::Mat mask;

    EventLog log;
    std::unique_ptr<EventRecorder> recorder;
    std::unique_ptr<ContactSheet> sheet;
    std::unique_ptr<VideoFileWriter> annotatedWriter;
    std::unique_ptr<VideoFileWriter> maskWriter;
    std::string outputFailure;

    std::int64_t frames = 0;
    double lastMs = 0;
    Clock::time_point started;
    FileSummary summary;
};

FileOutcome FileScan::run() {
    started = Clock::now();
    if (!openInput()) return FileOutcome::InputFailed;
    reader = std::make_unique<FrameReader>(std::move(capture), scanReading(context.interrupted));
    DecodedFrame decoded;
    if (reader->next(decoded) != FrameReader::Status::Frame) {
        if (context.interrupted()) return FileOutcome::Interrupted;
        error(file + ": no frame could be decoded");
        return FileOutcome::InputFailed;
    }
    if (!prepare(decoded.picture)) return FileOutcome::InputFailed;
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
        } while (!recorder->done() && reader->next(decoded) == FrameReader::Status::Frame);
    } catch (const std::bad_alloc&) {
        reader->stop();
        recorder->finish();
        error(file + ": frames of " + std::to_string(frameSize.width) + "x" +
              std::to_string(frameSize.height) + " need more memory than there is");
        return FileOutcome::InputFailed;
    }
    reader->stop();
    if (context.interrupted()) outcome = FileOutcome::Interrupted;
    progress.clear();
    const bool stoppedEarly =
        outcome == FileOutcome::Scanned && !recorder->done() && announcedFrames > frames + 1;
    if (stoppedEarly && !options.quiet)
        error("warning: " + file + ": decoding stopped at frame " + std::to_string(frames) + " of " +
              std::to_string(announcedFrames) + " announced; the scan ends there");
    finishOutputs();
    if (outcome != FileOutcome::OutputFailed && !outputFailure.empty()) outcome = FileOutcome::OutputFailed;
    if (outcome == FileOutcome::OutputFailed) error(outputFailure);
    report(outcome);
    return outcome;
}

bool FileScan::openInput() {
    std::error_code ec;
    if (fs::is_directory(file, ec)) {
        error(file + ": is a folder, not a video file");
        return false;
    }
    if (!openVideoFile(file, capture)) {
        error(file + ": cannot open as a video file");
        return false;
    }
    const std::optional<cv::Size> reportedSize = reportedFrameSize(capture);
    const std::string tooLarge = reportedSize ? tooLargeToScan(*reportedSize) : std::string();
    if (!tooLarge.empty()) {
        error(file + ": " + tooLarge);
        return false;
    }
    reportedFps = capture.get(cv::CAP_PROP_FPS);
    const double count = capture.get(cv::CAP_PROP_FRAME_COUNT);
    announcedFrames =
        std::isfinite(count) && count > 0 && count < 1e15 ? static_cast<std::int64_t>(count) : 0;
    return true;
}

bool FileScan::prepare(const cv::Mat& first) {
    frameSize = first.size();
    const std::string tooLarge = tooLargeToScan(frameSize);
    if (!tooLarge.empty()) {
        error(file + ": " + tooLarge);
        return false;
    }
    if (const std::optional<cv::Rect> outside = regionOutsideFrame(options.regions, frameSize)) {
        error(file + ": --roi " + std::to_string(outside->x) + "," + std::to_string(outside->y) + "," +
              std::to_string(outside->width) + "," + std::to_string(outside->height) + " lies outside its " +
              std::to_string(frameSize.width) + "x" + std::to_string(frameSize.height) + " frame");
        return false;
    }
    fps = eventFrameRate(reportedFps);
    roiMask = regionMask(options.regions, frameSize);
    if (!options.regions.empty()) outline = regionOutline(roiMask);
    detector = std::make_unique<Detector>();
    detector->setParameters(context.detector);
    try {
        detector->prepare(frameSize.width, frameSize.height);
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
    if (!log.open(outputPath(stem + ".events.jsonl"))) {
        outputFailure = log.failure();
        return false;
    }
    EventRecorderSettings settings;
    settings.rules = eventRulesFor(fps, options.preSeconds, options.postSeconds, options.minEventSeconds);
    settings.maxEvents = options.quitAfter;
    settings.frameSize = frameSize;
    settings.clipFps = options.clips ? fps : 0.0;
    settings.buffer = FrameBufferLimits{kClipRawBytes, kClipBufferBytes, 90};
    settings.clipQueueBytes = kClipQueueBytes;
    recorder = std::make_unique<EventRecorder>(
        settings, options.clips ? videoFileClipSinks() : ClipSinkFactory(),
        [this](int number, const FrameInfo&) { return outputPath(clipName(stem, number)); },
        [this](const EventRecord& record) { onEvent(record); });
    if (options.sheet) sheet = std::make_unique<ContactSheet>(fs::path(file).filename().string(), frameSize);
    const std::pair<const std::string*, std::unique_ptr<VideoFileWriter>*> videos[] = {
        {&options.annotatedPath, &annotatedWriter}, {&options.maskPath, &maskWriter}};
    for (const auto& [pattern, writer] : videos) {
        if (pattern->empty()) continue;
        *writer = std::make_unique<VideoFileWriter>();
        if (!(*writer)->open(expandStem(*pattern, stem), fps, frameSize)) {
            outputFailure = (*writer)->failure();
            return false;
        }
    }
    return true;
}

void FileScan::processFrame(DecodedFrame& decoded) {
    cv::Mat frame = std::move(decoded.picture);
    if (frame.type() != CV_8UC3 || frame.size() != frameSize) {
        cv::Mat conformed;
        // A frame of another size or layout is brought to the first one's,
        // as the live program does; one that cannot be counts as black.
        if (!conformFrame(frame, frameSize, conformed)) conformed = cv::Mat::zeros(frameSize, CV_8UC3);
        frame = conformed;
    }
    cv::cvtColor(frame, gray, cv::COLOR_BGR2GRAY);
    detector->process(gray.data, frameSize.width, frameSize.height, roiMask.data);
    const std::vector<ObjectTrack> confirmed = detector->getConfirmedObjects();

    FrameInfo info;
    info.index = frames;
    // The file's presentation time; frame i * 1000 / fps when it gives none
    // (back ends report 0 for every frame then).
    info.timeMs = decoded.positionMs > 0 ? decoded.positionMs : static_cast<double>(frames) * 1000.0 / fps;
    info.objects.reserve(confirmed.size());
    for (const ObjectTrack& t : confirmed) info.objects.push_back(t.box);
    lastMs = info.timeMs;

    cv::Mat peakPicture;
    if (sheet && recorder->wantsPeakPicture(static_cast<int>(confirmed.size())))
        peakPicture = sheet->makePicture(frame);
    if (recorder->writesClips() || annotatedWriter) annotateFrame(frame, info.objects, outline, info.timeMs);
    if (maskWriter) {
        detector->copyEventMask(mask.data);
        cv::Mat colourMask;
        cv::cvtColor(mask, colourMask, cv::COLOR_GRAY2BGR);
        maskWriter->write(std::move(colourMask));
    }
    if (annotatedWriter) {
        if (recorder->writesClips()) {
            annotatedWriter->write(frame);  // a copy: the clip keeps these pixels
        } else {
            annotatedWriter->write(std::move(frame));
        }
    }
    recorder->addFrame(std::move(info), recorder->writesClips() ? frame : cv::Mat(), peakPicture);
    reader->recycle(std::move(frame));
    ++frames;
    progress.update(ProgressState{frames, announcedFrames,
                                  std::chrono::duration<double>(Clock::now() - started).count(),
                                  recorder->eventsCompleted()});
}

void FileScan::onEvent(const EventRecord& record) {
    if (!log.append(eventJsonLine(EventTimes::MediaTime, record, file)) && outputFailure.empty()) outputFailure = log.failure();
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
    for (VideoFileWriter* writer : {annotatedWriter.get(), maskWriter.get()}) {
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
    context.out << summaryText(summary) << std::flush;
}

}  // namespace

FileOutcome scanFile(const std::string& file, const ScanContext& context) {
    return FileScan(file, context).run();
}

}  // namespace tarvolen
