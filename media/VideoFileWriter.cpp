#include "media/VideoFileWriter.h"

#include <new>
#include <optional>
#include <system_error>
#include <utility>

#include <opencv2/videoio.hpp>

#include "media/DiskGuard.h"
#include "platform/ProgramGuard.h"

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
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (opened) return false;
        opened = true;
    }
    filePath = path;
    frameSize = size;
    if (queue.closed()) return false;  // finished before it was opened
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
    if (problem.empty()) {
        try {
            thread = std::thread(&VideoFileWriter::writerThread, this);
        } catch (const std::system_error& e) {
            problem = std::string("its writer thread could not be started: ") + e.what();
            releaseWriter();
            guard.reset();
        }
    }
    if (!problem.empty()) {
        stopAccepting(problem);
        return false;
    }
    return true;
}

bool VideoFileWriter::write(const cv::Mat& frame) {
    if (frame.size() != frameSize || frame.type() != CV_8UC3 || !accepting()) return false;
    // Copy only once the queue has room, so that no more frames are held
    // than bufferBytesPerPixel() counts.
    if (!queue.waitForRoom()) return false;
    cv::Mat slot = takeSpare();
    try {
        frame.copyTo(slot);
    } catch (const cv::Exception&) {
        stopAccepting("out of memory for the frame queue");
        return false;
    } catch (const std::bad_alloc&) {
        stopAccepting("out of memory for the frame queue");
        return false;
    }
    return enqueue(std::move(slot), true);
}

bool VideoFileWriter::write(cv::Mat&& frame) {
    if (frame.size() != frameSize || frame.type() != CV_8UC3 || !accepting()) return false;
    return enqueue(std::move(frame), false);
}

cv::Mat VideoFileWriter::takeSpare() {
    std::lock_guard<std::mutex> lock(mutex);
    if (spare.empty()) return cv::Mat();
    cv::Mat slot = std::move(spare.back());
    spare.pop_back();
    return slot;
}

bool VideoFileWriter::enqueue(cv::Mat frame, bool recyclable) {
    return queue.push(Entry{std::move(frame), recyclable});
}

void VideoFileWriter::finish() {
    queue.close();
    if (thread.joinable()) thread.join();
    // The thread has ended (or never ran): the writer is ours again.
    if (writer) releaseWriter();
    guard.reset();
    queue.clear();
    std::lock_guard<std::mutex> lock(mutex);
    spare.clear();
}

bool VideoFileWriter::accepting() const {
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!opened) return false;
    }
    return !queue.closed();
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
    // Nothing may escape this thread: whatever fails ends the file as the
    // disk guard does.
    try {
        while (std::optional<Entry> entry = queue.pop()) {
            const bool goOn = writeOne(entry->frame);
            recycle(std::move(*entry));
            if (!goOn) break;
        }
    } catch (...) {
        giveUp(describeCurrentException());
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

// On the writer thread: no more frames are taken and those queued are
// dropped; the thread then finishes the frames written so far into a
// playable file at once, while there is still room for its index.
void VideoFileWriter::giveUp(const std::string& reason) {
    stopAccepting(reason);
    queue.clear();
}

void VideoFileWriter::stopAccepting(const std::string& reason) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (failureText.empty()) failureText = filePath + ": " + firstLine(reason);
    }
    queue.close();
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
