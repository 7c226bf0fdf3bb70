// Opening a video file or a network stream with FFmpeg's libraries and
// reading its packets: the one place a source's container is opened, for the
// frame reader's decoder, for a stream copied into clips and for cuts.
//
// Network reads are bounded: opening, and each read, give up after the
// timeout, and interrupt() makes a read in progress on another thread return
// at once. A file is read with no time limit.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "media/StreamPacket.h"

struct AVFormatContext;
struct AVStream;

namespace tarvolen {

struct DemuxOptions {
    // Opening, and each read, of a network stream; zero for no limit.
    std::chrono::milliseconds timeout{0};
};

class Demuxer {
public:
    enum class Read {
        Packet,  // a packet of the video or the sound
        End,     // the end of the input
        Failed,  // a read error (damage the input may read past), a timeout or an interrupt
    };

    // Opens `source`; nothing, with `error` saying why in a few words, when
    // it is not a video FFmpeg can read.
    static std::unique_ptr<Demuxer> open(const std::string& source, const DemuxOptions& options, std::string& error);
    ~Demuxer();
    Demuxer(const Demuxer&) = delete;
    Demuxer& operator=(const Demuxer&) = delete;

    // The next packet of the video or the sound (other streams are skipped),
    // stamped with its arrival and its time.
    Read read(StreamPacket& packet);
    // From any thread: a read in progress, and every later one, fail at once.
    void interrupt() { interrupted.store(true); }

    const std::shared_ptr<const StreamLayout>& layout() const { return streams; }
    // FFmpeg's own objects, for the decoder and for seeking.
    AVFormatContext* context() const { return format; }
    int videoIndex() const { return video; }
    int audioIndex() const { return audio; }
    AVStream& videoStream() const;
    // The video's start in its time base (its first presentation time when
    // the container gives no start).
    std::int64_t videoOrigin() const;
    // Milliseconds from the video's start of a time in the video's time base.
    double videoMs(std::int64_t ts) const;
    // Whether the input is at the end of its bytes (a read error there is
    // the end, not damage).
    bool atEndOfInput() const;
    // The read position in bytes, -1 when unknown: a damaged stretch that
    // the demuxer cannot get past leaves it where it is.
    std::int64_t bytePosition() const;

private:
    Demuxer(const DemuxOptions& options);
    bool openInput(const std::string& source, std::string& error);
    static int interruptCallback(void* self);
    void armDeadline();

    const DemuxOptions options;
    AVFormatContext* format = nullptr;
    int video = -1;
    int audio = -1;
    std::shared_ptr<const StreamLayout> streams;
    mutable std::int64_t firstVideoTs;
    std::atomic<bool> interrupted{false};
    std::atomic<std::int64_t> deadlineNs{0};  // steady clock; 0: none
};

}  // namespace tarvolen
