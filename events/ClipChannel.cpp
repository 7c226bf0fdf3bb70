#include "events/ClipChannel.h"

namespace tarvolen {
namespace {

std::size_t frameBytes(const StoredFrame& f) { return f.raw.total() * f.raw.elemSize() + f.jpeg.size(); }

}  // namespace

ClipChannel::ClipChannel(ClipSinkFactory factory, std::size_t maxQueuedBytes)
    : makeSink(std::move(factory)), maxQueued(maxQueuedBytes), worker(&ClipChannel::run, this) {}

ClipChannel::~ClipChannel() {
    close();
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    work.notify_all();
    worker.join();
}

void ClipChannel::open(const std::string& path, cv::Size frameSize, double fps) {
    Command c{Command::Open, path, frameSize, fps, {}, 0};
    enqueue(std::move(c));
}

void ClipChannel::write(StoredFrame frame) {
    Command c{Command::Write, {}, {}, 0, std::move(frame), 0};
    c.bytes = frameBytes(c.frame);
    enqueue(std::move(c));
}

void ClipChannel::close() { enqueue(Command{Command::Close, {}, {}, 0, {}, 0}); }

void ClipChannel::enqueue(Command command) {
    std::unique_lock<std::mutex> lock(mutex);
    // An empty queue always takes a frame, however large.
    space.wait(lock, [&] { return queue.empty() || queuedBytes + command.bytes <= maxQueued; });
    queuedBytes += command.bytes;
    queue.push_back(std::move(command));
    lock.unlock();
    work.notify_one();
}

void ClipChannel::drain() {
    std::unique_lock<std::mutex> lock(mutex);
    space.wait(lock, [&] { return queue.empty() && !busy; });
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

void ClipChannel::run() {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        work.wait(lock, [&] { return stopping || !queue.empty(); });
        if (queue.empty()) return;  // stopping, and all done
        Command command = std::move(queue.front());
        queue.pop_front();
        busy = true;
        lock.unlock();
        execute(command);
        lock.lock();
        queuedBytes -= command.bytes;
        busy = false;
        space.notify_all();
    }
}

void ClipChannel::execute(Command& command) {
    switch (command.kind) {
        case Command::Open:
            if (sink) {
                Command closeFirst{Command::Close, {}, {}, 0, {}, 0};
                execute(closeFirst);
            }
            sink = makeSink();
            sinkBroken = !sink->open(command.path, command.size, command.fps);
            if (sinkBroken) fail(sink->failure());
            break;
        case Command::Write: {
            if (!sink || sinkBroken) break;
            const cv::Mat picture = command.frame.image();
            if (picture.empty()) {
                sinkBroken = true;
                fail("frame " + std::to_string(command.frame.index) + " could not be restored for the clip");
            } else if (!sink->write(picture)) {
                sinkBroken = true;
                fail(sink->failure());
            }
            break;
        }
        case Command::Close:
            if (!sink) break;
            if (!sink->finish() && !sinkBroken) fail(sink->failure());
            sink.reset();
            {
                std::lock_guard<std::mutex> lock(mutex);
                ++finished;
            }
            break;
    }
}

}  // namespace tarvolen
