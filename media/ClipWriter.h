// Writing event and scan clips through FFmpeg's own libraries, on a thread
// of their own, guarded against a full disk.
//
//   tarvolen::ClipWriter writer(tarvolen::ClipFormat::Mp4);
//   if (!writer.open("clip.mp4", 30.0, cv::Size(640, 480))) report(writer.failure());
//   for (each frame) if (!writer.write(frame)) { report(writer.failure()); break; }
//   writer.finish();  // every queued frame written, the file playable
//
// Two formats:
//  - Avi: Motion-JPEG. A frame already JPEG-compressed (writeJpeg()) goes into
//    the file byte for byte; a raw frame is compressed once, with
//    libjpeg-turbo through OpenCV. No frame is decoded and encoded again.
//  - Mp4: H.264 (libx264), yuv420p, written in fragments (media/Muxer) so
//    that a clip cut off by a crash still plays. JPEG frames are decoded first.
//
// It keeps the guarantees of media/VideoFileWriter: every frame in order,
// the disk guard checked before each frame (and FFmpeg's own write errors),
// a file finished at once and playable when writing has to stop, and one
// line naming the file and the reason on any failure.
//
// Threads: open(), write(), writeJpeg() and finish() are called from one
// thread (the producer); accepting(), failed(), failure(), framesWritten()
// and path() from any.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "media/QueuedWriter.h"

namespace tarvolen {

enum class ClipFormat { Avi, Mp4 };

// "avi" or "mp4"; nothing for any other name.
std::optional<ClipFormat> clipFormatNamed(const std::string& name);
// The format a file name asks for by its extension (".avi", ".mp4", any
// case); nothing for another one.
std::optional<ClipFormat> clipFormatOfPath(const std::string& path);
// ".avi" or ".mp4".
const char* clipExtension(ClipFormat format);

// How H.264 clips are encoded. The defaults were chosen by measuring size and
// encoding time on the sample clip at 768x576 and 1920x1080 (bench/RESULTS.md).
struct H264Settings {
    std::string encoder = "libx264";
    std::string preset = "veryfast";
    int crf = 23;
    int threads = 2;
};

class ClipWriter {
public:
    // Frames that may wait for the writer thread before a write waits.
    static constexpr std::size_t kQueueCapacity = 3;
    // The quality raw frames are JPEG-compressed at for Motion-JPEG clips.
    static constexpr int kJpegQuality = 90;

    explicit ClipWriter(ClipFormat format, H264Settings h264 = H264Settings());
    // Finishes the file.
    ~ClipWriter();
    ClipWriter(const ClipWriter&) = delete;
    ClipWriter& operator=(const ClipWriter&) = delete;

    // Creates (or replaces) the file at `path` for colour frames of
    // `frameSize` at `fps` and starts the writer thread. False when the file
    // cannot be written or the encoder cannot be opened (failure() says
    // why), or when this writer was opened before: one writer, one file.
    bool open(const std::string& path, double fps, cv::Size frameSize);

    // Queues a frame (CV_8UC3 of the open size), waiting while the queue is
    // full. The writer keeps a reference to its pixels: the caller must not
    // write into them afterwards. False, queueing nothing, when the frame
    // does not match or the writer is not accepting frames.
    bool write(cv::Mat frame);
    // Queues a frame already JPEG-compressed (of the open size). False when
    // empty or not accepting frames.
    bool writeJpeg(std::vector<unsigned char> jpeg);

    // Waits until every queued frame is written and finishes the file.
    // Idempotent; after it the writer accepts no more frames.
    void finish();

    bool accepting() const { return work.accepting(); }
    bool failed() const { return work.failed(); }
    // One line naming the file and why it was not (or no longer) written;
    // empty while nothing failed.
    std::string failure() const { return work.failure(); }
    std::uint64_t framesWritten() const { return written.load(); }
    // JPEG frames that went into the file as they came.
    std::uint64_t framesPassedThrough() const { return passedThrough.load(); }
    const std::string& path() const { return work.path(); }
    ClipFormat format() const { return clipFormat; }

private:
    struct Entry {
        cv::Mat raw;
        std::vector<unsigned char> jpeg;
    };
    struct Output;

    bool writeOne(Entry& entry);
    void closeMuxer();

    const ClipFormat clipFormat;
    const H264Settings h264;
    cv::Size frameSize;
    std::unique_ptr<Output> muxer;  // used by the writer thread once it runs
    std::atomic<std::uint64_t> written{0};
    std::atomic<std::uint64_t> passedThrough{0};
    QueuedWriter<Entry> work{kQueueCapacity};
};

}  // namespace tarvolen
