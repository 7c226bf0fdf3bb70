// The status file: the watcher's status object, rewritten atomically every
// few seconds and at each change of state, on a thread of its own, so that
// a reader never sees half a file and the loop never waits for the disk.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "watch/WatchStatus.h"

namespace tarvolen {

// Replaces `path` with `text` so that a reader sees the old file or the new
// one, never a mix: the text goes into a temporary file in the same folder,
// is flushed to the disk and renamed over `path`. Returns the problem in a
// few words, or an empty string. The temporary file never outlives a failure.
std::string writeFileAtomically(const std::string& path, const std::string& text);

// The bytes of the regular files directly in `folder`, links not followed;
// 0 when it cannot be read.
std::uint64_t folderBytes(const std::string& folder);

class StatusFile {
public:
    using Report = std::function<void(const std::string& line)>;

    // Keeps `board`'s folder size (of `folder`) up to date and, when `path`
    // is not empty, writes the status there every `interval`. `report` hears
    // of a failed write once, and once more when writing works again.
    StatusFile(std::string path, std::chrono::milliseconds interval, std::string folder,
               WatchStatusBoard& board, Report report);
    // Stops the thread after a last write.
    ~StatusFile();
    StatusFile(const StatusFile&) = delete;
    StatusFile& operator=(const StatusFile&) = delete;

    // Writes the status now, on the caller's thread: the problem, or an empty
    // string. The watcher checks at start that the file can be written.
    std::string writeNow();
    // Starts the periodic writes.
    void start();
    // The state changed: the thread writes at once.
    void changed();
    // Hears the status object of every round of the thread, written or not
    // (the broker's copy of it). Set before start().
    void setOnWritten(std::function<void(const std::string& statusJson)> listener) {
        onWritten = std::move(listener);
    }

private:
    void run();
    void writeAndReport();

    const std::string path;
    const std::chrono::milliseconds interval;
    const std::string folder;
    WatchStatusBoard& board;
    Report report;
    std::function<void(const std::string&)> onWritten;
    std::mutex mutex;
    std::condition_variable wake;
    bool writeRequested = false;
    bool stopping = false;
    bool failing = false;  // the thread's own: the last write failed
    std::thread thread;
};

}  // namespace tarvolen
