// A bounded buffer of video frames, oldest first, for the frames that wait
// to learn whether they belong to an event. The newest frames are held as
// they are, up to a byte budget; older ones are JPEG-compressed by a worker
// thread, so pushing never waits for an encoder unless the whole buffer is
// over its limit.
//
// This is not a hand-over queue: compressing a frame shrinks it in place, in
// the middle of the buffer, and that is what makes room for push(); pop()
// takes the oldest frame even while the encoder works on it. So the buffer
// keeps its own slots and conditions rather than a BoundedQueue, whose room
// appears only when an item leaves.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include <opencv2/core.hpp>

namespace tarvolen {

// A frame taken out of the buffer: its pixels, or their JPEG encoding.
struct StoredFrame {
    std::int64_t index = -1;
    cv::Mat raw;
    std::vector<unsigned char> jpeg;

    bool empty() const { return raw.empty() && jpeg.empty(); }
    // The picture; decodes the JPEG on the calling thread.
    cv::Mat image() const;
};

// Compresses `picture` into `jpeg` with the given imwrite parameters; false
// (or a throw of any kind) leaves the frame raw.
using JpegEncoder = std::function<bool(const cv::Mat& picture, const std::vector<int>& params,
                                       std::vector<unsigned char>& jpeg)>;
// OpenCV's JPEG codec.
bool encodeJpeg(const cv::Mat& picture, const std::vector<int>& params, std::vector<unsigned char>& jpeg);

struct FrameBufferLimits {
    std::size_t rawBytes = 0;              // newest frames held uncompressed up to this much
    std::size_t totalBytes = 64ull << 20;  // everything held; push() waits above it while it can
    int jpegQuality = 90;                  // 0..100, lowered as the buffer fills up
    JpegEncoder encode = encodeJpeg;       // called on the encoder thread
};

class FrameBuffer {
public:
    explicit FrameBuffer(FrameBufferLimits limits);
    ~FrameBuffer();
    FrameBuffer(const FrameBuffer&) = delete;
    FrameBuffer& operator=(const FrameBuffer&) = delete;

    // Appends a frame. The buffer keeps a reference to its pixels: the caller
    // must not write into them afterwards (pass a clone of a reused image).
    // Waits only while the buffer is over totalBytes and compressing the
    // frames it holds can still make room.
    void push(std::int64_t index, cv::Mat frame);
    // Takes out the oldest frame; an empty StoredFrame when there is none.
    StoredFrame pop();
    void clear();

    std::size_t size() const;
    std::size_t bytes() const;
    std::size_t peakBytes() const;
    std::size_t framesCompressed() const;

private:
    struct Slot {
        std::uint64_t serial;  // unique, increasing
        std::int64_t index;
        cv::Mat raw;
        std::vector<unsigned char> jpeg;
        bool encoding = false;
        bool keepRaw = false;  // could not be compressed
    };

    void encodeLoop();
    // The oldest slot the encoder should compress now, or null. Lock held.
    Slot* nextToEncode();
    bool canMakeRoom() const;                                         // lock held
    int qualityNow() const;                                           // lock held
    void account(std::ptrdiff_t rawDelta, std::ptrdiff_t jpegDelta);  // lock held

    const FrameBufferLimits limits;
    mutable std::mutex mutex;
    std::condition_variable work;  // the encoder waits here
    std::condition_variable room;  // push() waits here
    std::deque<Slot> slots;
    std::size_t rawHeld = 0;
    std::size_t jpegHeld = 0;
    std::size_t peak = 0;
    std::size_t compressed = 0;
    std::uint64_t nextSerial = 0;
    std::size_t waitingToPush = 0;  // bytes of a frame push() waits to add
    bool stopping = false;
    std::thread encoder;
};

}  // namespace tarvolen
