#include "media/PacketReader.h"

#include <cmath>

#include "media/Demuxer.h"
#include "media/ReopenPauses.h"
#include "media/VideoSource.h"

namespace tarvolen {

PacketReader::PacketReader(PacketReaderSettings s, std::shared_ptr<PacketRing> packets)
    : settings(std::move(s)),
      file(!isStreamUrl(settings.source)),
      ring(std::move(packets)),
      lastPacketAt(Clock::now()),
      thread(&PacketReader::run, this) {}

PacketReader::~PacketReader() { stop(); }

void PacketReader::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
        if (reading != nullptr) reading->interrupt();
    }
    stopChanged.notify_all();
    if (thread.joinable()) thread.join();
}

// False once stopped.
bool PacketReader::waitUntil(Clock::time_point time) {
    std::unique_lock<std::mutex> lock(mutex);
    return !stopChanged.wait_until(lock, time, [this] { return stopping; });
}

void PacketReader::lost() {
    ring->interruptSource();
    if (saidLost) return;
    saidLost = true;
    if (settings.onLost) settings.onLost();
}

std::unique_ptr<Demuxer> PacketReader::openSource() {
    std::string ignored;
    std::unique_ptr<Demuxer> demuxer;
    try {
        demuxer = Demuxer::open(settings.source, DemuxOptions{file ? std::chrono::milliseconds(0) : settings.sourceTimeout},
                                ignored);
    } catch (...) {
        return nullptr;  // as unreachable as one that refuses
    }
    std::lock_guard<std::mutex> lock(mutex);
    if (stopping) return nullptr;
    reading = demuxer.get();
    return demuxer;
}

void PacketReader::run() {
    ReopenPauses pauses(settings.reconnectMaxPause);
    for (;;) {
        if (!waitUntil(Clock::now() + pauses.next())) break;
        std::unique_ptr<Demuxer> demuxer = openSource();
        if (!demuxer) {
            lost();
            continue;
        }
        bool goOn = false;
        delivered = false;
        try {
            goOn = readAll(*demuxer);
        } catch (...) {
            goOn = true;  // a stream that cannot be read is lost like one that went away
        }
        {
            std::lock_guard<std::mutex> lock(mutex);
            reading = nullptr;
        }
        demuxer.reset();
        if (!goOn) break;
        lost();
        if (delivered) pauses.reset();
    }
    ring->interruptSource();
}

bool PacketReader::readAll(Demuxer& demuxer) {
    ring->restart(demuxer.layout());
    const Clock::time_point opened = Clock::now();
    double firstMs = std::nan("");
    StreamPacket packet;
    for (;;) {
        const Demuxer::Read read = demuxer.read(packet);
        if (read != Demuxer::Read::Packet) {
            std::lock_guard<std::mutex> lock(mutex);
            // A file read to its end is over; a stream that ended or failed is lost.
            return !stopping && !(file && read == Demuxer::Read::End);
        }
        if (file && !std::isnan(packet.mediaMs)) {
            // A file delivers at its own rate, as the camera it stands in for.
            if (std::isnan(firstMs)) firstMs = packet.mediaMs;
            const auto due = opened + std::chrono::duration_cast<Clock::duration>(
                                          std::chrono::duration<double, std::milli>(packet.mediaMs - firstMs));
            if (!waitUntil(due)) return false;
            packet.arrival = Clock::now();
        }
        if (saidLost) {
            saidLost = false;
            if (settings.onBack) settings.onBack(packet.arrival - lastPacketAt);
        }
        lastPacketAt = packet.arrival;
        delivered = true;
        ring->push(packet);
    }
}

}  // namespace tarvolen
