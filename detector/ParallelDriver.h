// The detector's parallel work: the per-frame accumulation, the model update
// and the end of an averaging window, each split across an OpenMP team so
// that no two threads share a model block. Internal to the detector
// library; exposed for its tests and benchmarks.
#pragma once

#include <cstddef>
#include <cstdint>

#include <opencv2/core.hpp>

#include "detector/ModelKernels.h"
#include "detector/ModelStore.h"

namespace tarvolen {

struct ModelUpdateInput {
    const unsigned char* averaged;  // width x height averaged values
    const unsigned char* roiMask;   // width x height, 0 = outside; may be null
    int width;
    int height;
    float alpha;
    float pixelDeviation;
    int numThreads;  // 0: the OpenMP runtime's default team size
    ModelKernel kernel;
};

// Updates every pixel's model and writes the event mask (255 = event).
void updateModelBands(const ModelUpdateInput& input, ModelStore& models, unsigned char* eventMask);

// sums[i] += the squared level of gray[i], for `pixels` pixels; the first
// frame of a window (startsWindow) overwrites the sums instead.
void accumulateFrame(const unsigned char* gray, std::uint32_t* sums, std::size_t pixels, int numThreads,
                     bool startsWindow);

struct WindowEnd {
    const unsigned char* gray;     // the window's last frame
    const unsigned char* roiMask;  // may be null
    int width;
    int height;
    std::uint32_t numFrames;  // the divisor of the sums
    float alpha;
    float pixelDeviation;
    int numThreads;
    ModelKernel kernel;
    // Buffers of width x height pixels.
    ModelStore* models;
    const std::uint32_t* sums;  // the window's earlier frames; null when there are none
    unsigned char* averaged;    // receives the window average
    unsigned char* eventMask;   // receives the event mask
    unsigned char* erodedMask;  // receives the eroded event mask
};

// Ends an averaging window in one parallel pass: adds the last frame to the
// sums, averages them, updates the models, writes the event mask and erodes
// it. The sums are left as they are (the next window overwrites them). Returns the bounding box of the eroded
// mask's set pixels (empty when there are none).
cv::Rect finishWindow(const WindowEnd& window);

}  // namespace tarvolen
