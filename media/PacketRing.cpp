#include "media/PacketRing.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace tarvolen {

PacketRing::Reader::Reader(PacketRing& r, std::uint64_t from, std::uint64_t g,
                           std::shared_ptr<const StreamLayout> layout, Clock::time_point keyframeArrival,
                           double keyframeMediaMs)
    : ring(r),
      cursor(from),
      generation(g),
      streams(std::move(layout)),
      start(keyframeArrival),
      startMedia(keyframeMediaMs) {}

PacketRing::Reader::~Reader() {
    std::lock_guard<std::mutex> lock(ring.mutex);
    ring.readers.erase(std::remove(ring.readers.begin(), ring.readers.end(), this), ring.readers.end());
}

PacketRing::Next PacketRing::Reader::next(StreamPacket& packet, std::chrono::milliseconds wait) {
    std::unique_lock<std::mutex> lock(ring.mutex);
    const auto ready = [this] {
        return ring.generation != generation || cursor < ring.nextSequence() || !ring.up || ring.closed;
    };
    if (!ready()) ring.arrived.wait_for(lock, wait, ready);
    if (ring.generation != generation || cursor < ring.firstSequence) return Next::Broken;
    if (cursor < ring.nextSequence()) {
        packet = ring.entries[cursor - ring.firstSequence].packet;
        ++cursor;
        return Next::Packet;
    }
    if (ring.closed) return Next::Closed;
    if (!ring.up) return Next::Broken;
    return Next::Waiting;
}

PacketRing::PacketRing(PacketRingLimits l) : limits(l) {}

PacketRing::~PacketRing() = default;

std::uint64_t PacketRing::nextSequence() const { return firstSequence + entries.size(); }

void PacketRing::restart(std::shared_ptr<const StreamLayout> layout) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        firstSequence = nextSequence();
        entries.clear();
        bytes = 0;
        ++generation;
        streams = std::move(layout);
        up = streams != nullptr && !closed;
    }
    arrived.notify_all();
}

void PacketRing::interruptSource() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        up = false;
    }
    arrived.notify_all();
}

void PacketRing::push(StreamPacket packet) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!up) return;
        bytes += packet.bytes;
        entries.push_back(Entry{nextSequence(), std::move(packet)});
        trim();
    }
    arrived.notify_all();
}

void PacketRing::close() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        closed = true;
        up = false;
    }
    arrived.notify_all();
}

std::uint64_t PacketRing::oldestReaderCursor() const {
    std::uint64_t oldest = std::numeric_limits<std::uint64_t>::max();
    for (const Reader* reader : readers)
        if (reader->generation == generation) oldest = std::min(oldest, reader->cursor);
    return oldest;
}

// Drops what no clip can start from any more: everything before the last
// keyframe that is older than the history kept, but nothing a reader still
// has to read, unless the ring is over its bound.
void PacketRing::trim() {
    const Clock::time_point horizon = entries.back().packet.arrival - limits.keep;
    const std::uint64_t protectedFrom = oldestReaderCursor();
    std::size_t cut = 0;
    for (std::size_t i = 0; i < entries.size() && entries[i].packet.arrival <= horizon; ++i) {
        if (entries[i].sequence > protectedFrom) break;
        if (entries[i].packet.kind == StreamKind::Video && entries[i].packet.keyframe) cut = i;
    }
    const auto dropOldest = [this] {
        bytes -= entries.front().packet.bytes;
        entries.pop_front();
        ++firstSequence;
    };
    for (std::size_t i = 0; i < cut; ++i) dropOldest();
    while (bytes > limits.maxBytes && entries.size() > 1) dropOldest();
}

std::unique_ptr<PacketRing::Reader> PacketRing::readFrom(Clock::time_point time) {
    std::lock_guard<std::mutex> lock(mutex);
    if (!up || !streams) return nullptr;
    std::optional<std::size_t> keyframe;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const StreamPacket& p = entries[i].packet;
        if (p.kind != StreamKind::Video || !p.keyframe) continue;
        if (p.arrival > time && keyframe) break;
        keyframe = i;
        if (p.arrival > time) break;
    }
    // With no keyframe held, the reader starts with the next packet; the
    // clip writer waits for a keyframe itself.
    const std::uint64_t cursor = keyframe ? firstSequence + *keyframe : nextSequence();
    const Clock::time_point start = keyframe ? entries[*keyframe].packet.arrival : time;
    const double startMedia = keyframe ? entries[*keyframe].packet.mediaMs : std::nan("");
    std::unique_ptr<Reader> reader(new Reader(*this, cursor, generation, streams, start, startMedia));
    readers.push_back(reader.get());
    return reader;
}

std::shared_ptr<const StreamLayout> PacketRing::layout() const {
    std::lock_guard<std::mutex> lock(mutex);
    return streams;
}

bool PacketRing::sourceUp() const {
    std::lock_guard<std::mutex> lock(mutex);
    return up;
}

std::size_t PacketRing::bytesHeld() const {
    std::lock_guard<std::mutex> lock(mutex);
    return bytes;
}

std::size_t PacketRing::packetsHeld() const {
    std::lock_guard<std::mutex> lock(mutex);
    return entries.size();
}

}  // namespace tarvolen
