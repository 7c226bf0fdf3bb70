#include "events/FrameBuffer.h"

#include <algorithm>
#include <utility>

#include <opencv2/imgcodecs.hpp>

namespace tarvolen {
namespace {

std::size_t rawSize(const cv::Mat& m) { return m.total() * m.elemSize(); }

constexpr int kMinQuality = 30;

FrameBufferLimits withEncoder(FrameBufferLimits limits) {
    if (!limits.encode) limits.encode = encodeJpeg;
    return limits;
}

}  // namespace

cv::Mat StoredFrame::image() const {
    if (!raw.empty() || jpeg.empty()) return raw;
    return cv::imdecode(jpeg, cv::IMREAD_UNCHANGED);
}

bool encodeJpeg(const cv::Mat& picture, const std::vector<int>& params, std::vector<unsigned char>& jpeg) {
    return cv::imencode(".jpg", picture, jpeg, params);
}

FrameBuffer::FrameBuffer(FrameBufferLimits l)
    : limits(withEncoder(std::move(l))), encoder(&FrameBuffer::encodeLoop, this) {}

FrameBuffer::~FrameBuffer() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    work.notify_all();
    room.notify_all();
    encoder.join();
}

void FrameBuffer::push(std::int64_t index, cv::Mat frame) {
    const std::size_t size = rawSize(frame);
    std::unique_lock<std::mutex> lock(mutex);
    // Compressing what is held makes room as long as raw frames are left.
    waitingToPush = size;
    work.notify_one();
    room.wait(lock,
              [&] { return stopping || rawHeld + jpegHeld + size <= limits.totalBytes || !canMakeRoom(); });
    waitingToPush = 0;
    slots.push_back(Slot{nextSerial++, index, std::move(frame), {}, false, false});
    account(static_cast<std::ptrdiff_t>(size), 0);
    lock.unlock();
    work.notify_one();
}

StoredFrame FrameBuffer::pop() {
    StoredFrame out;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (slots.empty()) return out;
        Slot& front = slots.front();
        out.index = front.index;
        // A frame being compressed is still held raw: take that, and the
        // encoder drops its result.
        account(-static_cast<std::ptrdiff_t>(rawSize(front.raw)),
                -static_cast<std::ptrdiff_t>(front.jpeg.size()));
        out.raw = std::move(front.raw);
        out.jpeg = std::move(front.jpeg);
        slots.pop_front();
    }
    room.notify_all();
    return out;
}

void FrameBuffer::clear() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        slots.clear();
        rawHeld = 0;
        jpegHeld = 0;
    }
    room.notify_all();
}

std::size_t FrameBuffer::size() const {
    std::lock_guard<std::mutex> lock(mutex);
    return slots.size();
}

std::size_t FrameBuffer::bytes() const {
    std::lock_guard<std::mutex> lock(mutex);
    return rawHeld + jpegHeld;
}

std::size_t FrameBuffer::peakBytes() const {
    std::lock_guard<std::mutex> lock(mutex);
    return peak;
}

std::size_t FrameBuffer::framesCompressed() const {
    std::lock_guard<std::mutex> lock(mutex);
    return compressed;
}

void FrameBuffer::account(std::ptrdiff_t rawDelta, std::ptrdiff_t jpegDelta) {
    rawHeld = static_cast<std::size_t>(static_cast<std::ptrdiff_t>(rawHeld) + rawDelta);
    jpegHeld = static_cast<std::size_t>(static_cast<std::ptrdiff_t>(jpegHeld) + jpegDelta);
    peak = std::max(peak, rawHeld + jpegHeld);
}

FrameBuffer::Slot* FrameBuffer::nextToEncode() {
    const bool overBudget = rawHeld > limits.rawBytes;
    const bool pushWaits = waitingToPush > 0 && rawHeld + jpegHeld + waitingToPush > limits.totalBytes;
    if (!overBudget && !pushWaits) return nullptr;
    // Raw bytes already being compressed will be freed anyway.
    std::size_t inFlight = 0;
    for (Slot& s : slots) {
        if (s.encoding) inFlight += rawSize(s.raw);
    }
    if (!pushWaits && rawHeld - inFlight <= limits.rawBytes) return nullptr;
    for (Slot& s : slots) {
        if (!s.raw.empty() && !s.encoding && !s.keepRaw) return &s;
    }
    return nullptr;
}

bool FrameBuffer::canMakeRoom() const {
    return std::any_of(slots.begin(), slots.end(),
                       [](const Slot& s) { return !s.raw.empty() && !s.keepRaw; });
}

int FrameBuffer::qualityNow() const {
    // Frames are compressed harder as the buffer fills, so that its limit
    // holds for busy or noisy pictures too.
    const double fill =
        static_cast<double>(jpegHeld) / static_cast<double>(std::max<std::size_t>(1, limits.totalBytes));
    int quality = limits.jpegQuality;
    if (fill > 0.5) quality -= 15;
    if (fill > 0.75) quality -= 20;
    return std::max(std::min(kMinQuality, limits.jpegQuality), quality);
}

void FrameBuffer::encodeLoop() {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        Slot* slot = nullptr;
        work.wait(lock, [&] { return stopping || (slot = nextToEncode()) != nullptr; });
        if (stopping) return;
        slot->encoding = true;
        const std::uint64_t serial = slot->serial;
        const cv::Mat picture = slot->raw;  // shared, read only
        const int quality = qualityNow();
        lock.unlock();
        std::vector<unsigned char> encoded;
        bool ok = false;
        try {
            const std::vector<int> params{cv::IMWRITE_JPEG_QUALITY, quality};
            ok = limits.encode(picture, params, encoded);
        } catch (...) {
            // An image the codec cannot take, or no memory for its output:
            // the frame stays raw, and nothing may end this thread.
            ok = false;
            std::vector<unsigned char>().swap(encoded);
        }
        lock.lock();
        // The slot may have been taken out meanwhile.
        auto it =
            std::find_if(slots.begin(), slots.end(), [serial](const Slot& s) { return s.serial == serial; });
        if (it == slots.end()) continue;
        it->encoding = false;
        if (!ok || encoded.empty()) {
            it->keepRaw = true;
            room.notify_all();
            continue;
        }
        account(-static_cast<std::ptrdiff_t>(rawSize(it->raw)), static_cast<std::ptrdiff_t>(encoded.size()));
        it->raw.release();
        it->jpeg = std::move(encoded);
        ++compressed;
        room.notify_all();
    }
}

}  // namespace tarvolen
