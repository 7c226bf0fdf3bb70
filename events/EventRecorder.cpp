#include "events/EventRecorder.h"

#include <stdexcept>

namespace tarvolen {

EventRecorder::EventRecorder(const EventRecorderSettings& settings, ClipSinkFactory makeSink, ClipNamer namer,
                             RecordHandler handler)
    : stream(settings.rules, settings.maxEvents),
      nameClip(std::move(namer)),
      onEvent(std::move(handler)),
      nameWithoutClips(settings.nameWithoutClips),
      frameSize(settings.frameSize),
      clipFps(settings.clipFps) {
    if (clipFps > 0) {
        if (!makeSink) throw std::invalid_argument("clips need a clip sink factory");
        buffer = std::make_unique<FrameBuffer>(settings.buffer);
        clips = std::make_unique<ClipChannel>(std::move(makeSink), settings.clipQueueBytes);
    }
}

bool EventRecorder::wantsPeakPicture(int objectCount) const {
    if (objectCount <= 0 || done()) return false;  // every event holds a frame with objects
    // A frame with no more objects than the one before it, which is in a
    // kept run and hence in the same event, cannot be the event's first
    // frame with the most objects.
    const bool previousInKeptRun = stream.currentRunLength() >= stream.rules().minRun;
    return objectCount > previousObjects || !previousInKeptRun;
}

void EventRecorder::addFrame(FrameInfo info, cv::Mat clipFrame, cv::Mat peakPicture) {
    if (finished) return;
    const bool active = !info.objects.empty();
    previousObjects = static_cast<int>(info.objects.size());
    if (buffer && !done()) buffer->push(info.index, std::move(clipFrame));
    pending.push_back(Pending{std::move(info), std::move(peakPicture)});
    verdicts.clear();
    stream.push(active, verdicts);
    for (const FrameVerdict& v : verdicts) apply(v);
}

void EventRecorder::finish() {
    if (finished) return;
    verdicts.clear();
    stream.finish(verdicts);
    for (const FrameVerdict& v : verdicts) apply(v);
    finished = true;
    if (clips) clips->drain();
}

void EventRecorder::apply(const FrameVerdict& verdict) {
    const Pending frame = std::move(pending.front());
    pending.pop_front();
    // Frames pushed after the stream was done were never buffered.
    StoredFrame stored;
    if (buffer && buffer->size() > 0) stored = buffer->pop();
    if (verdict.event == 0) return;
    if (verdict.first) startEvent(verdict.event, frame);
    addToEvent(frame);
    if (eventFrame) eventFrame(frame.info);
    if (clips) clips->write(std::move(stored));
    if (verdict.last) {
        if (clips) clips->close();
        open = false;
        onEvent(current);
    }
}

void EventRecorder::startEvent(int number, const Pending& first) {
    current = EventRecord{};
    current.number = number;
    current.startFrame = first.info.index;
    current.startMs = first.info.timeMs;
    open = true;
    if (clips || nameWithoutClips) current.clipPath = nameClip(number, first.info);
    if (clips) clips->open(current.clipPath, frameSize, clipFps);
}

void EventRecorder::addToEvent(const Pending& frame) {
    const FrameInfo& info = frame.info;
    current.endFrame = info.index;
    current.endMs = info.timeMs;
    if (info.objects.empty()) return;
    ++current.activeFrames;
    for (const cv::Rect& box : info.objects)
        current.bbox = current.bbox.area() > 0 ? (current.bbox | box) : box;
    const int count = static_cast<int>(info.objects.size());
    if (count > current.maxObjects) {
        current.maxObjects = count;
        current.peakFrame = info.index;
        current.peakMs = info.timeMs;
        current.peakObjects = info.objects;
        current.peakPicture = frame.peakPicture;
    }
}

std::string EventRecorder::clipFailure() const { return clips ? clips->failure() : std::string(); }

std::size_t EventRecorder::bufferPeakBytes() const { return buffer ? buffer->peakBytes() : 0; }

}  // namespace tarvolen
