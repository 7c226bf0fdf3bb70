#include "scan/FrameDecoder.h"

#include <cmath>

namespace tarvolen {

bool openVideoFile(const std::string& path, cv::VideoCapture& capture) {
    try {
        if (capture.open(path, cv::CAP_FFMPEG) && capture.isOpened()) return true;
        return capture.open(path, cv::CAP_ANY) && capture.isOpened();
    } catch (const cv::Exception&) {
        return false;
    }
}

FrameDecoder::FrameDecoder(cv::VideoCapture c, std::function<bool()> stop)
    : capture(std::move(c)), stopRequested(std::move(stop)), thread(&FrameDecoder::run, this) {}

FrameDecoder::~FrameDecoder() { stop(); }

void FrameDecoder::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    changed.notify_all();
    if (thread.joinable()) thread.join();
}

bool FrameDecoder::next(DecodedFrame& frame) {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, [this] { return !queue.empty() || ended; });
    if (queue.empty()) return false;
    frame = std::move(queue.front());
    queue.pop_front();
    lock.unlock();
    changed.notify_all();
    return true;
}

void FrameDecoder::recycle(cv::Mat&& picture) {
    // Only an image no one else refers to may be written into again.
    if (picture.empty() || !picture.u || picture.u->refcount != 1) return;
    std::lock_guard<std::mutex> lock(mutex);
    if (spare.size() < kQueueFrames) spare.push_back(std::move(picture));
}

void FrameDecoder::run() {
    for (;;) {
        DecodedFrame frame;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (!spare.empty()) {
                frame.picture = std::move(spare.back());
                spare.pop_back();
            }
        }
        bool ok = false;
        try {
            ok = !stopRequested() && capture.read(frame.picture) && !frame.picture.empty();
        } catch (const cv::Exception&) {
            ok = false;  // a decoder error ends the file like its end
        }
        if (ok) {
            const double position = capture.get(cv::CAP_PROP_POS_MSEC);
            frame.positionMs = std::isfinite(position) ? position : -1.0;
            decoded.fetch_add(1);
        }
        std::unique_lock<std::mutex> lock(mutex);
        if (!ok || stopping) break;
        changed.wait(lock, [this] { return queue.size() < kQueueFrames || stopping; });
        if (stopping) break;
        queue.push_back(std::move(frame));
        lock.unlock();
        changed.notify_all();
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        ended = true;
    }
    changed.notify_all();
    capture.release();
}

}  // namespace tarvolen
