// The newest packets of one source, kept so that a clip can start before
// the moment it is asked for: back to the last keyframe at or before the
// time to keep, bounded in bytes. The thread that reads the source pushes;
// clip writers read from a keyframe on, on threads of their own, each at its
// own pace, while the source goes on.
//
//   PacketRing ring({std::chrono::seconds(5), 64 << 20});
//   ring.restart(demuxer.layout());      // each time the source is opened
//   ring.push(packet);                   // for every packet read
//   auto reader = ring.readFrom(eventStart);
//   while (reader->next(packet, wait) == PacketRing::Next::Packet) write(packet);
//
// Packets are matched to frames by their arrival: the one clock that a
// camera's two streams share.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>

#include "media/StreamPacket.h"

namespace tarvolen {

struct PacketRingLimits {
    // The history kept before the newest packet, back to the keyframe at or
    // before it.
    std::chrono::milliseconds keep{5000};
    // The most the ring holds, readers behind included: past it the oldest
    // packets go, and a reader that still needed them has lost them.
    std::size_t maxBytes = 64ull << 20;
};

class PacketRing {
public:
    using Clock = StreamPacket::Clock;

    enum class Next {
        Packet,   // the next packet, in order
        Waiting,  // none yet
        Broken,   // packets were lost: the source was opened again, or the reader fell too far behind
        Closed,   // the ring was closed and the reader has had every packet
    };

    class Reader {
    public:
        ~Reader();
        Reader(const Reader&) = delete;
        Reader& operator=(const Reader&) = delete;

        // Waits up to `wait` for the next packet.
        Next next(StreamPacket& packet, std::chrono::milliseconds wait);
        // The streams of the source the reader started in.
        const std::shared_ptr<const StreamLayout>& layout() const { return streams; }
        // The arrival and the media time of the keyframe the reader started
        // at (the moment asked for and NaN when it waits for one to come).
        Clock::time_point startArrival() const { return start; }
        double startMediaMs() const { return startMedia; }

    private:
        friend class PacketRing;
        Reader(PacketRing& ring, std::uint64_t cursor, std::uint64_t generation,
               std::shared_ptr<const StreamLayout> layout, Clock::time_point start, double startMedia);

        PacketRing& ring;
        std::uint64_t cursor;      // sequence number of the next packet
        std::uint64_t generation;  // of the source it reads
        std::shared_ptr<const StreamLayout> streams;
        Clock::time_point start;
        double startMedia;
    };

    explicit PacketRing(PacketRingLimits limits);
    ~PacketRing();
    PacketRing(const PacketRing&) = delete;
    PacketRing& operator=(const PacketRing&) = delete;

    // The source was opened (again) with these streams: what was held goes,
    // and readers of the earlier source are broken.
    void restart(std::shared_ptr<const StreamLayout> layout);
    // The source is gone (lost, or read to its end): readers get what was
    // pushed, then Broken; nothing is pushed until the next restart().
    void interruptSource();
    void push(StreamPacket packet);
    // Ends the ring: readers get what is held, then Closed.
    void close();

    // A reader from the last video keyframe that arrived at or before
    // `time` (the first one held when none did; the first one to come when
    // none is held). Nothing when the ring holds no source.
    std::unique_ptr<Reader> readFrom(Clock::time_point time);

    // The streams of the source held now; null before the first restart().
    std::shared_ptr<const StreamLayout> layout() const;
    bool sourceUp() const;
    std::size_t bytesHeld() const;
    std::size_t packetsHeld() const;

private:
    struct Entry {
        std::uint64_t sequence;
        StreamPacket packet;
    };

    void trim();
    std::uint64_t oldestReaderCursor() const;
    std::uint64_t nextSequence() const;

    const PacketRingLimits limits;
    mutable std::mutex mutex;
    std::condition_variable arrived;
    std::deque<Entry> entries;
    std::size_t bytes = 0;
    std::uint64_t firstSequence = 0;  // of entries.front(), or of the next packet when empty
    std::uint64_t generation = 0;
    bool up = false;
    bool closed = false;
    std::shared_ptr<const StreamLayout> streams;
    std::deque<Reader*> readers;
};

}  // namespace tarvolen
