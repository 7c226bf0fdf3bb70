#include "events/LiveEventRecording.h"

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <utility>

#include "draw/Overlays.h"
#include "events/ClipRecovery.h"
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
const char* const kIncompleteMessage = "Event clip incomplete: ";
const char* const kCopyFormat = "copy";
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

// The record as a copied clip's log line tells it: its box in the clip's
// pixels, where the clip starts and which stream it holds.
EventRecord withClipDetails(EventRecord record, const CopiedClipOutcome& outcome) {
    record.clipStartWallMs = outcome.clipStartWallMs;
    record.clipStream = outcome.clipStream;
    if (record.bbox.area() > 0 && (outcome.scaleX != 1.0 || outcome.scaleY != 1.0)) {
        const int x0 = static_cast<int>(std::floor(record.bbox.x * outcome.scaleX));
        const int y0 = static_cast<int>(std::floor(record.bbox.y * outcome.scaleY));
        const int x1 = static_cast<int>(std::ceil(record.bbox.br().x * outcome.scaleX));
        const int y1 = static_cast<int>(std::ceil(record.bbox.br().y * outcome.scaleY));
        record.bbox = cv::Rect(x0, y0, x1 - x0, y1 - y0);
    }
    return record;
}

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
    CopiedClipOutcome outcome;
    outcome.failure = failure;
    outcome.writeFailed = !failure.empty();
    report(path, outcome);
}

void ClipOutcomes::report(const std::string& path, const CopiedClipOutcome& outcome) {
    std::lock_guard<std::mutex> lock(mutex);
    outcomes[path] = outcome;
}

std::optional<CopiedClipOutcome> ClipOutcomes::take(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex);
    const auto it = outcomes.find(path);
    if (it == outcomes.end()) return std::nullopt;
    CopiedClipOutcome outcome = std::move(it->second);
    outcomes.erase(it);
    return outcome;
}

FrameTime FrameTime::now() {
    FrameTime time;
    time.wall = system_clock::now();
    time.steady = std::chrono::steady_clock::now();
    return time;
}

LiveEventRecording::LiveEventRecording(const EventRecordingSettings& s, cv::Size size, double fileFps,
                                       std::ostream& out, ClipSinkFactory makeSinks, CopySources copySources)
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
      enabled(s.enabled),
      copying(s.format == kCopyFormat) {
    if (!enabled || !prepareFolder()) return;
    startExtras();
    if (settings.recoverUnloggedClips) recoverInterruptedClips();
    if (copying) {
        cutsFile = !copySources.file.empty();
        if (!copySources.detect && !copySources.record && copySources.file.empty()) {
            switchOff("copied clips need a stream or a file as the source");
            return;
        }
        copier = std::make_unique<CopiedClips>(
            std::move(copySources),
            [outcomes = clipOutcomes](const std::string& path, const CopiedClipOutcome& outcome) {
                outcomes->report(path, outcome);
            },
            [this] {
                if (retention) retention->sweepNow();
            });
    }
    if (fileFps > 0) startRecorder(fileFps);
}

void LiveEventRecording::startExtras() {
    const RetentionRules rules = retentionRules(settings.maxFolderMb, settings.maxAgeDays);
    if (rules.any()) retention = std::make_unique<Retention>(settings.folder, rules, lines.sink());
    if (settings.snapshot) snapshots = std::make_unique<SnapshotWriter>(lines.sink());
    if (EventHooks::wanted(settings)) hooks = std::make_unique<EventHooks>(settings, lines.sink());
}

void LiveEventRecording::recoverInterruptedClips() {
    const auto protect = [this](const std::string& name) {
        if (retention) retention->protect(name);
    };
    const auto release = [this](const std::string& name) {
        if (retention) retention->release(name);
    };
    recovery = std::make_unique<ClipRecovery>(
        settings.folder, logPath, [this](const std::string& line) { appendToLog(line); }, lines.sink(), protect,
        release);
}

bool LiveEventRecording::appendToLog(const std::string& line) {
    std::lock_guard<std::mutex> lock(logMutex);
    log << line << '\n' << std::flush;
    return static_cast<bool>(log);
}

void LiveEventRecording::eventClosed(const EventRecord& record) {
    // An event ended by finish() or endEvent() has seen its source's last frame.
    if (copier) copier->close(!endingEvents);
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
        retention->release(fs::path(boxesPathFor(record.clipPath)).filename().string());
    }
}

LiveEventRecording::~LiveEventRecording() {
    finish();
    recovery.reset();  // it writes to the log
    recorder.reset();  // its clip writer uses the retention below
    copier.reset();
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
    recorderSettings.clipFps = copying ? 0.0 : rate;
    recorderSettings.nameWithoutClips = copying;
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
    if (copier) recorder->onEventFrame([this](const FrameInfo& frame) { copier->frame(frame); });
}

std::string LiveEventRecording::nameClip(const FrameInfo& first) {
    const fs::path folder(settings.folder);
    const std::tm startTime = localTimeOf(fromEpochMs(first.timeMs));
    const std::string wanted = copier ? timeStampedFileName("event_", startTime, copier->prepare(first))
                                      : eventClipFileName(startTime, clipFormat);
    // A clip named a moment ago may not be on disk yet: its writer runs behind.
    const std::string name =
        firstFreeName(wanted,
                      [this, &folder](const std::string& candidate) {
                          std::error_code ignored;
                          return namesGiven.count(candidate) > 0 || fs::exists(folder / candidate, ignored);
                      });
    namesGiven.insert(name);
    if (retention) retention->protect(name);
    const std::string path = (folder / name).string();
    openClip = path;
    if (copier) {
        if (retention) retention->protect(fs::path(boxesPathFor(path)).filename().string());
        copier->open(path, first);
    }
    if (hooks) hooks->eventStarted(source, path, eventStartJsonLine(path, first.timeMs, first.index));
    return path;
}

void LiveEventRecording::logFinishedClips() {
    while (!closed.empty()) {
        // The end hook is told of the snapshot: it is awaited like the clip.
        if (snapshots && snapshots->pending(snapshotPathFor(closed.front().clipPath))) break;
        const std::optional<CopiedClipOutcome> outcome = clipOutcomes->take(closed.front().clipPath);
        if (!outcome) break;  // still being written
        if (outcome->writeFailed) {
            if (madeRoom(outcome->failure, closed.front().clipPath)) {
                closed.pop_front();
                continue;
            }
            return switchOff(outcome->failure);
        }
        if (!outcome->failure.empty()) lines.say(kIncompleteMessage + outcome->failure);
        const std::string line = eventJsonLine(EventTimes::WallClock, withClipDetails(closed.front(), *outcome));
        if (!appendToLog(line)) return switchOff("cannot write the log " + logPath);
        ++logged;
        eventLogged(closed.front(), line);
        if (eventListener.onEnd) eventListener.onEnd(line, closed.front().clipPath);
        closed.pop_front();
    }
    // A clip that failed while its event is still going.
    std::string failure = recorder ? recorder->clipFailure() : std::string();
    if (failure.empty() && copier) failure = copier->takeFailure();
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
    retention->release(fs::path(boxesPathFor(clipPath)).filename().string());
    if (!swept.fits) return false;
    lines.say(kCutShortMessage + why);
    recorder.reset();  // what was handed over is finished
    startRecorder(fps);
    return true;
}

void LiveEventRecording::addFrame(const cv::Mat& annotated, const std::vector<ObjectTrack>& objects,
                                  FrameTime when) {
    if (!enabled || finished) return;
    // A file played round: a clip cut from it cannot span the jump back.
    if (cutsFile && when.mediaMs >= 0 && lastMediaMs >= 0 && when.mediaMs < lastMediaMs) endEvent();
    lastMediaMs = when.mediaMs;
    const std::int64_t index = frames++;
    if (!recorder) {
        const std::optional<double> rate = meter.add(when.steady);
        if (!rate) return;
        startRecorder(eventFrameRate(*rate));
    }
    FrameInfo info;
    info.index = index;
    info.timeMs = duration<double, std::milli>(when.wall.time_since_epoch()).count();
    info.mediaMs = when.mediaMs;
    info.arrival = when.arrival.value_or(when.steady);
    for (const ObjectTrack& object : objects) info.objects.push_back(object.box);
    const bool peak = snapshots && recorder->wantsPeakPicture(static_cast<int>(objects.size())) && !annotated.empty();
    // The clip's copy serves as the snapshot too: neither is written into.
    // Copied clips need a picture only for the snapshot.
    const cv::Mat frame = copying && !peak ? cv::Mat() : annotated.clone();
    recorder->addFrame(std::move(info), frame, peak ? frame : cv::Mat());
    if (retention) retention->tick();
    logFinishedClips();
}

bool LiveEventRecording::wantsFrame(int objectCount) const {
    if (!enabled || finished) return false;
    if (!copying || snapshots == nullptr) return !copying;
    // Before the rate is known the next frame may be the one that starts
    // the recorder and opens an event: better a picture too many.
    return recorder == nullptr || recorder->wantsPeakPicture(objectCount);
}

void LiveEventRecording::drawLabel(cv::Mat& view) const {
    if (recordingEvent()) drawEventLabel(view);
}

void LiveEventRecording::finish() {
    if (finished) return;
    finished = true;
    if (!recorder) return;
    endingEvents = true;
    recorder->finish();  // every clip finished
    if (copier) copier->drain();
    if (snapshots) snapshots->finish();
    logFinishedClips();
}

void LiveEventRecording::endEvent(cv::Size frameSizeFromNow) {
    if (!frameSizeFromNow.empty()) frameSize = frameSizeFromNow;
    if (!enabled || finished || !recorder) return;
    endingEvents = true;
    recorder->finish();
    endingEvents = false;
    if (copier) copier->drain();
    logFinishedClips();
    if (enabled) startRecorder(fps);
}

void LiveEventRecording::switchOff(const std::string& why) {
    lines.say(kOffMessage + why);
    enabled = false;
    // What was handed over is finished: the clip written so far stays playable.
    recorder.reset();
    closed.clear();
    recovery.reset();
    std::lock_guard<std::mutex> lock(logMutex);
    log.close();
}

}  // namespace tarvolen
