#include "media/VideoFileWriter.h"

#include <new>
#include <utility>

#include <opencv2/videoio.hpp>

#include "media/DiskGuard.h"

namespace tarvolen {
namespace {

constexpr std::size_t kColourBytesPerPixel = 3;
// The encoder's own copies: a planar YUV frame (1.5 bytes per pixel) and the
// packet it encodes into (bounded by a raw frame), rounded up.
constexpr std::size_t kEncoderBytesPerPixel = 5;

// Why a new file could not (or should not) be made there; empty when nothing
// speaks against it.
std::string folderProblem(const FileSystemState& folder, std::uint64_t reserveBytes) {
    if (!folder.folderPresent) return "its folder does not exist";
    if (folder.readOnly) return "its file system is read-only";
    if (!folder.folderWritable) return "its folder is not writable";
    if (folder.freeBytes < reserveBytes)
        return "the disk is nearly full (" + humanBytes(folder.freeBytes) + " left)";
    return "";
}

std::string firstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

}  // namespace

std::size_t VideoFileWriter::bufferBytesPerPixel() {
    return (kQueueCapacity + 1) * kColourBytesPerPixel + kEncoderBytesPerPixel;
}

VideoFileWriter::VideoFileWriter() = default;

VideoFileWriter::~VideoFileWriter() { finish(); }

bool VideoFileWriter::open(const std::string& path, double fps, cv::Size size) {
    std::lock_guard<std::mutex> lock(mutex);
    if (opened) return false;
    opened = true;
    stopped = true;  // until the writer thread runs
    filePath = path;
    frameSize = size;
    // Even the first frame needs its reserve: a file that would be given up
    // at once is not started.
    const std::uint64_t reserve = DiskGuard::initialReserve(size);
    std::string problem = folderProblem(DiskGuard::probeFolder(folderOf(path)), reserve);
    if (problem.empty()) {
        try {
            writer = std::make_unique<cv::VideoWriter>(path, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), fps,
                                                       size, true);
        } catch (const cv::Exception&) {
            writer.reset();
        }
        guard = std::make_unique<DiskGuard>();
        if (!writer || !writer->isOpened() || !guard->attach(path, size)) {
            problem = "it cannot be written as a Motion-JPEG AVI file";
            writer.reset();
            guard.reset();
        }
    }
    if (!problem.empty()) {
        failureText = path + ": " + problem;
        return false;
    }
    stopped = false;
    thread = std::thread(&VideoFileWriter::writerThread, this);
    return true;
}

bool VideoFileWriter::write(const cv::Mat& frame) {
    if (frame.size() != frameSize || frame.type() != CV_8UC3) return false;
    cv::Mat slot;
    {
        std::unique_lock<std::mutex> lock(mutex);
        if (!waitForRoom(lock)) return false;
        if (!spare.empty()) {
            slot = std::move(spare.back());
            spare.pop_back();
        }
    }
    try {
        frame.copyTo(slot);
    } catch (const cv::Exception&) {
        giveUpFromProducer("out of memory for the frame queue");
        return false;
    } catch (const std::bad_alloc&) {
        giveUpFromProducer("out of memory for the frame queue");
        return false;
    }
    return enqueue(std::move(slot), true);
}

bool VideoFileWriter::write(cv::Mat&& frame) {
    if (frame.size() != frameSize || frame.type() != CV_8UC3) return false;
    {
        std::unique_lock<std::mutex> lock(mutex);
        if (!waitForRoom(lock)) return false;
    }
    return enqueue(std::move(frame), false);
}

bool VideoFileWriter::waitForRoom(std::unique_lock<std::mutex>& lock) {
    changed.wait(lock, [this] { return stopped || queue.size() < kQueueCapacity; });
    return !stopped;
}

bool VideoFileWriter::enqueue(cv::Mat frame, bool recyclable) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        // Only this (the producer's) thread adds, so the room found before is still there.
        if (stopped) return false;
        queue.push_back(Entry{std::move(frame), recyclable});
    }
    changed.notify_all();
    return true;
}

void VideoFileWriter::finish() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        closing = true;
        stopped = true;
    }
    changed.notify_all();
    if (thread.joinable()) thread.join();
    // The thread has ended (or never ran): the writer is ours again.
    if (writer) releaseWriter();
    guard.reset();
    std::lock_guard<std::mutex> lock(mutex);
    queue.clear();
    spare.clear();
}

bool VideoFileWriter::accepting() const {
    std::lock_guard<std::mutex> lock(mutex);
    return opened && !stopped;
}

bool VideoFileWriter::failed() const {
    std::lock_guard<std::mutex> lock(mutex);
    return !failureText.empty();
}

std::string VideoFileWriter::failure() const {
    std::lock_guard<std::mutex> lock(mutex);
    return failureText;
}

void VideoFileWriter::writerThread() {
    for (;;) {
        Entry entry;
        {
            std::unique_lock<std::mutex> lock(mutex);
            changed.wait(lock, [this] { return !queue.empty() || closing; });
            if (queue.empty()) break;
            entry = std::move(queue.front());
            queue.pop_front();
        }
        changed.notify_all();  // room for the producer
        const bool goOn = writeOne(entry.frame);
        recycle(std::move(entry));
        if (!goOn) break;
    }
    releaseWriter();
}

bool VideoFileWriter::writeOne(const cv::Mat& frame) {
    if (const std::optional<std::string> reason = guard->check(written.load())) {
        giveUp(*reason);
        return false;
    }
    try {
        writer->write(frame);
    } catch (const std::exception& e) {
        giveUp("the encoder failed: " + firstLine(e.what()));
        return false;
    }
    written.fetch_add(1);
    return true;
}

// On the writer thread: the frames written so far are finished into a
// playable file at once, while there is still room for its index.
void VideoFileWriter::giveUp(const std::string& reason) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopped = true;
        if (failureText.empty()) failureText = filePath + ": " + reason;
        queue.clear();
    }
    changed.notify_all();
    releaseWriter();
}

void VideoFileWriter::giveUpFromProducer(const std::string& reason) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopped = true;
        if (failureText.empty()) failureText = filePath + ": " + reason;
    }
    changed.notify_all();
}

void VideoFileWriter::releaseWriter() {
    if (!writer) return;
    try {
        writer->release();
    } catch (const std::exception& e) {
        std::lock_guard<std::mutex> lock(mutex);
        if (failureText.empty())
            failureText = filePath + ": finishing the file failed: " + firstLine(e.what());
    }
    writer.reset();
}

void VideoFileWriter::recycle(Entry entry) {
    if (!entry.recyclable) return;
    std::lock_guard<std::mutex> lock(mutex);
    spare.push_back(std::move(entry.frame));
}

}  // namespace tarvolen
