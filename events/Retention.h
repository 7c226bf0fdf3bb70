// Retention: keeps an event folder's clips and snapshots under a size cap
// and an age, oldest first, so that an unattended recorder never fills its
// disk. Only files named as the programs name event clips, snapshots and box
// files (event_DD_MM_YYYY_HH_MM_SS[_N].avi, .mp4, .mkv, .jpg, .boxes.json),
// regular files themselves (a symbolic link so named is neither followed,
// counted nor deleted), are ever touched; the log, other files and
// subfolders never are, nor anything of an event the caller protects (the
// clip being written). A clip's box file is deleted with its clip, never
// while the clip stays.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/BoundedQueue.h"
#include "platform/Lines.h"

namespace tarvolen {

// Whether `name` is that of an event clip, snapshot or box file.
bool isEventFileName(std::string_view name);
// Whether it is that of a clip (.avi, .mp4, .mkv).
bool isEventClipName(std::string_view name);

struct RetentionRules {
    std::uint64_t maxFolderBytes = 0;    // clips and snapshots together; 0: no cap
    std::chrono::seconds maxAge{0};      // by modification time; 0: no limit
    // With a cap, the room kept free on the folder's file system: at least
    // this, and at least the size of the largest clip there, so that the next
    // event finds room for a clip like it.
    std::uint64_t minFreeBytes = 0;
    // The limits as the operator wrote them, for messages; 0: from the above.
    double shownMb = 0;
    double shownDays = 0;
    bool any() const { return maxFolderBytes > 0 || maxAge.count() > 0; }
};

// The rules of the Event_Recording keys max_folder_mb and max_age_days.
RetentionRules retentionRules(double maxFolderMb, double maxAgeDays);

// The free bytes of the file system a folder lies on.
using FreeSpaceProbe = std::function<std::uint64_t(const std::string& folder)>;

struct SweepResult {
    int clips = 0;            // each with its box file, if it had one
    int snapshots = 0;
    int boxes = 0;            // box files whose clip was gone already
    std::uint64_t bytes = 0;  // deleted
    bool forAge = false;      // something was older than the limit
    bool forCap = false;      // ... or the folder was over its cap
    bool forRoom = false;     // ... or the disk was nearly full
    std::uint64_t keptBytes = 0;  // of event files left
    int kept = 0;                 // clips (with their box files), snapshots and lone box files left
    bool fits = true;             // under the cap and with room on the disk when done
};

// One sweep of `folder`: deletes the oldest event files (by modification
// time, then name; a clip's box file with it) that are older than the age,
// and more while the folder is over its cap or its disk short of room, never
// a name in `keep` nor the snapshot or box file of one.
SweepResult sweepEventFolder(const std::string& folder, const RetentionRules& rules,
                             std::chrono::system_clock::time_point now, const std::set<std::string>& keep,
                             const FreeSpaceProbe& freeBytes);

// The one line a sweep that deleted something says, e.g. "Retention: deleted
// 3 clips and 3 snapshots (41.0 MB) to keep events under 500 MB" (a clip's
// box file counts with it); empty when it deleted nothing.
std::string describeSweep(const SweepResult& result, const std::string& folder, const RetentionRules& rules);

struct RetentionClocks {
    std::function<std::chrono::steady_clock::time_point()> steady = [] { return std::chrono::steady_clock::now(); };
    std::function<std::chrono::system_clock::time_point()> wall = [] { return std::chrono::system_clock::now(); };
};

// Sweeps a folder at start, every kSweepInterval (as the frame loop's tick
// notices it; the sweep itself runs on a thread of its own) and whenever
// asked on the caller's thread (the clip writer's, before a clip opens).
class Retention {
public:
    static constexpr std::chrono::minutes kSweepInterval{1};

    Retention(std::string folder, RetentionRules rules, LineSink say, RetentionClocks clocks = RetentionClocks(),
              FreeSpaceProbe freeBytes = FreeSpaceProbe());
    ~Retention();
    Retention(const Retention&) = delete;
    Retention& operator=(const Retention&) = delete;

    // Names (in the folder) that no sweep may delete, until released.
    void protect(const std::string& name);
    void release(const std::string& name);

    // Cheap: hands a sweep to the thread once kSweepInterval has passed
    // since the last one was handed over.
    void tick();
    // Sweeps now, on the calling thread.
    SweepResult sweepNow();
    // Waits until no sweep is waiting or running; for tests.
    void waitIdle();

    // Clips and snapshots deleted so far, and their bytes; any thread.
    std::uint64_t deletedFiles() const { return filesDeleted.load(); }
    std::uint64_t deletedBytes() const { return bytesDeleted.load(); }

private:
    void request();
    void work();

    const std::string folder;
    const RetentionRules rules;
    LineSink say;
    RetentionClocks clocks;
    FreeSpaceProbe freeBytes;
    std::chrono::steady_clock::time_point lastRequest;
    std::mutex protectedMutex;
    std::set<std::string> protectedNames;
    std::mutex sweepMutex;  // one sweep at a time
    std::atomic<std::uint64_t> filesDeleted{0};
    std::atomic<std::uint64_t> bytesDeleted{0};
    std::mutex idleMutex;
    std::condition_variable idleChanged;
    int unfinished = 0;
    BoundedQueue<int> requests{1};
    std::thread worker;
};

}  // namespace tarvolen
