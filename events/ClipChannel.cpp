#include "events/ClipChannel.h"

#include <utility>

#include <opencv2/imgcodecs.hpp>

#include "platform/ProgramGuard.h"

namespace tarvolen {
namespace {

std::size_t frameBytes(const StoredFrame& f) { return f.raw.total() * f.raw.elemSize() + f.jpeg.size(); }

std::string firstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

// Past this share of the budget the writer has fallen behind: frames then
// wait JPEG-compressed, so that the budget holds seconds of them rather than
// a few raw ones (at 1920 x 1080, 256 MiB is 43 raw frames, some 900 JPEG).
constexpr std::size_t kRawShareOfBudget = 4;  // a quarter
constexpr int kWaitingJpegQuality = 90;

// The frame's JPEG in place of its pixels; false, leaving it raw, when that
// fails.
bool compressWaiting(StoredFrame& frame) {
    std::vector<unsigned char> jpeg;
    try {
        if (!encodeJpeg(frame.raw, {cv::IMWRITE_JPEG_QUALITY, kWaitingJpegQuality}, jpeg) || jpeg.empty())
            return false;
    } catch (...) {
        return false;  // raw it is
    }
    frame.jpeg = std::move(jpeg);
    frame.raw.release();
    return true;
}

}  // namespace

bool ClipSink::writeStored(StoredFrame frame) {
    const cv::Mat picture = frame.image();
    return !picture.empty() && write(picture);
}

ClipChannel::ClipChannel(ClipSinkFactory factory, std::size_t maxQueuedBytes)
    : makeSink(std::move(factory)),
      queue(maxQueuedBytes, [](const Command& c) { return c.bytes; }),
      worker(&ClipChannel::run, this) {}

ClipChannel::~ClipChannel() {
    close();
    queue.close();
    worker.join();
}

void ClipChannel::open(const std::string& path, cv::Size frameSize, double fps) {
    Command c{Command::Open, path, frameSize, fps, {}, 0, {}};
    enqueue(std::move(c));
}

void ClipChannel::write(StoredFrame frame) {
    if (!frame.raw.empty() && queue.load() > queue.capacity() / kRawShareOfBudget && compressWaiting(frame))
        ++compressedWhileBehind;
    Command c{Command::Write, {}, {}, 0, std::move(frame), 0, {}};
    c.bytes = frameBytes(c.frame);
    enqueue(std::move(c));
}

void ClipChannel::close() { enqueue(Command{Command::Close, {}, {}, 0, {}, 0, {}}); }

// An empty queue always takes a frame, however large.
void ClipChannel::enqueue(Command command) { queue.push(std::move(command)); }

void ClipChannel::drain() {
    Command sync{Command::Sync, {}, {}, 0, {}, 0, {}};
    std::future<void> done = sync.done.get_future();
    // Only the destructor closes the queue, so the worker will reach it.
    if (queue.push(std::move(sync))) done.wait();
}

std::string ClipChannel::failure() const {
    std::lock_guard<std::mutex> lock(mutex);
    return firstFailure;
}

std::size_t ClipChannel::framesCompressedWhileBehind() const { return compressedWhileBehind; }

int ClipChannel::clipsFinished() const {
    std::lock_guard<std::mutex> lock(mutex);
    return finished;
}

void ClipChannel::fail(const std::string& why) {
    std::lock_guard<std::mutex> lock(mutex);
    if (firstFailure.empty()) firstFailure = why;
}

// On the worker, inside a catch block: the clip's sink is given up.
void ClipChannel::failOnException(const std::string& path) {
    const std::string what = firstLine(describeCurrentException());
    sinkBroken = true;
    try {
        fail(path.empty() ? what : path + ": " + what);
    } catch (...) {
        // Out of memory for the line itself: the broken sink still drops the clip's frames.
    }
}

// Nothing a sink, its factory or a decoder throws may end the worker: the
// program that feeds it has open recordings of its own.
void ClipChannel::run() {
    while (std::optional<Command> command = queue.pop()) {
        try {
            execute(*command);
        } catch (...) {
            failOnException(sinkPath);
        }
    }
}

void ClipChannel::execute(Command& command) {
    switch (command.kind) {
        case Command::Open:
            closeSink();
            openSink(command);
            break;
        case Command::Write:
            writeFrame(std::move(command.frame));
            break;
        case Command::Close:
            closeSink();
            break;
        case Command::Sync:
            command.done.set_value();
            break;
    }
}

void ClipChannel::openSink(const Command& command) {
    sinkPath = command.path;
    sinkBroken = false;
    try {
        sink = makeSink();
        if (!sink) {
            sinkBroken = true;
            fail(sinkPath + ": no clip writer could be made");
        } else if (!sink->open(command.path, command.size, command.fps)) {
            sinkBroken = true;
            fail(sink->failure());
        }
    } catch (...) {
        failOnException(sinkPath);
    }
}

// The frame goes to the sink as it was held: JPEG bytes are decoded only by
// a sink that cannot take them as they are.
void ClipChannel::writeFrame(StoredFrame frame) {
    if (!sink || sinkBroken) return;
    try {
        const std::string unrestored = "frame " + std::to_string(frame.index) + " could not be restored for the clip";
        if (frame.empty() || !sink->writeStored(std::move(frame))) {
            sinkBroken = true;
            const std::string why = sink->failure();
            fail(why.empty() ? unrestored : why);
        }
    } catch (...) {
        failOnException(sinkPath);
    }
}

// A clip whose writing failed is still finished: the frames written before
// the failure stay playable.
void ClipChannel::closeSink() {
    if (!sink) return;
    try {
        if (!sink->finish() && !sinkBroken) fail(sink->failure());
    } catch (...) {
        failOnException(sinkPath);
    }
    sink.reset();
    std::lock_guard<std::mutex> lock(mutex);
    ++finished;
}

}  // namespace tarvolen
