#include "detector/Detector.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>

#include "detector/ModelStore.h"
#include "detector/ObjectExtraction.h"
#include "detector/ParallelDriver.h"

namespace tarvolen {
namespace {

constexpr int kMaxObjectSide = 8192;          // px, bound of codes 1 to 4
constexpr double kMaxPixelDeviation = 255.0;  // gray levels
constexpr double kMaxAlpha = 1.0;
constexpr double kMaxThreads = 32.0;
// The per-pixel sums are 32-bit and each frame adds at most 255, so a longer
// window could wrap them: 255 * 16843009 == 2^32 - 1.
constexpr double kMaxFramesPerWindow = 16843009.0;

// Truncates toward zero when the result fits an int.
bool truncateToInt(double value, int& out) {
    if (!(value > static_cast<double>(std::numeric_limits<int>::min()) - 1.0 &&
          value < static_cast<double>(std::numeric_limits<int>::max()) + 1.0)) {
        return false;
    }
    out = static_cast<int>(value);
    return true;
}

bool setBoxSide(int& field, double value) {
    int v = 0;
    if (!truncateToInt(value, v) || v < 1 || v > kMaxObjectSide) return false;
    field = v;
    return true;
}

bool inRange(double value, double low, double high) { return value >= low && value <= high; }

// nothrow + explicit throw: sanitizer runtimes abort on a failed throwing new
// instead of throwing, which would hide the out-of-memory path.
template <typename T>
std::unique_ptr<T[]> allocateZeroed(std::size_t count) {
    std::unique_ptr<T[]> buffer(new (std::nothrow) T[count]());
    if (!buffer) throw std::bad_alloc();
    return buffer;
}

}  // namespace

Detector::Detector() { tracks.reserve(kMaxTracks + 1); }

Detector::~Detector() = default;

std::size_t Detector::bufferBytesPerPixel() {
    constexpr std::size_t kInitialisedFlags = 1;  // one bit, rounded up to a byte
    constexpr std::size_t kByteImages = 3;        // event mask, averaged frame, eroded mask
    constexpr std::size_t kContourCopy = 1;       // the contour finder copies what it traces
    return ModelStore::kBytesPerPixel + kInitialisedFlags + sizeof(std::uint32_t) + kByteImages +
           kContourCopy;
}

bool Detector::setParameter(int code, double value) {
    switch (code) {
        case kMinObjectWidth:
            return setBoxSide(min_object_width, value);
        case kMinObjectHeight:
            return setBoxSide(min_object_height, value);
        case kMaxObjectWidth:
            return setBoxSide(max_object_width, value);
        case kMaxObjectHeight:
            return setBoxSide(max_object_height, value);
        case kObjectDetectionCriterion: {
            int v = 0;
            if (!truncateToInt(value, v) || v < 1) return false;
            object_detection_criterion = v;
            return true;
        }
        case kPixelDeviation:
            if (!inRange(value, 0.0, kMaxPixelDeviation)) return false;
            pixel_deviation = static_cast<float>(value);
            return true;
        case kAlphaCoeff:
            if (!inRange(value, 0.0, kMaxAlpha)) return false;
            alpha_coeff = static_cast<float>(value);
            return true;
        case kNumThreads:
            if (!inRange(value, 0.0, kMaxThreads)) return false;
            num_threads = static_cast<int>(value);
            return true;
        case kNumFrames:
            if (!inRange(value, 1.0, kMaxFramesPerWindow)) return false;
            num_frames = static_cast<int>(value);
            return true;
        default:
            return false;
    }
}

double Detector::getParameter(int code) const {
    switch (code) {
        case kMinObjectWidth:
            return min_object_width;
        case kMinObjectHeight:
            return min_object_height;
        case kMaxObjectWidth:
            return max_object_width;
        case kMaxObjectHeight:
            return max_object_height;
        case kObjectDetectionCriterion:
            return object_detection_criterion;
        case kPixelDeviation:
            return pixel_deviation;
        case kAlphaCoeff:
            return alpha_coeff;
        case kNumThreads:
            return num_threads;
        case kNumFrames:
            return num_frames;
        default:
            return std::numeric_limits<double>::quiet_NaN();
    }
}

std::size_t Detector::pixelCount() const {
    return static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
}

void Detector::releaseBuffers() {
    pixelModels.reset();
    eventMask.reset();
    accumulator.reset();
    averagedFrame.release();
    erodedMask.release();
    ++maskVersion;
    width = 0;
    height = 0;
    frameCounter = 0;
}

void Detector::resizeBuffers(int newWidth, int newHeight) {
    releaseBuffers();
    const std::size_t count = static_cast<std::size_t>(newWidth) * static_cast<std::size_t>(newHeight);
    const std::size_t perPixel = bufferBytesPerPixel();
    if (count > static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max()) / perPixel) {
        throw std::bad_alloc();
    }
    try {
        // All zero: the empty model.
        pixelModels = std::make_unique<ModelStore>(count);
        eventMask = allocateZeroed<unsigned char>(count);
        accumulator = allocateZeroed<std::uint32_t>(count);
        averagedFrame.create(newHeight, newWidth, CV_8UC1);
        erodedMask.create(newHeight, newWidth, CV_8UC1);
    } catch (const cv::Exception&) {
        releaseBuffers();
        throw std::bad_alloc();
    } catch (...) {
        releaseBuffers();
        throw;
    }
    width = newWidth;
    height = newHeight;
}

void Detector::prepare(int newWidth, int newHeight) {
    if (newWidth < 1 || newHeight < 1 || (newWidth == width && newHeight == height)) return;
    resizeBuffers(newWidth, newHeight);
}

cv::Rect Detector::updateModel(const unsigned char* gray, const unsigned char* roiMask, bool earlierFrames) {
    WindowEnd window{};
    window.gray = gray;
    window.roiMask = roiMask;
    window.width = width;
    window.height = height;
    window.numFrames = static_cast<std::uint32_t>(num_frames);
    window.alpha = alpha_coeff;
    window.pixelDeviation = pixel_deviation;
    window.numThreads = num_threads;
    window.kernel = activeKernel();
    window.models = pixelModels.get();
    window.sums = earlierFrames ? accumulator.get() : nullptr;
    window.averaged = averagedFrame.ptr<unsigned char>();
    window.eventMask = eventMask.get();
    window.erodedMask = erodedMask.ptr<unsigned char>();
    return finishWindow(window);
}

void Detector::extractObjects(const cv::Rect& setPixels) {
    const ObjectSizeLimits limits{min_object_width, min_object_height, max_object_width, max_object_height};
    findCandidates(erodedMask, setPixels, limits, contours, candidates);
    updateTracks(tracks, candidates);
}

bool Detector::process(const unsigned char* gray, int frameWidthPx, int frameHeightPx,
                       const unsigned char* roiMask) {
    if (gray == nullptr || frameWidthPx < 1 || frameHeightPx < 1) return false;
    prepare(frameWidthPx, frameHeightPx);
    // The first frame of a window overwrites the sums of the last one, so
    // they are never cleared.
    if (++frameCounter < num_frames) {
        accumulateFrame(gray, accumulator.get(), pixelCount(), num_threads, frameCounter == 1);
        return true;
    }
    const bool earlierFrames = frameCounter > 1;
    frameCounter = 0;
    ++maskVersion;
    const cv::Rect setPixels = updateModel(gray, roiMask, earlierFrames);
    extractObjects(setPixels);
    return true;
}

bool Detector::copyEventMask(unsigned char* destination) const {
    if (destination == nullptr || (width == 0 && height == 0)) return false;
    std::memcpy(destination, eventMask.get(), pixelCount());
    return true;
}

void Detector::reset() {
    tracks.clear();
    ++maskVersion;
    if (width > 0 && height > 0) {
        const std::size_t n = pixelCount();
        pixelModels->clear();
        std::fill_n(eventMask.get(), n, static_cast<unsigned char>(0));
    }
    frameCounter = 0;  // the sums count from the next frame on
}

std::vector<ObjectTrack> Detector::getConfirmedObjects() const {
    std::vector<ObjectTrack> confirmed;
    for (const ObjectTrack& track : tracks) {
        if (track.score > object_detection_criterion) confirmed.push_back(track);
    }
    return confirmed;
}

}  // namespace tarvolen
