// The per-pixel mixture update: the scalar reference that every kernel of
// ModelKernels.h reproduces bit for bit. Internal to the detector library;
// exposed for its tests.
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

// First row of band `thread` out of `threads` bands over `height` rows.
inline int bandBegin(int thread, int threads, int height) {
    return static_cast<int>(static_cast<std::int64_t>(thread) * height / threads);
}

}  // namespace tarvolen
