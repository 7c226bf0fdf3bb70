// Event detector: a per-pixel Gaussian-mixture model of a gray video stream,
// an event mask of the pixels the model cannot explain, and scored tracks of
// the compact event regions that persist.
//
// Usage: construct, optionally adjust parameters with setParameter() or
// setParameters(), then feed every gray frame to process(). After each call
// copyEventMask() and getConfirmedObjects() return the result of the latest
// averaging window.
// All calls must come from one thread; process() forks and joins its own
// worker threads internally.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include <opencv2/core.hpp>

#include "detector/DetectorParameters.h"
#include "detector/ModelKernel.h"

namespace tarvolen {

// One weighted Gaussian over the averaged gray level of a pixel.
struct MixtureComponent {
    float weight;
    float mean;
    float variance;  // squared gray levels
    float rankKey;   // weight / variance: components are kept in descending order of it
};

constexpr int kComponentsPerPixel = 5;

// The model of one pixel. All-zero is the valid empty model.
struct PixelModel {
    MixtureComponent components[kComponentsPerPixel];
    std::uint8_t initialised;  // 0 until the first update, then 1
};

class ModelStore;

// A followed object: its latest bounding box and its persistence score.
struct ObjectTrack {
    cv::Rect box;
    int score;
};

class Detector {
public:
    // Parameter codes accepted by setParameter() / getParameter().
    using ParameterCode = DetectorParameters::Code;
    static constexpr ParameterCode kMinObjectWidth = DetectorParameters::kMinObjectWidth;
    static constexpr ParameterCode kMinObjectHeight = DetectorParameters::kMinObjectHeight;
    static constexpr ParameterCode kMaxObjectWidth = DetectorParameters::kMaxObjectWidth;
    static constexpr ParameterCode kMaxObjectHeight = DetectorParameters::kMaxObjectHeight;
    static constexpr ParameterCode kObjectDetectionCriterion = DetectorParameters::kObjectDetectionCriterion;
    static constexpr ParameterCode kPixelDeviation = DetectorParameters::kPixelDeviation;
    static constexpr ParameterCode kAlphaCoeff = DetectorParameters::kAlphaCoeff;
    static constexpr ParameterCode kNumThreads = DetectorParameters::kNumThreads;
    static constexpr ParameterCode kNumFrames = DetectorParameters::kNumFrames;

    Detector();
    ~Detector();
    Detector(const Detector&) = delete;
    Detector& operator=(const Detector&) = delete;

    // Stores an accepted value and returns true; a refused value or an
    // unknown code returns false and changes nothing.
    bool setParameter(int code, double value);
    // The stored value of a parameter; NaN for an unknown code.
    double getParameter(int code) const;
    // Takes all nine values at once and returns true, or returns false and
    // changes nothing when one of them is out of its range.
    bool setParameters(const DetectorParameters& values);
    const DetectorParameters& parameters() const { return params; }

    // Runs the model update with `kernel` instead of the widest one the CPU
    // supports (tests, benchmarks); false, changing nothing, when this build
    // or CPU cannot run it. Each Detector keeps its own choice.
    bool forceKernel(ModelKernel kernel);
    void clearForcedKernel() { forcedKernel.reset(); }
    // The kernel the next model update runs.
    ModelKernel kernel() const;

    // Feeds one 8-bit gray frame of width x height contiguous bytes. roiMask
    // (same layout, non-zero = inside) restricts events, or is null. Returns
    // false, changing nothing, for a null frame or a size below 1 x 1. A size
    // that cannot be allocated throws std::bad_alloc and leaves the Detector
    // without a frame size (tracks and parameters kept).
    bool process(const unsigned char* gray, int width, int height, const unsigned char* roiMask);

    // Sizes the buffers for width x height frames now, exactly as the first
    // process() call of that size would: a new size starts all-zero models
    // and a new averaging window (tracks kept), the current size changes
    // nothing, and a size below 1 x 1 is ignored. A size that cannot be
    // allocated throws std::bad_alloc and leaves the Detector without a frame
    // size (tracks and parameters kept).
    void prepare(int width, int height);

    // Bytes that the buffers of one frame size take per pixel (models, event
    // mask, accumulator, images, and the contour finder's copy), for frames
    // of more than a few thousand pixels: width * height times this, plus at
    // most 2 KB, is what a frame size costs.
    static std::size_t bufferBytesPerPixel();

    // Copies width x height bytes of the event mask (255 = event). False,
    // copying nothing, before the first frame or for a null destination.
    bool copyEventMask(unsigned char* destination) const;
    // Changes whenever the event mask may have changed (a window ended, a
    // reset, a new frame size); while it stays the same, so does the mask, and
    // a caller that keeps a copy need not copy it again.
    std::uint64_t eventMaskVersion() const { return maskVersion; }

    // Forgets the model, the event mask, the current averaging window and all
    // tracks; parameters and the frame size stay.
    void reset();

    // Tracks whose score exceeds object_detection_criterion, in track order.
    std::vector<ObjectTrack> getConfirmedObjects() const;
    // Every current track, confirmed or not.
    const std::vector<ObjectTrack>& getTracks() const { return tracks; }

    // The averaged (squared, rescaled) frame of the last complete window;
    // empty before the first frame, undefined content before the first window.
    const cv::Mat& getAveragedFrame() const { return averagedFrame; }

    int frameWidth() const { return width; }
    int frameHeight() const { return height; }

private:
    void resizeBuffers(int newWidth, int newHeight);
    void releaseBuffers();
    // Ends the averaging window with its last frame (and the accumulated
    // earlier ones, if any): averages, updates the models, writes and erodes
    // the event mask. Returns the bounding box of the eroded mask's set
    // pixels.
    cv::Rect updateModel(const unsigned char* gray, const unsigned char* roiMask, bool earlierFrames);
    void extractObjects(const cv::Rect& setPixels);
    std::size_t pixelCount() const;

    std::unique_ptr<ModelStore> pixelModels;
    std::unique_ptr<unsigned char[]> eventMask;
    DetectorParameters params;
    std::optional<ModelKernel> forcedKernel;
    std::uint64_t maskVersion = 0;
    int width = 0;
    int height = 0;
    cv::Mat averagedFrame;
    std::vector<ObjectTrack> tracks;
    std::unique_ptr<std::uint32_t[]> accumulator;
    int frameCounter = 0;

    // Reused by every extraction pass so that a pass allocates as little as
    // possible. The erosion reads the event mask itself.
    cv::Mat erodedMask;
    std::vector<std::vector<cv::Point>> contours;
    std::vector<ObjectTrack> candidates;
};

}  // namespace tarvolen
