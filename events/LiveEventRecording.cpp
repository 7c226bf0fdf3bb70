#include "events/LiveEventRecording.h"

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <utility>

#include "draw/Overlays.h"
#include "events/EventJson.h"
#include "media/FileNames.h"
#include "media/FrameInput.h"
#include "events/VideoClipSink.h"

namespace tarvolen {
namespace {

namespace fs = std::filesystem;
using std::chrono::duration;
using std::chrono::milliseconds;
using std::chrono::system_clock;

const char* const kOffMessage = "Event recording off: ";
const char* const kCutShortMessage = "Event clip cut short, older clips deleted to make room: ";
// How the disk guard says the disk is full (media/DiskGuard).
const char* const kDiskFull = "the disk is nearly full";
// The newest frames are held uncompressed, this many: during an event they
// go to the clip at once, so compressing them would be wasted work.
constexpr std::size_t kRawFrames = 4;
constexpr double kRateResolution = 100.0;  // a measured rate is kept to 1/100 frame per second


// Passes everything on to a sink and, once the clip is finished, tells the
// program whether every frame reached it.
class ReportingClipSink : public ClipSink {
public:
    ReportingClipSink(std::unique_ptr<ClipSink> sink, std::shared_ptr<ClipOutcomes> outcomes)
        : inner(std::move(sink)), results(std::move(outcomes)) {}
    bool open(const std::string& path, cv::Size frameSize, double fps) override {
        clipPath = path;
        intact = inner->open(path, frameSize, fps);
        return intact;
    }
    bool write(const cv::Mat& frame) override {
        intact = inner->write(frame) && intact;
        return intact;
    }
    bool writeStored(StoredFrame frame) override {
        intact = inner->writeStored(std::move(frame)) && intact;
        return intact;
    }
    bool finish() override {
        const bool finished = inner->finish();
        results->report(clipPath, finished && intact ? std::string() : inner->failure());
        return finished;
    }
    std::string failure() const override { return inner->failure(); }

private:
    std::unique_ptr<ClipSink> inner;
    std::shared_ptr<ClipOutcomes> results;
    std::string clipPath;
    bool intact = false;
};

}  // namespace

std::size_t preCaptureRawBytes(cv::Size frameSize) {
    return kRawFrames * frameBytes(frameSize);
}

std::string eventClipFileName(const std::tm& localTime, ClipFormat format) {
    return timeStampedFileName("event_", localTime, clipExtension(format));
}

FrameRateMeter::FrameRateMeter(std::chrono::steady_clock::duration w) : window(w) {}

std::optional<double> FrameRateMeter::add(std::chrono::steady_clock::time_point frameTime) {
    ++frames;
    if (frames == 2) first = frameTime;
    if (frames < 3 || frameTime - first < window) return std::nullopt;
    const double seconds = duration<double>(frameTime - first).count();
    return std::round(static_cast<double>(frames - 2) / seconds * kRateResolution) / kRateResolution;
}

void ClipOutcomes::report(const std::string& path, const std::string& failure) {
    std::lock_guard<std::mutex> lock(mutex);
    outcomes[path] = failure;
}

std::optional<std::string> ClipOutcomes::take(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex);
    const auto it = outcomes.find(path);
    if (it == outcomes.end()) return std::nullopt;
    std::string failure = std::move(it->second);
    outcomes.erase(it);
    return failure;
}

FrameTime FrameTime::now() { return FrameTime{system_clock::now(), std::chrono::steady_clock::now()}; }

LiveEventRecording::LiveEventRecording(const EventRecordingSettings& s, cv::Size size, double fileFps,
                                       std::ostream& out, ClipSinkFactory makeSinks)
    : settings(s),
      clipFormat(clipFormatNamed(s.format).value_or(ClipFormat::Avi)),
      frameSize(size),
      messages(out),
      sinks([this, inner = makeSinks ? std::move(makeSinks) : videoFileClipSinks(clipFormat),
             outcomes = clipOutcomes] {
          // On the clip writer's thread, just before the clip is created.
          if (retention) retention->sweepNow();
          return std::make_unique<ReportingClipSink>(inner(), outcomes);
      }),
      enabled(s.enabled) {
    if (!enabled || !prepareFolder()) return;
    startExtras();
    if (fileFps > 0) startRecorder(fileFps);
}

void LiveEventRecording::startExtras() {
    const RetentionRules rules = retentionRules(settings.maxFolderMb, settings.maxAgeDays);
    if (rules.any()) retention = std::make_unique<Retention>(settings.folder, rules, lines.sink());
    if (settings.snapshot) snapshots = std::make_unique<SnapshotWriter>(lines.sink());
    if (EventHooks::wanted(settings)) hooks = std::make_unique<EventHooks>(settings, lines.sink());
}

void LiveEventRecording::eventClosed(const EventRecord& record) {
    closed.push_back(record);
    if (snapshots && !record.peakPicture.empty()) {
        const std::string path = snapshotPathFor(record.clipPath);
        if (retention) retention->protect(fs::path(path).filename().string());
        snapshots->write(path, record.peakPicture);
        closed.back().peakPicture.release();  // the writer holds it
    }
}

void LiveEventRecording::eventLogged(const EventRecord& record, const std::string& line) {
    const std::string snapshot = snapshotPathFor(record.clipPath);
    const bool snapshotWritten = snapshots && snapshots->take(snapshot).value_or(false);
    if (hooks) hooks->eventEnded(source, record.clipPath, snapshotWritten ? snapshot : std::string(), line);
    if (retention) {
        retention->release(fs::path(record.clipPath).filename().string());
        retention->release(fs::path(snapshot).filename().string());
    }
}

LiveEventRecording::~LiveEventRecording() {
    finish();
    recorder.reset();  // its clip writer uses the retention below
}

bool LiveEventRecording::prepareFolder() {
    std::error_code error;
    fs::create_directories(settings.folder, error);
    if (error || !fs::is_directory(settings.folder, error)) {
        switchOff("cannot create the folder " + settings.folder +
                  (error ? " (" + error.message() + ")" : std::string(" (a file is in the way)")));
        return false;
    }
    logPath = (fs::path(settings.folder) / settings.log).string();
    log.open(logPath, std::ios::app | std::ios::binary);
    if (!log.is_open()) {
        switchOff("cannot write the log " + logPath);
        return false;
    }
    return true;
}

void LiveEventRecording::startRecorder(double rate) {
    fps = rate;
    EventRecorderSettings recorderSettings;
    recorderSettings.rules =
        eventRulesFor(rate, settings.preSeconds, settings.postSeconds, settings.minEventSeconds);
    recorderSettings.frameSize = frameSize;
    recorderSettings.clipFps = rate;
    recorderSettings.buffer.rawBytes = preCaptureRawBytes(frameSize);
    recorder = std::make_unique<EventRecorder>(
        recorderSettings, sinks,
        [this](int, const FrameInfo& first) {
            std::string path = nameClip(first);
            if (eventListener.onStart)
                eventListener.onStart(path, eventStartJsonLine(path, first.timeMs, first.index));
            return path;
        },
        [this](const EventRecord& record) { eventClosed(record); });
}

std::string LiveEventRecording::nameClip(const FrameInfo& first) {
    const fs::path folder(settings.folder);
    // A clip named a moment ago may not be on disk yet: its writer runs behind.
    const std::string name =
        firstFreeName(eventClipFileName(localTimeOf(fromEpochMs(first.timeMs)), clipFormat),
                      [this, &folder](const std::string& candidate) {
                          std::error_code ignored;
                          return namesGiven.count(candidate) > 0 || fs::exists(folder / candidate, ignored);
                      });
    namesGiven.insert(name);
    if (retention) retention->protect(name);
    const std::string path = (folder / name).string();
    openClip = path;
    if (hooks) hooks->eventStarted(source, path, eventStartJsonLine(path, first.timeMs, first.index));
    return path;
}

void LiveEventRecording::logFinishedClips() {
    while (!closed.empty()) {
        // The end hook is told of the snapshot: it is awaited like the clip.
        if (snapshots && snapshots->pending(snapshotPathFor(closed.front().clipPath))) break;
        const std::optional<std::string> failure = clipOutcomes->take(closed.front().clipPath);
        if (!failure) break;  // still being written
        if (!failure->empty()) {
            if (madeRoom(*failure, closed.front().clipPath)) {
                closed.pop_front();
                continue;
            }
            return switchOff(*failure);
        }
        const std::string line = eventJsonLine(EventTimes::WallClock, closed.front());
        log << line << '\n' << std::flush;
        if (!log) return switchOff("cannot write the log " + logPath);
        ++logged;
        eventLogged(closed.front(), line);
        if (eventListener.onEnd) eventListener.onEnd(line, closed.front().clipPath);
        closed.pop_front();
    }
    // A clip that failed while its event is still going.
    const std::string failure = recorder ? recorder->clipFailure() : std::string();
    if (!failure.empty() && !madeRoom(failure, openClip)) switchOff(failure);
}

bool LiveEventRecording::madeRoom(const std::string& why, const std::string& clipPath) {
    if (!retention || settings.maxFolderMb <= 0 || why.find(kDiskFull) == std::string::npos) return false;
    // This sweep or another may have made the room; a folder that cannot be
    // brought under its limits, nothing left to delete but the clip cut
    // short, is what ends event recording.
    const SweepResult swept = retention->sweepNow();
    // The clip cut short is given up: from now on retention may take it.
    retention->release(fs::path(clipPath).filename().string());
    retention->release(fs::path(snapshotPathFor(clipPath)).filename().string());
    if (!swept.fits) return false;
    lines.say(kCutShortMessage + why);
    recorder.reset();  // what was handed over is finished
    startRecorder(fps);
    return true;
}

void LiveEventRecording::addFrame(const cv::Mat& annotated, const std::vector<ObjectTrack>& objects,
                                  FrameTime when) {
    if (!enabled || finished) return;
    const std::int64_t index = frames++;
    if (!recorder) {
        const std::optional<double> rate = meter.add(when.steady);
        if (!rate) return;
        startRecorder(eventFrameRate(*rate));
    }
    FrameInfo info;
    info.index = index;
    info.timeMs = duration<double, std::milli>(when.wall.time_since_epoch()).count();
    for (const ObjectTrack& object : objects) info.objects.push_back(object.box);
    // The clip's copy serves as the snapshot too: neither is written into.
    const cv::Mat frame = annotated.clone();
    const bool peak = snapshots && recorder->wantsPeakPicture(static_cast<int>(objects.size()));
    recorder->addFrame(std::move(info), frame, peak ? frame : cv::Mat());
    if (retention) retention->tick();
    logFinishedClips();
}

void LiveEventRecording::drawLabel(cv::Mat& view) const {
    if (recordingEvent()) drawEventLabel(view);
}

void LiveEventRecording::finish() {
    if (finished) return;
    finished = true;
    if (!recorder) return;
    recorder->finish();  // every clip finished
    if (snapshots) snapshots->finish();
    logFinishedClips();
}

void LiveEventRecording::endEvent(cv::Size frameSizeFromNow) {
    if (!frameSizeFromNow.empty()) frameSize = frameSizeFromNow;
    if (!enabled || finished || !recorder) return;
    recorder->finish();
    logFinishedClips();
    if (enabled) startRecorder(fps);
}

void LiveEventRecording::switchOff(const std::string& why) {
    lines.say(kOffMessage + why);
    enabled = false;
    // What was handed over is finished: the clip written so far stays playable.
    recorder.reset();
    closed.clear();
    log.close();
}

}  // namespace tarvolen
