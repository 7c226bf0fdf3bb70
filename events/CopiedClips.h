// Event clips that hold the source's own packets, video and sound, neither
// decoded nor encoded: the camera's quality at the cost of copying bytes.
//
// A live stream's packets wait in a packet ring; when an event opens, its
// clip starts at the last keyframe that arrived at or before the event's
// first frame and takes the packets on, as the frames they belong to are
// settled into the event, up to its last frame. A camera's record stream
// (its main stream) is matched to the detected frames by arrival; while it
// is away, clips are copied from the detected stream's own packets instead.
// A file is cut from its own packets by its own times once the event ends.
//
// Beside each clip goes `event_….boxes.json`: each detected frame's time
// from the clip's start and its boxes, in the clip's pixels, for a player
// to draw over it.
//
// The loop's thread announces; the copying runs on a thread of its own.
#pragma once

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <opencv2/core.hpp>

#include "events/EventRecorder.h"
#include "media/PacketRing.h"
#include "platform/BoundedQueue.h"

namespace tarvolen {

struct CopySources {
    std::shared_ptr<PacketRing> detect;  // the detected stream's packets; null for a file
    std::shared_ptr<PacketRing> record;  // the camera's record stream; null when it has none
    std::string file;                    // a detected file, cut by its own times
    cv::Size detectSize;                 // the detected frames' pixels, the boxes' scale
    // Whether the detected frames were decoded from the detect ring's very
    // packets (so that their own times match them exactly), rather than read
    // from the same source over another connection.
    bool detectRingFeedsFrames = true;
    // How long the end of a clip waits for its last packets when the stream
    // has gone quiet.
    std::chrono::milliseconds tailWait{10000};
};

// What became of one clip, for its log line.
struct CopiedClipOutcome {
    std::string failure;  // empty when the clip is complete; else one line naming it
    // The file could not be written (a full disk, a folder gone): what ends
    // event recording, as for any clip. Otherwise the clip lacks packets
    // the stream never gave, and the event is logged all the same.
    bool writeFailed = false;
    std::optional<double> clipStartWallMs;
    std::string clipStream;  // "record" or "detect" with two streams, else empty
    double scaleX = 1.0;     // from the detected frames' pixels to the clip's
    double scaleY = 1.0;
};

// "event_….boxes.json" beside the clip at `clipPath`.
std::string boxesPathFor(const std::string& clipPath);

class CopiedClips {
public:
    using Report = std::function<void(const std::string& clipPath, const CopiedClipOutcome& outcome)>;

    // `report` hears of each clip once it is finished, on the copying
    // thread; `beforeClip` runs there just before each clip is created.
    CopiedClips(CopySources sources, Report report, std::function<void()> beforeClip = {});
    // Finishes what was announced.
    ~CopiedClips();
    CopiedClips(const CopiedClips&) = delete;
    CopiedClips& operator=(const CopiedClips&) = delete;

    // For an event whose first frame is `first`: picks the stream its clip
    // is copied from and says the clip's extension (".mp4" or ".mkv").
    std::string prepare(const FrameInfo& first);
    // The event's clip is `path`: it starts at the keyframe of its first
    // frame.
    void open(const std::string& path, const FrameInfo& first);
    // Every frame of the open event, in order (the first one included).
    void frame(const FrameInfo& frame);
    // The event ended with its last frame announced. With `sourceGoesOn`
    // false (the program ends, the source was lost), the clip ends with the
    // packets there are rather than wait for its last frame's to come.
    void close(bool sourceGoesOn = true);
    // Waits until every clip announced is finished and reported.
    void drain();
    // The first failure to write a clip since the last call, one line
    // naming it.
    std::string takeFailure();

private:
    struct Command {
        enum Kind { Open, Frame, Close, Sync } kind = Sync;
        std::string path;
        std::unique_ptr<PacketRing::Reader> reader;  // Open, from a ring
        std::string stream;                          // Open: "record", "detect" or ""
        FrameInfo frame;                             // Open: the first; Frame
        bool waitForTail = true;                     // Close
        std::promise<void> done;                     // Sync
    };
    struct Clip;

    void run();
    void execute(Command& command);
    void startClip(Command& command);
    void pump();
    bool writeHeld(Clip& clip);
    void finishClip();
    void cutFile(Clip& clip);
    void writeBoxes(const Clip& clip, const std::string& path) const;
    bool sharesFramesClock(const Clip& clip) const;
    void fail(const std::string& why);

    const CopySources sources;
    Report report;
    std::function<void()> beforeClip;
    // The loop's side.
    std::unique_ptr<PacketRing::Reader> prepared;
    std::string preparedStream;
    std::string fileExtension;  // of cuts of sources.file, found once
    // Between the threads.
    BoundedQueue<Command> queue;
    std::mutex mutex;
    std::string firstFailure;
    // The copying thread's.
    std::unique_ptr<Clip> current;
    std::thread worker;  // last: starts when everything above is ready
};

}  // namespace tarvolen
