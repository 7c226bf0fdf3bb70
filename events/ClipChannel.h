// Writing event clips on a worker thread: frames handed over (raw or JPEG)
// are decoded and written there in order, so that the thread that produces
// them never waits for a decoder, an encoder or the disk.
#pragma once

#include <cstddef>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <opencv2/core.hpp>

#include "events/FrameBuffer.h"
#include "platform/BoundedQueue.h"

namespace tarvolen {

// One clip file being written.
class ClipSink {
public:
    virtual ~ClipSink() = default;
    // Creates the file; false when it cannot.
    virtual bool open(const std::string& path, cv::Size frameSize, double fps) = 0;
    // Appends a frame; false once writing has failed.
    virtual bool write(const cv::Mat& frame) = 0;
    // Appends a frame as the buffer held it. A sink that can use the JPEG
    // bytes as they are overrides this; by default they are decoded here.
    virtual bool writeStored(StoredFrame frame);
    // Completes the file so that it plays; false when it could not be.
    virtual bool finish() = 0;
    // One line saying why the last call failed, naming the file.
    virtual std::string failure() const = 0;
};

using ClipSinkFactory = std::function<std::unique_ptr<ClipSink>()>;

class ClipChannel {
public:
    // Waits in write() while more than maxQueuedBytes of frames are queued.
    // Once more than a quarter of that waits, the writer is behind: write()
    // JPEG-compresses the raw frames it is given before queueing them.
    ClipChannel(ClipSinkFactory factory, std::size_t maxQueuedBytes);
    // Finishes whatever was queued.
    ~ClipChannel();
    ClipChannel(const ClipChannel&) = delete;
    ClipChannel& operator=(const ClipChannel&) = delete;

    // Starts a new clip (finishing one still open).
    void open(const std::string& path, cv::Size frameSize, double fps);
    void write(StoredFrame frame);
    // Finishes the current clip.
    void close();
    // Waits until everything handed over is written and finished.
    void drain();

    // The first failure, one line naming the file; empty while all is well.
    // After a failure the channel drops what it is given until the next open().
    // A sink or factory that throws counts as a failure of its clip: the
    // worker goes on with the next command.
    std::string failure() const;
    int clipsFinished() const;
    // Raw frames write() compressed because the writer was behind; for the
    // producer's thread.
    std::size_t framesCompressedWhileBehind() const;
    // The bytes of the frames waiting for the writer now; any thread.
    std::size_t queuedBytes() const { return queue.load(); }

private:
    struct Command {
        enum Kind { Open, Write, Close, Sync } kind;
        std::string path;
        cv::Size size;
        double fps = 0;
        StoredFrame frame;
        std::size_t bytes = 0;
        std::promise<void> done;  // Sync: fulfilled once every earlier command ran
    };

    void enqueue(Command command);
    void run();
    void execute(Command& command);
    void openSink(const Command& command);
    void writeFrame(StoredFrame frame);
    void closeSink();
    void failOnException(const std::string& path);
    void fail(const std::string& why);

    ClipSinkFactory makeSink;
    // Weighted by frame bytes; closed by the destructor.
    BoundedQueue<Command> queue;
    mutable std::mutex mutex;  // guards what follows
    std::string firstFailure;
    int finished = 0;
    // Used by the worker only.
    std::unique_ptr<ClipSink> sink;
    std::string sinkPath;
    bool sinkBroken = false;
    std::size_t compressedWhileBehind = 0;  // the producer's
    std::thread worker;
};

}  // namespace tarvolen
