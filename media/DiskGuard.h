// Watching the file a video is being written to: is there still room for it
// on its file system, and does it still have a writable home?
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <opencv2/core.hpp>

#include "platform/Units.h"

namespace tarvolen {

// What the guard sees of a file being written and of its folder.
struct FileSystemState {
    bool fileLinked = true;       // the file still has a name (was not deleted)
    bool folderPresent = true;    // the folder was not removed
    bool folderWritable = true;   // new files could still be made there
    bool readOnly = false;        // the file system is mounted read-only
    std::uint64_t freeBytes = 0;  // room left to unprivileged writers
};

// Why writing must stop, as a short phrase ("the disk is nearly full (96 KB
// left)"), or nothing when it may go on with `reserveBytes` to spare.
std::optional<std::string> stopReason(const FileSystemState& state, std::uint64_t reserveBytes);

// The folder a file path lies in ("." for a bare name).
std::string folderOf(const std::string& path);

// Why a new file of colour frames of `frameSize` should not be started at
// `path`, as a short phrase, or nothing. Even the first frame needs its
// reserve: a file that would be given up at once is not started.
std::optional<std::string> startProblem(const std::string& path, cv::Size frameSize);

// Follows one file from just after it was created until it is finished.
class DiskGuard {
public:
    // Bytes always kept free for the file's headers and trailer.
    static constexpr std::uint64_t kFixedMargin = 64 * 1024;
    // The file grows in steps as the muxer's output buffer is flushed; until
    // a larger step is seen, one is taken to be this big (what OpenCV's
    // FFmpeg writer does). Room for two steps is kept: the growth one write
    // may bring before the next check, and the buffer flushed at the finish.
    static constexpr std::uint64_t kAssumedWriteStep = 256 * 1024;
    // Frames kept room for: the next one and a few more of the largest size seen.
    static constexpr std::uint64_t kHeadroomFrames = 4;
    // Index bytes per frame: the legacy index and the extended one.
    static constexpr std::uint64_t kIndexBytesPerFrame = 32;

    DiskGuard() = default;
    ~DiskGuard();
    DiskGuard(const DiskGuard&) = delete;
    DiskGuard& operator=(const DiskGuard&) = delete;

    // Starts watching the created file at `path`; until frames have been
    // seen, a frame is assumed to take as much as its raw pixels. False when
    // the file cannot be opened for watching.
    bool attach(const std::string& path, cv::Size frameSize);

    // Called before frame number framesWritten + 1 is written: why writing
    // must stop now, or nothing. pendingFrames are frames an encoder holds
    // that will still reach the file (H.264's look-ahead): room is kept for
    // them too.
    std::optional<std::string> check(std::uint64_t framesWritten, std::uint64_t pendingFrames = 0);

    // The room to keep free before writing the next frame.
    std::uint64_t reserveBytes(std::uint64_t framesWritten) const;
    // The room a new file of colour frames of `frameSize` needs before its
    // first frame, when nothing is known yet of its compressed size.
    static std::uint64_t initialReserve(cv::Size frameSize);

    // The state of a folder alone: where a new file would be made.
    static FileSystemState probeFolder(const std::string& folder);

private:
    FileSystemState probe() const;
    void learnFrameSize(std::uint64_t framesWritten);

    int fileFd = -1;
    int folderFd = -1;
    std::uint64_t bytesPerFrame = 0;              // the largest per-frame growth seen
    std::uint64_t writeStep = kAssumedWriteStep;  // the largest growth between two checks
    std::uint64_t lastSize = 0;                   // the file's size when it last grew
    std::uint64_t framesAtLastSize = 0;
};

}  // namespace tarvolen
