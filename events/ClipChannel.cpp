#include "events/ClipChannel.h"

#include <utility>

#include "platform/ProgramGuard.h"

namespace tarvolen {
namespace {

std::size_t frameBytes(const StoredFrame& f) { return f.raw.total() * f.raw.elemSize() + f.jpeg.size(); }

std::string firstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

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
