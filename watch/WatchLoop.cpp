#include "watch/WatchLoop.h"

#include <algorithm>
#include <cmath>
#include <iomanip>
#include <sstream>

#include <nlohmann/json.hpp>
#include <opencv2/imgproc.hpp>

#include "draw/Overlays.h"
#include "events/EventJson.h"

namespace tarvolen {
namespace {

using std::chrono::steady_clock;
using std::chrono::system_clock;

constexpr double kMillisPerSecond = 1000.0;

// The "start" of an event's start line.
std::string startOf(const std::string& startJson) {
    const nlohmann::json fields = nlohmann::json::parse(startJson, nullptr, false);
    return fields.is_object() && fields.contains("start") && fields["start"].is_string()
               ? fields["start"].get<std::string>()
               : std::string();
}

std::string seconds(double value) {
    std::ostringstream out;
    out << std::fixed << std::setprecision(1) << value;
    return out.str();
}

template <typename Duration>
Duration fromMs(double ms) {
    return std::chrono::duration_cast<Duration>(std::chrono::duration<double, std::milli>(ms));
}

}  // namespace

WatchLoop::WatchLoop(const WatchRun& run, Detector& d, WatchStatusBoard& b, WatchObservers o,
                     std::ostream& out)
    : setup(run),
      detector(d),
      board(b),
      observers(std::move(o)),
      messages(out),
      step(d, run.detection),
      regionSize(run.frameSize) {
    followRegion(setup.frameSize);
    startRecording();
}

WatchLoop::~WatchLoop() { finish(); }

void WatchLoop::startRecording() {
    if (events) healthBefore = events->health().plusCountsOf(healthBefore);
    CopySources copy = setup.copy;
    copy.detectSize = setup.frameSize;
    events = std::make_unique<LiveEventRecording>(setup.events, setup.frameSize, setup.fileFps, messages,
                                                  ClipSinkFactory(), std::move(copy));
    events->setSource(setup.source);
    EventListener listener;
    listener.onStart = [this](const std::string&, const std::string& startJson) { eventStarted(startJson); };
    listener.onEnd = [this](const std::string& line, const std::string& clip) { eventEnded(line, clip); };
    events->setEventListener(std::move(listener));
}

WatchEnd WatchLoop::run(FrameReader& reader, const std::function<bool()>& quit, std::optional<DecodedFrame> first) {
    DecodedFrame frame;
    if (first) {
        frame = std::move(*first);
        processFrame(frame);
    }
    // Set between the source's return and its first frame, whose size the
    // recording then follows.
    bool returned = false;
    FrameReaderSettings::Clock::duration outage{};
    for (;;) {
        if (observers.onPass) observers.onPass();
        if (quit()) return WatchEnd::Quit;
        const FrameReader::Status status = reader.next(frame, kFrameWait);
        noteHealth(reader);
        switch (status) {
            case FrameReader::Status::Frame:
                if (returned) {
                    onSourceBack(outage, frame.picture.size());
                    returned = false;
                }
                processFrame(frame);
                break;
            case FrameReader::Status::Ended:
                return WatchEnd::SourceEnded;
            case FrameReader::Status::SourceLost:
                onSourceLost();
                break;
            case FrameReader::Status::SourceBack:
                returned = true;
                outage = reader.lastOutage();
                break;
            case FrameReader::Status::Stalled:
                onSourceLost();
                return WatchEnd::SourceLost;
            case FrameReader::Status::Waiting:
            case FrameReader::Status::Stalling:
                break;
        }
    }
}

void WatchLoop::processFrame(DecodedFrame& frame) {
    const FrameTime when = timeOf(frame);
    const steady_clock::time_point t0 = steady_clock::now();
    const Detection detection = step.process(frame.picture, frame.grayLevels());
    const steady_clock::time_point t1 = steady_clock::now();
    const int processingMs =
        static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(t1 - t0).count());
    if (detection.lightChangePercent)
        messages << "Light change: " << std::lround(*detection.lightChangePercent)
                 << " % of the region changed; the model starts afresh" << std::endl;
    const std::vector<ObjectTrack>& objects = detection.objects;
    if (!drawsOn(static_cast<int>(objects.size()))) {
        events->addFrame(cv::Mat(), objects, when);
        noteFrame(when, objects);
        return;
    }
    // In colour, the frame's own pixels; from the luma plane, its colour picture.
    cv::Mat picture = frame.takeBgr();
    annotate(picture, objects, processingMs);
    events->addFrame(picture, objects, when);
    if (observers.onFrame) observers.onFrame(picture);
    noteFrame(when, objects);
}

// Whether anyone draws on the frame: clips encoded from the frames hold every
// frame annotated; a recording that copies the source's packets needs
// pictures only for snapshots and for the web view's viewers.
bool WatchLoop::drawsOn(int objectCount) const {
    if (!events || !events->copiesPackets()) return true;
    if (events->wantsFrame(objectCount)) return true;
    return observers.wantsFrames && observers.wantsFrames();
}

// As the live program annotates: a region of any shape outlined as the scan
// outlines it, else the live program's overlay of no selection.
void WatchLoop::annotate(cv::Mat& picture, const std::vector<ObjectTrack>& objects, int processingMs) const {
    if (regionArea.empty()) {
        drawLiveAnnotation(picture, objects, noRegion, processingMs);
    } else {
        drawLiveAnnotation(picture, objects, outline, processingMs);
    }
}

// The region for frames of `size`: the polygons filled at the first frames'
// size, scaled to later ones as the live program scales its region.
void WatchLoop::followRegion(cv::Size size) {
    if (setup.region.empty()) return;
    const cv::Mat first = regionMask(std::vector<cv::Rect>(), setup.region, regionSize);
    if (size == regionSize) {
        regionArea = first;
    } else {
        cv::resize(first, regionArea, size, 0, 0, cv::INTER_NEAREST);
    }
    outline = regionOutline(regionArea);
    step.setRegion(regionArea);
}

FrameTime WatchLoop::timeOf(const DecodedFrame& frame) {
    FrameTime time = fileTimeOf(frame);
    time.mediaMs = frame.positionMs;
    time.arrival = frame.arrival;
    return time;
}

FrameTime WatchLoop::fileTimeOf(const DecodedFrame& frame) {
    if (!setup.fileSource) return FrameTime::now();
    const double ms = frame.positionMs >= 0 ? frame.positionMs
                                            : static_cast<double>(std::max<std::int64_t>(frame.index, 0)) *
                                                  kMillisPerSecond / setup.fileFps;
    if (!fileStart) {
        fileStart = FrameTime::now();
        fileStartMs = ms;
    }
    const double sinceStart = std::max(0.0, ms - fileStartMs);
    FrameTime time;
    time.wall = fileStart->wall + fromMs<system_clock::duration>(sinceStart);
    time.steady = fileStart->steady + fromMs<steady_clock::duration>(sinceStart);
    return time;
}

void WatchLoop::noteFrame(const FrameTime& when, const std::vector<ObjectTrack>& objects) {
    ++frames;
    // The rate frames are processed at: for a file played --fast, faster
    // than its own.
    const double fps = rate.add(steady_clock::now());
    const bool eventOpen = events->recordingEvent();
    const int objectCount = static_cast<int>(objects.size());
    board.update([&](WatchStatus& s) {
        s.framesRead = frames;
        s.fps = fps;
        s.lastFrameTime = when.wall;
        if (!eventOpen) {
            s.openEvent.reset();
        } else if (s.openEvent) {
            s.openEvent->peakObjects = std::max(s.openEvent->peakObjects, objectCount);
        }
    });
    if (state != SourceState::Up) changeState(SourceState::Up);
}

// Once a pass: what the parts that can fall behind hold now, for the metrics.
void WatchLoop::noteHealth(const FrameReader& reader) {
    const std::size_t waiting = reader.framesWaiting();
    const RecordingHealth recording =
        events ? events->health().plusCountsOf(healthBefore) : healthBefore;
    board.update([&](WatchStatus& s) {
        s.health.framesWaiting = waiting;
        s.health.recording = recording;
    });
}

void WatchLoop::changeState(SourceState next, std::optional<double> outageSeconds) {
    state = next;
    const system_clock::time_point now = system_clock::now();
    board.update([&](WatchStatus& s) {
        setSourceState(s, next, now);
        if (outageSeconds) s.lastOutageSeconds = outageSeconds;
        if (next == SourceState::Lost) s.fps = 0;
    });
    if (observers.onStateChange) observers.onStateChange();
}

void WatchLoop::eventStarted(const std::string& startJson) {
    OpenEventStatus open;
    open.start = startOf(startJson);
    board.update([&open](WatchStatus& s) { s.openEvent = open; });
    if (observers.onEventStart) observers.onEventStart(startJson);
}

void WatchLoop::eventEnded(const std::string& logLine, const std::string& clipPath) {
    const int logged = eventsLogged();
    board.update([logged](WatchStatus& s) { s.events = logged; });
    messages << "Event recorded: " << clipPath << std::endl;
    if (observers.onEventEnd) observers.onEventEnd(logLine, clipPath);
}

void WatchLoop::onSourceLost() {
    if (state == SourceState::Lost) return;
    messages << "Video source lost: " << setup.source << std::endl;
    finish();
    changeState(SourceState::Lost);
}

void WatchLoop::onSourceBack(std::chrono::duration<double> outage, cv::Size size) {
    messages << "Video source back after " << seconds(outage.count()) << " s" << std::endl;
    detector.reset();
    rate = FrameRateWindow(kRateWindow);
    if (size != setup.frameSize) {
        setup.frameSize = size;
        followRegion(size);
    }
    // The recording that ended with the loss counted its events; a fresh one
    // counts on from there, and measures a camera's rate anew.
    eventsBefore = eventsLogged();
    startRecording();
    changeState(SourceState::Up, outage.count());
}

void WatchLoop::finish() {
    if (!events) return;
    events->finish();
    board.update([](WatchStatus& s) { s.openEvent.reset(); });
}

}  // namespace tarvolen
