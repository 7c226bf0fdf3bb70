// Reading a second stream of a camera for its packets only, neither decoded
// nor looked at: on a thread of its own, into a packet ring, reopened
// whenever it is lost, for as long as the reader lives. A camera's main
// stream is recorded this way while its sub stream is watched.
//
// A file stands in for a stream in tests: its packets arrive at its own
// rate, and it is read once.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "media/PacketRing.h"

namespace tarvolen {

class Demuxer;

struct PacketReaderSettings {
    std::string source;  // a URL, or a file
    // No packet for this long and the stream is lost; also the bound of
    // opening it.
    std::chrono::milliseconds sourceTimeout{10000};
    // The pauses between attempts to reopen it grow to this.
    std::chrono::milliseconds reconnectMaxPause{30000};
    // Said once each time the stream is lost (also when it cannot be opened
    // at first), and when it delivers again, with how long it gave no
    // packet. On the reader's thread; must be quick.
    std::function<void()> onLost;
    std::function<void(std::chrono::duration<double> outage)> onBack;
};

class PacketReader {
public:
    // Starts reading into `ring`.
    PacketReader(PacketReaderSettings settings, std::shared_ptr<PacketRing> ring);
    // Stops reading: a read in progress is interrupted.
    ~PacketReader();
    PacketReader(const PacketReader&) = delete;
    PacketReader& operator=(const PacketReader&) = delete;

    void stop();

private:
    using Clock = std::chrono::steady_clock;

    void run();
    std::unique_ptr<Demuxer> openSource();
    // Reads until the stream is lost or ends; false once stopped or when a
    // file has been read to its end.
    bool readAll(Demuxer& demuxer);
    bool waitUntil(Clock::time_point time);
    void lost();

    const PacketReaderSettings settings;
    const bool file;
    std::shared_ptr<PacketRing> ring;
    std::mutex mutex;
    std::condition_variable stopChanged;
    bool stopping = false;
    Demuxer* reading = nullptr;  // under `mutex`: what stop() interrupts
    bool saidLost = false;
    bool delivered = false;  // since the stream was last opened
    Clock::time_point lastPacketAt;
    std::thread thread;  // last: starts when everything above is ready
};

}  // namespace tarvolen
