// Writing Motion-JPEG AVI files on a thread of their own, guarded against a
// full disk.
//
//   tarvolen::VideoFileWriter writer;
//   if (!writer.open("out.avi", 30.0, cv::Size(640, 480))) report(writer.failure());
//   for (each 640 x 480 CV_8UC3 frame)
//       if (!writer.write(frame)) { report(writer.failure()); break; }
//   writer.finish();  // every queued frame written, index written, file playable
//
// write() hands a frame to a small bounded queue and returns at once; a
// dedicated thread encodes and writes the queued frames, every one, in order.
// When the queue is full write() waits for room, so no frame is dropped while
// the writer works.
//
// The disk guard: OpenCV's writer reports no write error, so before each
// frame the writer thread looks at the file itself. When its file system has
// less room left than a reserve (the index, a few frames of the size seen so
// far, two steps of the muxer's buffered output and a margin), when the file
// or its folder was deleted, when the folder is no longer writable or the
// file system became read-only, the writer finishes the file at once (the
// frames written so far stay playable and counted in its index), drops the
// frames still queued, stops accepting frames, and failure() gives one line
// naming the file and the reason.
//
// Threads: open(), write() and finish() are called from one thread (the
// producer); accepting(), failed(), failure(), framesWritten() and path() may
// be called from any thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "media/QueuedWriter.h"

namespace cv {
class VideoWriter;
}

namespace tarvolen {

class DiskGuard;

class VideoFileWriter {
public:
    // Frames that may wait for the writer thread before write() blocks.
    static constexpr std::size_t kQueueCapacity = 3;

    // The most memory one writer holds, in bytes per pixel of its frame size:
    // the queued frames, the one being encoded and the encoder's own buffers.
    static std::size_t bufferBytesPerPixel();

    VideoFileWriter();
    // Finishes the file.
    ~VideoFileWriter();
    VideoFileWriter(const VideoFileWriter&) = delete;
    VideoFileWriter& operator=(const VideoFileWriter&) = delete;

    // Creates (or replaces) the AVI file at `path` for colour frames of
    // `frameSize` at `fps` frames per second and starts the writer thread.
    // False when the file cannot be written (failure() says why) or when this
    // writer was opened before: one writer, one file.
    bool open(const std::string& path, double fps, cv::Size frameSize);

    // Queues a copy of `frame` (CV_8UC3 of the open size), waiting while the
    // queue is full. False, queueing nothing, when the frame does not match or
    // the writer is not accepting frames (never opened, finished or failed).
    bool write(const cv::Mat& frame);
    // The same, taking the frame's buffer instead of copying it: the caller
    // must not write into that buffer any more.
    bool write(cv::Mat&& frame);

    // Waits until every queued frame is written and finishes the file.
    // Idempotent; after it the writer accepts no more frames.
    void finish();

    // Open, not finished and not failed.
    bool accepting() const { return work.accepting(); }
    // Failed to open, or gave up while writing.
    bool failed() const { return work.failed(); }
    // One line naming the file and why it was not (or no longer) written;
    // empty while nothing failed.
    std::string failure() const { return work.failure(); }
    // Frames handed to the encoder and written to the file so far.
    std::uint64_t framesWritten() const { return written.load(); }
    const std::string& path() const { return work.path(); }

private:
    struct Entry {
        cv::Mat frame;
        bool recyclable;  // our own copy, may be reused for a later frame
    };

    cv::Mat takeSpare();
    bool writeOne(Entry& entry);
    bool writeFrame(const cv::Mat& frame);
    void releaseWriter();
    void recycle(Entry entry);

    cv::Size frameSize;
    std::unique_ptr<cv::VideoWriter> writer;  // used by the writer thread once it runs
    std::unique_ptr<DiskGuard> guard;
    std::atomic<std::uint64_t> written{0};
    std::mutex spareMutex;
    std::vector<cv::Mat> spare;  // buffers of written frames, reused by write()
    QueuedWriter<Entry> work{kQueueCapacity};
};

}  // namespace tarvolen
