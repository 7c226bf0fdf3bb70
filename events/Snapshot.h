// Snapshots: the picture of an event's busiest frame (the first with the
// most confirmed objects, boxes drawn) as a JPEG beside its clip, named
// after it: event_05_03_2024_09_07_03.avi gets event_05_03_2024_09_07_03.jpg.
// Encoding and writing run on a thread of their own, so that the frame loop
// never waits for them.
#pragma once

#include <cstddef>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include <opencv2/core.hpp>

#include "platform/BoundedQueue.h"
#include "platform/Lines.h"

namespace tarvolen {

// The snapshot's path for a clip's: the same stem, ".jpg".
std::string snapshotPathFor(const std::string& clipPath);

class SnapshotWriter {
public:
    // Snapshots waiting to be written, at most; more are not written.
    static constexpr std::size_t kMaxWaiting = 8;
    static constexpr int kJpegQuality = 90;

    explicit SnapshotWriter(LineSink say);
    // Writes what is waiting.
    ~SnapshotWriter();
    // Writes what is waiting and takes no more; every outcome is settled.
    void finish();
    SnapshotWriter(const SnapshotWriter&) = delete;
    SnapshotWriter& operator=(const SnapshotWriter&) = delete;

    // Hands the picture over to be written to `path`; never waits. The
    // picture's pixels must not change afterwards.
    void write(const std::string& path, cv::Mat picture);
    // Whether `path` was handed over and is not written yet.
    bool pending(const std::string& path);
    // Whether the snapshot at `path` was written, once it is settled; asked
    // once.
    std::optional<bool> take(const std::string& path);

private:
    struct Job {
        std::string path;
        cv::Mat picture;
    };
    void work();
    void settle(const std::string& path, bool written);

    LineSink say;
    std::mutex mutex;
    std::map<std::string, std::optional<bool>> outcomes;  // nothing while pending
    BoundedQueue<Job> jobs{kMaxWaiting};
    std::thread worker;
};

}  // namespace tarvolen
