#include "events/CopiedClips.h"

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <utility>

#include <nlohmann/json.hpp>

#include "media/PacketClip.h"
#include "media/StreamCut.h"
#include "platform/ProgramGuard.h"

namespace tarvolen {
namespace {

namespace fs = std::filesystem;
using Clock = StreamPacket::Clock;

constexpr std::size_t kQueuedCommands = 65536;  // a frame each: never reached while the thread lives
// Longest wait for a packet before the thread looks at its commands again.
constexpr std::chrono::milliseconds kPacketWait{20};
// A camera's two encoders do not deliver a moment's frames at the same
// instant: the record stream is followed this far past the detected frame.
constexpr std::chrono::milliseconds kStreamSkew{500};
// Packets written before the thread looks at its commands again.
constexpr int kPacketsPerPump = 256;
constexpr double kTimeSteps = 10.0;  // boxes' times are kept to a tenth of a millisecond
const char* const kRecordStream = "record";
const char* const kDetectStream = "detect";

double msBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

// A box in the detected frame's pixels as it covers the clip's pixels.
std::vector<int> scaledBox(const cv::Rect& box, double sx, double sy) {
    const int x0 = static_cast<int>(std::floor(box.x * sx));
    const int y0 = static_cast<int>(std::floor(box.y * sy));
    const int x1 = static_cast<int>(std::ceil((box.x + box.width) * sx));
    const int y1 = static_cast<int>(std::ceil((box.y + box.height) * sy));
    return {x0, y0, x1 - x0, y1 - y0};
}

}  // namespace

std::string boxesPathFor(const std::string& clipPath) {
    return fs::path(clipPath).replace_extension(".boxes.json").string();
}

struct CopiedClips::Clip {
    std::string path;
    std::string stream;
    FrameInfo first;
    std::vector<FrameInfo> frames;  // every frame of the event, for the boxes
    // From a ring.
    std::unique_ptr<PacketRing::Reader> reader;
    PacketClip out;
    std::optional<StreamPacket> held;  // read, not yet known to be in the event
    Clock::time_point released;        // packets that arrived up to here are in it
    bool closing = false;
    bool waitForTail = true;  // for the packets of the last frame, when they have not come yet
    Clock::time_point lastProgress;
    std::optional<Clock::time_point> firstArrival;  // of the packet the clip starts with
    std::string failure;
    bool writeFailed = false;  // the file itself could not be written
    // What the log line needs, once known.
    double startMediaMs = std::nan("");
    cv::Size size;
};

CopiedClips::CopiedClips(CopySources s, Report r, std::function<void()> before)
    : sources(std::move(s)),
      report(std::move(r)),
      beforeClip(std::move(before)),
      queue(kQueuedCommands),
      worker(&CopiedClips::run, this) {}

CopiedClips::~CopiedClips() {
    queue.close();
    if (worker.joinable()) worker.join();
}

std::string CopiedClips::prepare(const FrameInfo& first) {
    prepared.reset();
    preparedStream.clear();
    // The record stream while it delivers; the detected one meanwhile, so
    // that no event is left without a clip.
    if (sources.record) prepared = sources.record->readFrom(first.arrival);
    if (prepared) {
        preparedStream = kRecordStream;
        return copiedClipExtension(*prepared->layout());
    }
    if (sources.record) preparedStream = kDetectStream;
    if (sources.detect) prepared = sources.detect->readFrom(first.arrival);
    if (prepared) return copiedClipExtension(*prepared->layout());
    if (sources.file.empty()) return ".mkv";  // its failure is said when the clip is written
    if (fileExtension.empty()) fileExtension = streamCutExtension(sources.file);
    return fileExtension;
}

void CopiedClips::open(const std::string& path, const FrameInfo& first) {
    Command command;
    command.kind = Command::Open;
    command.path = path;
    command.reader = std::move(prepared);
    command.stream = preparedStream;
    command.frame = first;
    queue.push(std::move(command));
}

void CopiedClips::frame(const FrameInfo& info) {
    Command command;
    command.kind = Command::Frame;
    command.frame = info;
    queue.push(std::move(command));
}

void CopiedClips::close(bool sourceGoesOn) {
    Command command;
    command.kind = Command::Close;
    command.waitForTail = sourceGoesOn;
    queue.push(std::move(command));
}

void CopiedClips::drain() {
    Command command;
    std::future<void> done = command.done.get_future();
    if (queue.push(std::move(command))) done.wait();
}

std::string CopiedClips::takeFailure() {
    std::lock_guard<std::mutex> lock(mutex);
    return std::exchange(firstFailure, std::string());
}

void CopiedClips::fail(const std::string& why) {
    std::lock_guard<std::mutex> lock(mutex);
    if (firstFailure.empty()) firstFailure = why;
}

void CopiedClips::run() {
    for (;;) {
        // While a clip takes packets, commands are looked at between them.
        std::optional<Command> command =
            current && current->reader ? queue.popFor(std::chrono::milliseconds(0)) : queue.pop();
        try {
            if (command) {
                execute(*command);
            } else if (current && current->reader) {
                if (queue.closedAndEmpty()) current->closing = true;
                pump();
            } else if (queue.closedAndEmpty()) {
                return;
            }
        } catch (...) {
            if (current) current->failure = describeCurrentException();
            try {
                finishClip();
            } catch (...) {
                current.reset();
            }
        }
    }
}

void CopiedClips::execute(Command& command) {
    switch (command.kind) {
        case Command::Open:
            if (current) finishClip();
            startClip(command);
            break;
        case Command::Frame:
            if (!current) break;
            current->frames.push_back(command.frame);
            if (current->reader) {
                const bool otherStream = current->stream == kRecordStream;
                current->released = command.frame.arrival + (otherStream ? Clock::duration(kStreamSkew) : Clock::duration());
            }
            break;
        case Command::Close:
            if (!current) break;
            current->closing = true;
            current->waitForTail = command.waitForTail;
            current->lastProgress = Clock::now();
            if (!current->reader) finishClip();  // a file: cut now
            break;
        case Command::Sync:
            // Only clips whose events ended can be finished now.
            while (current && current->reader && current->closing) pump();
            command.done.set_value();
            break;
    }
}

void CopiedClips::startClip(Command& command) {
    current = std::make_unique<Clip>();
    Clip& clip = *current;
    clip.path = command.path;
    clip.stream = command.stream;
    clip.first = command.frame;
    clip.lastProgress = Clock::now();
    if (beforeClip) beforeClip();
    if (!command.reader && !sources.file.empty()) return;  // cut once the event ends
    if (!command.reader) {
        clip.failure = "no packets of the stream to copy (it is away)";
        return finishClip();
    }
    clip.reader = std::move(command.reader);
    clip.released = clip.first.arrival;
    const std::shared_ptr<const StreamLayout>& layout = clip.reader->layout();
    clip.size = cv::Size(layout->width(), layout->height());
    MuxerSettings settings;
    settings.creationTime = std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(
            std::chrono::duration<double, std::milli>(clip.first.timeMs)));
    clip.failure = clip.out.open(clip.path, layout, settings);
    clip.writeFailed = !clip.failure.empty();
    if (clip.writeFailed) finishClip();
}

// Writes the packets that are known to be in the event; finishes the clip
// once its last frame's packets are in.
void CopiedClips::pump() {
    Clip& clip = *current;
    for (int i = 0; i < kPacketsPerPump; ++i) {
        if (!clip.held) {
            StreamPacket packet;
            switch (clip.reader->next(packet, i == 0 ? kPacketWait : std::chrono::milliseconds(0))) {
                case PacketRing::Next::Packet:
                    clip.held = std::move(packet);
                    clip.lastProgress = Clock::now();
                    break;
                case PacketRing::Next::Waiting:
                    if (clip.closing && (!clip.waitForTail || Clock::now() - clip.lastProgress > sources.tailWait))
                        finishClip();
                    return;
                case PacketRing::Next::Broken:  // the stream went away: the clip ends with its packets
                case PacketRing::Next::Closed:
                    return finishClip();
            }
        }
        const bool pastTheEnd =
            clip.held->kind == StreamKind::Video && clip.held->arrival > clip.released;
        if (pastTheEnd) {
            if (clip.closing) finishClip();
            return;
        }
        if (!writeHeld(clip)) return finishClip();
    }
}

bool CopiedClips::writeHeld(Clip& clip) {
    const StreamPacket packet = std::move(*clip.held);
    clip.held.reset();
    clip.failure = clip.out.write(packet);
    clip.writeFailed = !clip.failure.empty();
    if (clip.out.started() && !clip.firstArrival) {
        clip.firstArrival = clip.out.firstArrival();
        clip.startMediaMs = clip.out.firstMs();
    }
    return clip.failure.empty();
}

void CopiedClips::cutFile(Clip& clip) {
    const double lastMs = clip.frames.empty() ? clip.first.mediaMs : clip.frames.back().mediaMs;
    const StreamCutResult cut = cutStream(sources.file, clip.path, clip.first.mediaMs, lastMs);
    if (!cut.ok) clip.failure = cut.failure;
    clip.writeFailed = !cut.ok && cut.videoPackets > 0;
    if (cut.videoPackets > 0) clip.startMediaMs = cut.firstMs;
    clip.size = sources.detectSize;
}

void CopiedClips::finishClip() {
    if (!current) return;
    Clip& clip = *current;
    if (!clip.reader && !sources.file.empty() && clip.failure.empty()) cutFile(clip);
    const std::string finished = clip.out.finish();
    if (clip.failure.empty() && !finished.empty()) {
        clip.failure = finished;
        clip.writeFailed = true;
    }
    const bool sameClock = sharesFramesClock(clip);
    const bool started = !std::isnan(clip.startMediaMs);
    if (clip.failure.empty() && !started) clip.failure = "no keyframe came for it";
    CopiedClipOutcome outcome;
    outcome.clipStream = clip.stream;
    if (!clip.failure.empty()) {
        // One line naming the clip, as every clip writer says it.
        outcome.failure = clip.failure.rfind(clip.path, 0) == 0 ? clip.failure : clip.path + ": " + clip.failure;
        outcome.writeFailed = clip.writeFailed;
        if (clip.writeFailed) fail(outcome.failure);
    }
    if (started && !sources.detectSize.empty() && !clip.size.empty()) {
        outcome.scaleX = static_cast<double>(clip.size.width) / sources.detectSize.width;
        outcome.scaleY = static_cast<double>(clip.size.height) / sources.detectSize.height;
    }
    if (started) {
        // The clip starts at a keyframe, usually a little before the event.
        const double leadMs = sameClock || !clip.firstArrival
                                  ? clip.first.mediaMs - clip.startMediaMs
                                  : msBetween(*clip.firstArrival, clip.first.arrival);
        outcome.clipStartWallMs = clip.first.timeMs - leadMs;
        try {
            writeBoxes(clip, boxesPathFor(clip.path));
        } catch (...) {
            // The clip plays without its boxes.
        }
    }
    const std::string path = clip.path;
    current.reset();
    report(path, outcome);
}

// Whether the clip's packets carry the detected frames' own times: those of
// a file, or of the stream the frames were decoded from.
bool CopiedClips::sharesFramesClock(const Clip& clip) const {
    if (!clip.reader) return true;
    return clip.stream != kRecordStream && sources.detectRingFeedsFrames;
}

void CopiedClips::writeBoxes(const Clip& clip, const std::string& path) const {
    const bool sameClock = sharesFramesClock(clip);
    const double sx = sources.detectSize.empty() ? 1.0 : static_cast<double>(clip.size.width) / sources.detectSize.width;
    const double sy =
        sources.detectSize.empty() ? 1.0 : static_cast<double>(clip.size.height) / sources.detectSize.height;
    nlohmann::ordered_json frames = nlohmann::ordered_json::array();
    for (const FrameInfo& frame : clip.frames) {
        const double timeMs = sameClock || !clip.firstArrival ? frame.mediaMs - clip.startMediaMs
                                                               : msBetween(*clip.firstArrival, frame.arrival);
        if (!(timeMs >= 0)) continue;  // before the clip's first frame
        nlohmann::ordered_json boxes = nlohmann::ordered_json::array();
        for (const cv::Rect& box : frame.objects) boxes.push_back(scaledBox(box, sx, sy));
        frames.push_back({{"time_ms", std::round(timeMs * kTimeSteps) / kTimeSteps}, {"boxes", boxes}});
    }
    nlohmann::ordered_json document;
    document["clip"] = fs::path(clip.path).filename().string();
    document["width"] = clip.size.width;
    document["height"] = clip.size.height;
    document["frames"] = std::move(frames);
    // Whole or not at all: a player may read it at any moment.
    const std::string partial = path + ".part";
    {
        std::ofstream out(partial, std::ios::binary | std::ios::trunc);
        out << document.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) << '\n';
        if (!out.flush()) {
            std::remove(partial.c_str());
            return;
        }
    }
    std::error_code ignored;
    fs::rename(partial, path, ignored);
    if (ignored) fs::remove(partial, ignored);
}

}  // namespace tarvolen
