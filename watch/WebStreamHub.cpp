#include "watch/WebStreamHub.h"

#include <algorithm>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

namespace tarvolen {

namespace {

constexpr int kJpegQuality = 80;
// Widths kept encoded at once; a viewer asking for yet another width
// replaces the one used longest ago.
constexpr std::size_t kCachedWidths = 4;
// A viewer's request keeps frames coming this long: a stream asks for each
// frame, a page for a picture now and then.
constexpr auto kDemandHold = std::chrono::seconds(3);
// A picture asked for alone that is older than this (frames were not being
// published, nobody watched) waits this long for a fresh one.
constexpr auto kStalePicture = std::chrono::milliseconds(500);
constexpr auto kFreshPictureWait = std::chrono::seconds(1);

std::shared_ptr<const std::string> encodeJpeg(const cv::Mat& frame, int width) {
    cv::Mat scaled = frame;
    if (width > 0 && width < frame.cols) {
        const int height = std::max(1, static_cast<int>(static_cast<long>(frame.rows) * width / frame.cols));
        cv::resize(frame, scaled, cv::Size(width, height), 0, 0, cv::INTER_AREA);
    }
    std::vector<uchar> bytes;
    cv::imencode(".jpg", scaled, bytes, {cv::IMWRITE_JPEG_QUALITY, kJpegQuality});
    return std::make_shared<const std::string>(bytes.begin(), bytes.end());
}

}  // namespace

void WebStreamHub::publish(const cv::Mat& next) {
    cv::Mat uncollected;
    {
        std::lock_guard<std::mutex> lock(mutex);
        // The frame replaced is released by a viewer's thread when there is
        // one (freeing a full-HD frame while encoders allocate can take
        // milliseconds); with nobody watching, here, on the next frame.
        uncollected = std::move(retired);
        retired = std::move(frame);
        frame = next;
        publishedAt = Clock::now();
        ++sequence;
    }
    published.notify_all();
}

void WebStreamHub::collectRetired() {
    cv::Mat collected;
    std::lock_guard<std::mutex> lock(mutex);
    collected = std::move(retired);
    retired = cv::Mat();
}

WebStreamHub::Picture WebStreamHub::encoded(int width, std::uint64_t newerThan) {
    std::lock_guard<std::mutex> encodeLock(encodeMutex);
    cv::Mat current;
    std::uint64_t currentSequence = 0;
    {
        std::lock_guard<std::mutex> lock(mutex);
        current = frame;
        currentSequence = sequence;
    }
    if (current.empty()) return {};
    if (width <= 0 || width >= current.cols) width = 0;
    Encoded& slot = slotFor(width);
    if (!slot.jpeg || slot.sequence <= newerThan) {
        slot.jpeg = encodeJpeg(current, width);
        slot.sequence = currentSequence;
        ++encodeCount;
    }
    return {slot.sequence, slot.jpeg};
}

void WebStreamHub::noteDemand() { lastDemand.store(Clock::now().time_since_epoch().count()); }

bool WebStreamHub::wanted(Clock::time_point now) const {
    return now - Clock::time_point(Clock::duration(lastDemand.load())) < kDemandHold;
}

WebStreamHub::Picture WebStreamHub::latest(int width) {
    noteDemand();
    std::uint64_t newest = 0;
    Clock::time_point newestAt;
    {
        std::lock_guard<std::mutex> lock(mutex);
        newest = sequence;
        newestAt = publishedAt;
    }
    // A picture from before anyone asked: the loop publishes a fresh one
    // now that someone does.
    const Clock::time_point now = Clock::now();
    if (newest != 0 && now - newestAt > kStalePicture) {
        const std::uint64_t fresh = waitForFrame(newest, now, now + kFreshPictureWait);
        if (fresh != 0) newest = fresh;
    }
    return encoded(width, newest == 0 ? 0 : newest - 1);
}

WebStreamHub::Encoded& WebStreamHub::slotFor(int width) {
    for (Encoded& slot : cache) {
        if (slot.width == width) return slot;
    }
    if (cache.size() < kCachedWidths) {
        cache.push_back(Encoded{width, 0, nullptr});
        return cache.back();
    }
    Encoded& oldest = *std::min_element(cache.begin(), cache.end(),
                                        [](const Encoded& a, const Encoded& b) { return a.sequence < b.sequence; });
    oldest = Encoded{width, 0, nullptr};
    return oldest;
}

std::uint64_t WebStreamHub::waitForFrame(std::uint64_t after, Clock::time_point notBefore,
                                         Clock::time_point deadline) {
    noteDemand();
    collectRetired();
    std::unique_lock<std::mutex> lock(mutex);
    const Clock::time_point due = std::min(notBefore, deadline);
    published.wait_until(lock, due, [&] { return isStopped; });
    published.wait_until(lock, deadline, [&] { return isStopped || sequence > after; });
    if (isStopped || sequence <= after) return 0;
    return sequence;
}

void WebStreamHub::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        isStopped = true;
    }
    published.notify_all();
}

bool WebStreamHub::stopped() const {
    std::lock_guard<std::mutex> lock(mutex);
    return isStopped;
}

std::uint64_t WebStreamHub::encodes() const {
    std::lock_guard<std::mutex> lock(encodeMutex);
    return encodeCount;
}

}  // namespace tarvolen
