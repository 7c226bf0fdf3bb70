#include "app/FrameLoop.h"

#include <chrono>
#include <cstdint>
#include <iostream>
#include <optional>
#include <thread>

#include <opencv2/highgui.hpp>
#include <opencv2/imgproc.hpp>

#include "app/Display.h"
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
#include "media/SourceName.h"
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

const char* const kConfigNotRead = "Configuration params not read";
const char* const kVideoFileNotOpen = "Video file not open";
const char* const kCameraNotOpen = "Camera not open";
const char* const kSourceStalled = "Video source stopped delivering frames";
const char* const kNoDisplay = "Display not available";
const char* const kDisplayLost = "Display connection lost";

struct LoopImages {
    cv::Mat colour;
    cv::Mat gray;
    cv::Mat mask;
    // The detector's mask version `mask` holds; none before the first copy.
    std::optional<std::uint64_t> maskVersion;
    bool maskChanged = false;  // in this pass
};

enum class ReadOutcome { Frame, Quit, Stalled };

// What ended the loop.
enum class RunEnd { Quit, SourceStalled, DisplayLost };

int stopWithMessage(const char* message) {
    std::cout << message << std::endl;
    std::this_thread::sleep_for(kFailurePause);
    return kExitStatus;
}

bool openCamera(const std::string& source) {
    const std::optional<int> index = cameraIndex(source);
    return index && videoCapture.open(*index, cv::CAP_ANY) && videoCapture.isOpened();
}

// Opens the configured source; returns the failure message, or null.
const char* openSource(bool& fileSource) {
    switch (classifySource(video_source_init_string)) {
        case SourceKind::FileDialog:
            fileSource = true;
            return openFileDialog() ? nullptr : kVideoFileNotOpen;
        case SourceKind::FilePath:
            fileSource = true;
            if (!mayOpenSourcePath(video_source_init_string)) return kVideoFileNotOpen;
            videoCapture.open(video_source_init_string, cv::CAP_ANY);
            return videoCapture.isOpened() ? nullptr : kVideoFileNotOpen;
        case SourceKind::Camera:
            fileSource = false;
            return openCamera(video_source_init_string) ? nullptr : kCameraNotOpen;
    }
    return kVideoFileNotOpen;
}

void createImages(LoopImages& images) {
    images.colour.create(frameHeight, frameWidth, CV_8UC3);
    images.gray.create(frameHeight, frameWidth, CV_8UC1);
    images.mask = cv::Mat::zeros(frameHeight, frameWidth, CV_8UC1);
    roi_mask = cv::Mat(frameHeight, frameWidth, CV_8UC1, cv::Scalar(255));
}

// The next frame from the decode thread. While its reads keep failing keys
// are polled, so ESC still works; a quit signal ends the wait at any time.
ReadOutcome waitForFrame(FrameReader& reader, DecodedFrame& frame, LiveView& view) {
    for (;;) {
        switch (reader.next(frame, kFrameWait)) {
            case FrameReader::Status::Frame:
                return ReadOutcome::Frame;
            case FrameReader::Status::Stalled:
            case FrameReader::Status::Ended:
                return ReadOutcome::Stalled;
            case FrameReader::Status::Stalling:
                view.poll(kRetryPollMs);
                if (view.quitRequested()) return ReadOutcome::Quit;
                break;
            case FrameReader::Status::Waiting:
                break;
        }
        if (quitRequested()) return ReadOutcome::Quit;
    }
}

// The picture shown last goes back to the reader for a later frame.
ReadOutcome readFrame(FrameReader& reader, LoopImages& images, LiveView& view) {
    DecodedFrame frame;
    frame.picture = std::move(images.colour);
    const ReadOutcome outcome = waitForFrame(reader, frame, view);
    images.colour = std::move(frame.picture);
    return outcome;
}

// Returns the processing time in whole milliseconds.
int processFrame(LoopImages& images) {
    const Clock::time_point t0 = Clock::now();
    cv::cvtColor(images.colour, images.gray, cv::COLOR_BGR2GRAY);
    detector.process(images.gray.data, frameWidth, frameHeight, roi_mask.data);
    const Clock::time_point t1 = Clock::now();
    // The mask changes once a window at most: a full-size copy every frame
    // would cost a 4K pass about a millisecond for nothing.
    images.maskChanged = images.maskVersion != detector.eventMaskVersion();
    if (images.maskChanged) {
        detector.copyEventMask(images.mask.data);
        images.maskVersion = detector.eventMaskVersion();
    }
    return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(t1 - t0).count());
}

void annotate(cv::Mat& colour, const std::vector<ObjectTrack>& objects, int processingMs) {
    drawObjectBoxes(colour, objects);
    drawRoiOverlay(colour, roiSelection);
    drawProcessingTime(colour, processingMs, frameWidth);
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

int runLoop(LiveView& view, bool fileSource, double fps, LoopImages& images,
            const EventRecordingSettings& eventSettings) {
    Recorder recorder(cv::Size(frameWidth, frameHeight), "", std::cout);
    LiveEventRecording events(eventSettings, cv::Size(frameWidth, frameHeight), fps, std::cout);
    events.setSource(sourceWithoutPassword(video_source_init_string));
    const DisplayLossGuard displayLoss([&recorder, &events] { endRun(RunEnd::DisplayLost, recorder, events); });
    installQuitSignals();
    // From here on only the decode thread touches the capture.
    const cv::Size frameSize(frameWidth, frameHeight);
    FrameReader reader(std::move(videoCapture),
                       fileSource ? liveFileReading(frameSize) : cameraReading(frameSize));
    const double periodMicros = fileSource ? kMicrosPerSecond / fps : 0.0;
    PassLog passLog;
    Clock::time_point mark = Clock::now();
    for (;;) {
        const ReadOutcome outcome = readFrame(reader, images, view);
        if (outcome == ReadOutcome::Quit) break;
        if (outcome == ReadOutcome::Stalled) return endRun(RunEnd::SourceStalled, recorder, events);
        const int processingMs = processFrame(images);
        const std::vector<ObjectTrack> objects = detector.getConfirmedObjects();
        annotate(images.colour, objects, processingMs);
        events.addFrame(images.colour, objects);
        recorder.record(images.colour);
        events.drawLabel(images.colour);
        view.show(images.colour, images.mask, images.maskChanged);
        view.poll(kKeyPollMs);
        if (!runCommands(view.takeCommands(), recorder) || quitRequested() || view.displayLost()) break;
        if (fileSource) paceFrame(mark, periodMicros);
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
    // Before the source is opened: nobody is asked for a file that cannot be shown.
    if (!startGui()) return stopWithMessage(kNoDisplay);
    bool fileSource = false;
    const char* failure = nullptr;
    {
        const QuietOpenCvLog quiet;
        failure = openSource(fileSource);
    }
    if (failure != nullptr) return stopWithMessage(failure);
    const double fps = fileSource ? playbackFrameRate(videoCapture.get(cv::CAP_PROP_FPS)) : 0.0;
    const std::optional<cv::Size> reportedSize = reportedFrameSize(videoCapture);
    if (!reportedSize) return stopWithMessage(fileSource ? kVideoFileNotOpen : kCameraNotOpen);
    frameWidth = reportedSize->width;
    frameHeight = reportedSize->height;
    LoopImages images;
    const std::optional<std::string> tooLarge = reserveFrameBuffers(frameWidth, frameHeight, programBytesPerPixel(), [&images] {
        detector.prepare(frameWidth, frameHeight);
        createImages(images);
    });
    if (tooLarge) return stopWithMessage(tooLarge->c_str());
    LiveView view(cv::Size(frameWidth, frameHeight), roiMouseCallback);
    return runLoop(view, fileSource, fps, images, eventSettings);
}

}  // namespace tarvolen
