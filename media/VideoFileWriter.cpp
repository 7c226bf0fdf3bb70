#include "media/VideoFileWriter.h"

#include <new>
#include <optional>
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

}  // namespace

std::size_t VideoFileWriter::bufferBytesPerPixel() {
    return (kQueueCapacity + 1) * kColourBytesPerPixel + kEncoderBytesPerPixel;
}

VideoFileWriter::VideoFileWriter() = default;

VideoFileWriter::~VideoFileWriter() { finish(); }

bool VideoFileWriter::open(const std::string& path, double fps, cv::Size size) {
    if (!work.claim(path)) return false;
    frameSize = size;
    std::string problem = startProblem(path, size).value_or("");
    if (problem.empty()) {
        try {
            writer = std::make_unique<cv::VideoWriter>(path, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), fps,
                                                       size, true);
        } catch (const cv::Exception&) {
            writer.reset();
        }
        guard = std::make_unique<DiskGuard>();
        if (!writer || !writer->isOpened() || !guard->attach(path, size))
            problem = "it cannot be written as a Motion-JPEG AVI file";
    }
    if (problem.empty())
        problem = work.start([this](Entry& entry) { return writeOne(entry); }, [this] { releaseWriter(); });
    if (!problem.empty()) {
        work.stopAccepting(problem);
        releaseWriter();
        guard.reset();
        return false;
    }
    return true;
}

bool VideoFileWriter::write(const cv::Mat& frame) {
    if (frame.size() != frameSize || frame.type() != CV_8UC3 || !accepting()) return false;
    // Copy only once the queue has room, so that no more frames are held
    // than bufferBytesPerPixel() counts.
    if (!work.waitForRoom()) return false;
    cv::Mat slot = takeSpare();
    try {
        frame.copyTo(slot);
    } catch (const cv::Exception&) {
        work.stopAccepting("out of memory for the frame queue");
        return false;
    } catch (const std::bad_alloc&) {
        work.stopAccepting("out of memory for the frame queue");
        return false;
    }
    return work.push(Entry{std::move(slot), true});
}

bool VideoFileWriter::write(cv::Mat&& frame) {
    if (frame.size() != frameSize || frame.type() != CV_8UC3 || !accepting()) return false;
    return work.push(Entry{std::move(frame), false});
}

cv::Mat VideoFileWriter::takeSpare() {
    std::lock_guard<std::mutex> lock(spareMutex);
    if (spare.empty()) return cv::Mat();
    cv::Mat slot = std::move(spare.back());
    spare.pop_back();
    return slot;
}

void VideoFileWriter::finish() {
    work.finish();
    // The thread has ended (or never ran): the writer is ours again.
    releaseWriter();
    guard.reset();
    std::lock_guard<std::mutex> lock(spareMutex);
    spare.clear();
}

bool VideoFileWriter::writeOne(Entry& entry) {
    const bool goOn = writeFrame(entry.frame);
    recycle(std::move(entry));
    return goOn;
}

bool VideoFileWriter::writeFrame(const cv::Mat& frame) {
    if (const std::optional<std::string> reason = guard->check(written.load())) {
        work.giveUp(*reason);
        return false;
    }
    try {
        writer->write(frame);
    } catch (const std::exception& e) {
        work.giveUp(std::string("the encoder failed: ") + e.what());
        return false;
    }
    written.fetch_add(1);
    return true;
}

void VideoFileWriter::releaseWriter() {
    if (!writer) return;
    try {
        writer->release();
    } catch (const std::exception& e) {
        work.noteFailure(std::string("finishing the file failed: ") + e.what());
    }
    writer.reset();
}

void VideoFileWriter::recycle(Entry entry) {
    if (!entry.recyclable) return;
    std::lock_guard<std::mutex> lock(spareMutex);
    spare.push_back(std::move(entry.frame));
}

}  // namespace tarvolen
