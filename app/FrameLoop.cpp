#include "app/FrameLoop.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <thread>

#include <opencv2/highgui.hpp>
#include <opencv2/imgproc.hpp>

#include "app/Display.h"
#include "events/DetectionStep.h"
#include "events/LiveEventRecording.h"
#include "app/FileDialog.h"
#include "app/Keys.h"
#include "app/LiveView.h"
#include "app/Logging.h"
#include "draw/Overlays.h"
#include "app/PassLog.h"
#include "app/ProgramMemory.h"
#include "app/ProgramState.h"
#include "app/Recording.h"
#include "platform/Signals.h"
#include "media/FrameReader.h"
#include "media/PacketReader.h"
#include "media/PacketRing.h"
#include "media/SourceInput.h"
#include "media/VideoSource.h"
#include "platform/SourcePath.h"
#include "platform/ExitStatus.h"
#include "platform/MemoryLimits.h"

namespace tarvolen {
namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kFailurePause = std::chrono::seconds(1);
constexpr int kKeyPollMs = 1;     // the loop's key poll
constexpr int kRetryPollMs = 10;  // key poll between failed reads, so ESC still works
// Longest wait for a frame before signals are looked at again.
constexpr auto kFrameWait = std::chrono::milliseconds(kRetryPollMs);
constexpr auto kPacingStep = std::chrono::milliseconds(1);
constexpr double kMicrosPerSecond = 1000000.0;
// A camera or stream that gives no frame for this long is lost, and reopened;
// also the bound on each network read and open.
constexpr std::chrono::milliseconds kSourceTimeout(5000);
// Waiting longer than this for a camera's or a stream's frame, the loop
// tends the windows meanwhile (a read may block up to the source timeout).
constexpr auto kTendWindowsAfter = std::chrono::milliseconds(100);

const char* const kConfigNotRead = "Configuration params not read";
const char* const kVideoFileNotOpen = "Video file not open";
const char* const kCameraNotOpen = "Camera not open";
const char* const kSourceStalled = "Video source stopped delivering frames";
const char* const kNoDisplay = "Display not available";
const char* const kDisplayLost = "Display connection lost";
const char* const kSourceLost = "Video source lost: ";
const char* const kCopyFormat = "copy";
// Packets of a stream kept for copied clips besides the pre-capture: the
// frames between a packet's arrival and its frame's place in an event.
constexpr double kRingMarginSeconds = 3.0;

// Files loop, paced at their rate; cameras and streams deliver at their own
// rate and are reopened when lost.
enum class LiveSource { File, Camera, Stream };

// The video file played, from the configuration or the file chooser.
std::string filePlayed;

// Copied clips need packets: a stream or a file, never a camera's frames.
std::string copyProblem(const EventRecordingSettings& events) {
    if (!events.enabled || events.format != kCopyFormat) return "";
    const bool camera = classifySource(video_source_init_string) == SourceKind::Camera ||
                        isCaptureDevicePath(video_source_init_string);
    if (!camera) return "";
    return configFileName + ": Event_Recording.format \"copy\" needs a stream or a video file as the source (the "
           "camera " + sourceForMessages(video_source_init_string) + " gives frames, not packets)";
}

// Where copied clips come from: a file is cut from its own packets; a
// stream's packets are read over a connection of their own.
struct CopiedClipSources {
    CopySources sources;
    std::unique_ptr<PacketReader> streamReader;
};

CopiedClipSources copiedClipSources(LiveSource kind, const EventRecordingSettings& events) {
    CopiedClipSources copy;
    if (!events.enabled || events.format != kCopyFormat) return copy;
    copy.sources.detectSize = cv::Size(frameWidth, frameHeight);
    if (kind == LiveSource::File) {
        copy.sources.file = filePlayed;
        return copy;
    }
    PacketRingLimits limits;
    limits.keep = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::duration<double>(events.preSeconds + events.minEventSeconds + kRingMarginSeconds));
    copy.sources.detect = std::make_shared<PacketRing>(limits);
    copy.sources.detectRingFeedsFrames = false;
    copy.sources.tailWait = kSourceTimeout;
    PacketReaderSettings reading;
    reading.source = video_source_init_string;
    reading.sourceTimeout = kSourceTimeout;
    copy.streamReader = std::make_unique<PacketReader>(std::move(reading), copy.sources.detect);
    return copy;
}


struct LoopImages {
    cv::Mat colour;
    // The frame's own time in its source and when it arrived: what copied
    // clips are cut and matched by.
    double positionMs = -1;
    Clock::time_point arrival;
    cv::Mat mask;
    // The detector's mask version `mask` holds; none before the first copy.
    std::optional<std::uint64_t> maskVersion;
    bool maskChanged = false;  // in this pass
};

// When a frame was read, as event recording counts it.
FrameTime frameTime(const LoopImages& images) {
    FrameTime time = FrameTime::now();
    time.mediaMs = images.positionMs;
    time.arrival = images.arrival;
    return time;
}

enum class ReadOutcome { Frame, Quit, Stalled, Lost, Back };

// What ended the loop.
enum class RunEnd { Quit, SourceStalled, DisplayLost };

int stopWithMessage(const char* message) {
    std::cout << message << std::endl;
    std::this_thread::sleep_for(kFailurePause);
    return kExitStatus;
}

bool openCamera(const std::string& source) {
    const std::optional<int> index = cameraIndex(source);
    return index && tarvolen::openCamera(*index, videoCapture);
}

// A path: a stream URL, a capture device or a video file.
const char* openSourcePath(LiveSource& kind) {
    if (isStreamUrl(video_source_init_string)) {
        kind = LiveSource::Stream;
    } else {
        kind = isCaptureDevicePath(video_source_init_string) ? LiveSource::Camera : LiveSource::File;
        if (!mayOpenSourcePath(video_source_init_string)) return kVideoFileNotOpen;
    }
    return openSourceCapture(video_source_init_string, kSourceTimeout, videoCapture) ? nullptr : kVideoFileNotOpen;
}

// Opens the configured source; returns the failure message, or null.
const char* openSource(LiveSource& kind) {
    switch (classifySource(video_source_init_string)) {
        case SourceKind::FileDialog:
            kind = LiveSource::File;
            return openFileDialog(&filePlayed) ? nullptr : kVideoFileNotOpen;
        case SourceKind::FilePath:
            filePlayed = video_source_init_string;
            return openSourcePath(kind);
        case SourceKind::Camera:
            kind = LiveSource::Camera;
            return openCamera(video_source_init_string) ? nullptr : kCameraNotOpen;
    }
    return kVideoFileNotOpen;
}

// How the frame loop reads its source.
FrameReaderSettings readingFor(LiveSource kind, cv::Size frameSize) {
    if (kind == LiveSource::File) return liveFileReading(frameSize);
    return reconnectingReading(
        frameSize,
        [source = video_source_init_string]() -> std::unique_ptr<VideoInput> {
            const QuietOpenCvLog quiet;  // every attempt that fails would say so
            return openSourceInput(source, kSourceTimeout);
        },
        kSourceTimeout);
}

void createImages(LoopImages& images) {
    images.colour.create(frameHeight, frameWidth, CV_8UC3);
    images.mask = cv::Mat::zeros(frameHeight, frameWidth, CV_8UC1);
    roi_mask = cv::Mat(frameHeight, frameWidth, CV_8UC1, cv::Scalar(255));
}

// What the loop does while no frame comes: `live` (a camera or stream)
// tends the windows also while a read is merely slow, and `tend` acts on
// the operator's input; false from it ends the wait with Quit.
struct NoFrameHandling {
    bool live = false;
    std::function<bool()> tend = [] { return true; };
};

// The next frame from the decode thread. While its reads keep failing keys
// are polled, so ESC still works; a quit signal ends the wait at any time.
ReadOutcome waitForFrame(FrameReader& reader, DecodedFrame& frame, LiveView& view,
                         const NoFrameHandling& noFrame) {
    const Clock::time_point start = Clock::now();
    for (;;) {
        bool tendWindows = false;
        switch (reader.next(frame, kFrameWait)) {
            case FrameReader::Status::Frame:
                return ReadOutcome::Frame;
            case FrameReader::Status::Stalled:
            case FrameReader::Status::Ended:
                return ReadOutcome::Stalled;
            case FrameReader::Status::SourceLost:
                return ReadOutcome::Lost;
            case FrameReader::Status::SourceBack:
                return ReadOutcome::Back;
            case FrameReader::Status::Stalling:
                tendWindows = true;
                break;
            case FrameReader::Status::Waiting:
                tendWindows = noFrame.live && Clock::now() - start > kTendWindowsAfter;
                break;
        }
        if (tendWindows) {
            view.poll(kRetryPollMs);
            if (!noFrame.tend() || view.quitRequested()) return ReadOutcome::Quit;
        }
        if (quitRequested()) return ReadOutcome::Quit;
    }
}

// The picture shown last goes back to the reader for a later frame.
ReadOutcome readFrame(FrameReader& reader, LoopImages& images, LiveView& view, const NoFrameHandling& noFrame) {
    DecodedFrame frame;
    frame.picture = std::move(images.colour);
    const ReadOutcome outcome = waitForFrame(reader, frame, view, noFrame);
    images.colour = std::move(frame.picture);
    images.positionMs = frame.positionMs;
    images.arrival = frame.arrival;
    return outcome;
}

// The confirmed objects; `processingMs` gets the processing time in whole
// milliseconds.
std::vector<ObjectTrack> processFrame(LoopImages& images, DetectionStep& step, int& processingMs) {
    const Clock::time_point t0 = Clock::now();
    // The mouse may have drawn a new region into the mask since.
    step.setRegion(roi_mask);
    Detection detection = step.process(images.colour);
    const Clock::time_point t1 = Clock::now();
    // The mask changes once a window at most: a full-size copy every frame
    // would cost a 4K pass about a millisecond for nothing.
    images.maskChanged = images.maskVersion != detector.eventMaskVersion();
    if (images.maskChanged) {
        detector.copyEventMask(images.mask.data);
        images.maskVersion = detector.eventMaskVersion();
    }
    processingMs = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(t1 - t0).count());
    return std::move(detection.objects);
}

void annotate(cv::Mat& colour, const std::vector<ObjectTrack>& objects, int processingMs) {
    drawLiveAnnotation(colour, objects, roiSelection, processingMs);
}

// Holds a pass to at least one frame period since `mark`, in 1 ms steps.
void paceFrame(Clock::time_point mark, double periodMicros) {
    while (periodMicros >
           static_cast<double>(
               std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - mark).count())) {
        std::this_thread::sleep_for(kPacingStep);
    }
}

// Acts on the commands in the order given; false at Quit, which ends the
// loop at once.
bool runCommands(const std::vector<KeyCommand>& commands, Recorder& recorder) {
    for (const KeyCommand command : commands) {
        if (command == KeyCommand::Quit) return false;
        if (command == KeyCommand::ResetModel) detector.reset();
        if (command == KeyCommand::ToggleRecording) recorder.toggle();
    }
    return true;
}

// The one way out of the loop, whatever ended it: the windows are taken
// down, an open recording and an open event clip (with its log line) are
// finished, and the reason, if it has a line, is printed.
int endRun(RunEnd end, Recorder& recorder, LiveEventRecording& events) {
    // A lost display took the windows with it, and Qt would end the process
    // at the next event it handles.
    if (end != RunEnd::DisplayLost) cv::destroyAllWindows();
    recorder.stop();
    events.finish();
    switch (end) {
        case RunEnd::Quit:
            break;
        case RunEnd::SourceStalled:
            return stopWithMessage(kSourceStalled);
        case RunEnd::DisplayLost:
            std::cout << kDisplayLost << std::endl;
            break;
    }
    return kExitStatus;
}

// The source went away: said once, the event in progress is finished with
// its log line, and the view keeps the last frame, marked (a recording
// stays open for the frames to come).
void sourceLost(const LoopImages& images, LiveView& view, LiveEventRecording& events) {
    std::cout << kSourceLost << sourceForMessages(video_source_init_string) << std::endl;
    events.endEvent();
    cv::Mat marked = images.colour.clone();
    drawSourceLostLabel(marked);
    view.show(marked, images.mask, false);
}

// The source is back: the detector starts afresh, so that the scene it
// finds again (or the frozen frame before) makes no event.
void sourceBack(FrameReaderSettings::Clock::duration outage) {
    const double seconds = std::chrono::duration<double>(outage).count();
    char line[64];
    std::snprintf(line, sizeof line, "Video source back after %.1f s", seconds);
    std::cout << line << std::endl;
    detector.reset();
}

// The region follows a new frame size: the mask scaled as it is, the
// outline's corners in proportion.
void scaleRegion(cv::Size from, cv::Size to) {
    cv::Mat scaled;
    cv::resize(roi_mask, scaled, to, 0, 0, cv::INTER_NEAREST);
    roi_mask = scaled;
    const auto scale = [](int position, int fromLength, int toLength) {
        return static_cast<int>(static_cast<std::int64_t>(position) * toLength / fromLength);
    };
    roiSelection.x0 = scale(roiSelection.x0, from.width, to.width);
    roiSelection.x1 = scale(roiSelection.x1, from.width, to.width);
    roiSelection.y0 = scale(roiSelection.y0, from.height, to.height);
    roiSelection.y1 = scale(roiSelection.y1, from.height, to.height);
    roiSelection.dragging = false;
}

// A reopened source with frames of another size: the detector, the loop's
// images, the region and the windows follow, and a recording or event clip
// in progress is finished and a new one started at the new size. The
// refusal when the machine cannot hold frames of that size.
std::optional<std::string> followFrameSize(LoopImages& images, DetectionStep& step, LiveView& view,
                                           Recorder& recorder, LiveEventRecording& events) {
    const cv::Size from(frameWidth, frameHeight);
    const cv::Size to = images.colour.size();
    const std::optional<std::string> tooLarge =
        reserveFrameBuffers(to.width, to.height, programBytesPerPixel(), [&images, &step, to] {
            step.prepare(to);
            images.mask = cv::Mat::zeros(to, CV_8UC1);
        });
    if (tooLarge) return tooLarge;
    images.maskVersion.reset();
    scaleRegion(from, to);
    frameWidth = to.width;
    frameHeight = to.height;
    view.setFrameSize(to);
    recorder.restartAtSize(to);
    events.endEvent(to);
    return std::nullopt;
}

int runLoop(LiveView& view, LiveSource kind, double fps, LoopImages& images, DetectionStep& step,
            const EventRecordingSettings& eventSettings) {
    Recorder recorder(cv::Size(frameWidth, frameHeight), "", std::cout);
    CopiedClipSources copied = copiedClipSources(kind, eventSettings);
    LiveEventRecording events(eventSettings, cv::Size(frameWidth, frameHeight), fps, std::cout, ClipSinkFactory(),
                              copied.sources);
    events.setSource(sourceForMessages(video_source_init_string));
    const DisplayLossGuard displayLoss([&recorder, &events] { endRun(RunEnd::DisplayLost, recorder, events); });
    installQuitSignals();
    // From here on only the decode thread touches the capture.
    FrameReader reader(std::move(videoCapture), readingFor(kind, cv::Size(frameWidth, frameHeight)));
    const double periodMicros = kind == LiveSource::File ? kMicrosPerSecond / fps : 0.0;
    bool lost = false;
    // While the source is lost the operator's input is acted on at once.
    const NoFrameHandling noFrame{kind != LiveSource::File, [&lost, &view, &recorder] {
                                      return !lost || runCommands(view.takeCommands(), recorder);
                                  }};
    PassLog passLog;
    Clock::time_point mark = Clock::now();
    for (;;) {
        const ReadOutcome outcome = readFrame(reader, images, view, noFrame);
        if (outcome == ReadOutcome::Quit) break;
        if (outcome == ReadOutcome::Stalled) return endRun(RunEnd::SourceStalled, recorder, events);
        if (outcome == ReadOutcome::Lost || outcome == ReadOutcome::Back) {
            lost = outcome == ReadOutcome::Lost;
            if (lost) sourceLost(images, view, events);
            else sourceBack(reader.lastOutage());
            continue;
        }
        if (images.colour.size() != cv::Size(frameWidth, frameHeight)) {
            const std::optional<std::string> refused = followFrameSize(images, step, view, recorder, events);
            if (refused) {
                endRun(RunEnd::Quit, recorder, events);
                return stopWithMessage(refused->c_str());
            }
        }
        int processingMs = 0;
        const std::vector<ObjectTrack> objects = processFrame(images, step, processingMs);
        annotate(images.colour, objects, processingMs);
        events.addFrame(images.colour, objects, frameTime(images));
        recorder.record(images.colour);
        events.drawLabel(images.colour);
        view.show(images.colour, images.mask, images.maskChanged);
        view.poll(kKeyPollMs);
        if (!runCommands(view.takeCommands(), recorder) || quitRequested() || view.displayLost()) break;
        if (kind == LiveSource::File) paceFrame(mark, periodMicros);
        mark = Clock::now();
        passLog.mark(mark);
    }
    return endRun(view.displayLost() ? RunEnd::DisplayLost : RunEnd::Quit, recorder, events);
}

}  // namespace

int runTarvolen() {
    quietenLibraries();
    if (!readConfiguration()) return stopWithMessage(kConfigNotRead);
    EventRecordingSettings eventSettings;
    const std::string eventSettingsProblem = readEventRecordingSettings(configFileName, eventSettings);
    if (!eventSettingsProblem.empty()) return stopWithMessage(eventSettingsProblem.c_str());
    if (const std::string problem = copyProblem(eventSettings); !problem.empty()) return stopWithMessage(problem.c_str());
    // Before the source is opened: nobody is asked for a file that cannot be shown.
    if (!startGui()) return stopWithMessage(kNoDisplay);
    LiveSource kind = LiveSource::File;
    const char* failure = nullptr;
    {
        const QuietOpenCvLog quiet;
        failure = openSource(kind);
    }
    if (failure != nullptr) return stopWithMessage(failure);
    const bool fileSource = kind == LiveSource::File;
    const double fps = fileSource ? playbackFrameRate(videoCapture.get(cv::CAP_PROP_FPS)) : 0.0;
    const std::optional<cv::Size> reportedSize = reportedFrameSize(videoCapture);
    const bool cameraIndexSource = classifySource(video_source_init_string) == SourceKind::Camera;
    if (!reportedSize) return stopWithMessage(cameraIndexSource ? kCameraNotOpen : kVideoFileNotOpen);
    frameWidth = reportedSize->width;
    frameHeight = reportedSize->height;
    LoopImages images;
    // The live program detects frames as they come, in the region the
    // operator drags.
    DetectionStep step(detector);
    const std::optional<std::string> tooLarge =
        reserveFrameBuffers(frameWidth, frameHeight, programBytesPerPixel(), [&images, &step] {
            step.prepare(cv::Size(frameWidth, frameHeight));
            createImages(images);
        });
    if (tooLarge) return stopWithMessage(tooLarge->c_str());
    LiveView view(cv::Size(frameWidth, frameHeight), roiMouseCallback);
    return runLoop(view, kind, fps, images, step, eventSettings);
}

}  // namespace tarvolen
