#include "detector/Detector.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

#include "detector/ModelStore.h"
#include "detector/ObjectExtraction.h"
#include "detector/ParallelDriver.h"

namespace tarvolen {
namespace {

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

bool Detector::setParameter(int code, double value) { return params.set(code, value); }

double Detector::getParameter(int code) const { return params.get(code); }

bool Detector::setParameters(const DetectorParameters& values) {
    if (!values.validate()) return false;
    params = values;
    return true;
}

bool Detector::forceKernel(ModelKernel chosen) {
    if (!kernelSupported(chosen)) return false;
    forcedKernel = chosen;
    return true;
}

ModelKernel Detector::kernel() const { return forcedKernel.value_or(bestKernel()); }

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
    window.numFrames = static_cast<std::uint32_t>(params.num_frames);
    window.alpha = params.alpha_coeff;
    window.pixelDeviation = params.pixel_deviation;
    window.numThreads = params.num_threads;
    window.kernel = kernel();
    window.models = pixelModels.get();
    window.sums = earlierFrames ? accumulator.get() : nullptr;
    window.averaged = averagedFrame.ptr<unsigned char>();
    window.eventMask = eventMask.get();
    window.erodedMask = erodedMask.ptr<unsigned char>();
    return finishWindow(window);
}

void Detector::extractObjects(const cv::Rect& setPixels) {
    const ObjectSizeLimits limits{params.min_object_width, params.min_object_height, params.max_object_width,
                                  params.max_object_height};
    findCandidates(erodedMask, setPixels, limits, contours, candidates);
    updateTracks(tracks, candidates);
}

bool Detector::process(const unsigned char* gray, int frameWidthPx, int frameHeightPx,
                       const unsigned char* roiMask) {
    if (gray == nullptr || frameWidthPx < 1 || frameHeightPx < 1) return false;
    prepare(frameWidthPx, frameHeightPx);
    // The first frame of a window overwrites the sums of the last one, so
    // they are never cleared.
    if (++frameCounter < params.num_frames) {
        accumulateFrame(gray, accumulator.get(), pixelCount(), params.num_threads, frameCounter == 1);
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
        if (track.score > params.object_detection_criterion) confirmed.push_back(track);
    }
    return confirmed;
}

}  // namespace tarvolen
