// The per-pixel mixture update and its parallel driver. Internal to the
// detector library; exposed for its tests.
#pragma once

#include <cstdint>

#include "detector/Detector.h"

namespace tarvolen {

struct PixelUpdate {
    PixelModel model;
    bool event;
};

// Updates one pixel's model with its averaged value. alpha is the learning
// rate, varianceFloor the smallest variance a component may take after an
// update.
PixelUpdate updatePixel(PixelModel model, float value, float alpha, float varianceFloor);

struct ModelUpdateInput {
    const unsigned char* averaged;  // width x height averaged values
    const unsigned char* roiMask;   // width x height, 0 = outside; may be null
    int width;
    int height;
    float alpha;
    float pixelDeviation;
    int numThreads;  // 0: the OpenMP runtime's default team size
};

// Updates every pixel's model and writes the event mask (255 = event), in
// horizontal bands of rows, one band per thread.
void updateModelBands(const ModelUpdateInput& input, PixelModel* models, unsigned char* eventMask);

// First row of band `thread` out of `threads` bands over `height` rows.
inline int bandBegin(int thread, int threads, int height) {
    return static_cast<int>(static_cast<std::int64_t>(thread) * height / threads);
}

}  // namespace tarvolen
