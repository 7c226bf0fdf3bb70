#include "detector/MixtureModel.h"

#include <algorithm>
#include <cstddef>
#include <utility>

#include "detector/ModelStore.h"
#include "detector/WindowAverage.h"

namespace tarvolen {
namespace {

// A value matches a component when it lies strictly within 2.5 standard
// deviations of its mean: 2.5^2 = 6.25 in squared terms.
constexpr float kMatchVarianceFactor = 6.25f;
// Share of the weight that the background components must exceed together.
constexpr float kBackgroundWeightShare = 0.7f;
constexpr int kLast = kComponentsPerPixel - 1;
constexpr unsigned char kEventByte = 255;

int findMatch(const PixelModel& model, float value) {
    for (int k = 0; k < kComponentsPerPixel; ++k) {
        const MixtureComponent& c = model.components[k];
        const float d = value - c.mean;
        if (c.variance * kMatchVarianceFactor > d * d) return k;
    }
    return -1;
}

void refineComponent(MixtureComponent& c, float value, float alpha, float varianceFloor) {
    const float d = value - c.mean;
    c.mean = d * alpha + c.mean;
    c.weight = c.weight + alpha;
    c.variance = (d * d - c.variance) * alpha + c.variance;
    if (varianceFloor > c.variance) c.variance = varianceFloor;
}

// Replaces the lowest-ranked component by one centred on the value and
// returns the normaliser that brings the weights back to a sum of one.
float replaceLastComponent(PixelModel& model, float value, float alpha, float varianceFloor) {
    float widest = varianceFloor;
    for (const MixtureComponent& c : model.components) widest = std::max(widest, c.variance);
    MixtureComponent& last = model.components[kLast];
    const float previousWeight = last.weight;
    last.variance = widest;
    last.mean = value;
    last.weight = alpha;
    const float normaliser = model.initialised ? 1.0f - previousWeight + alpha : alpha;
    model.initialised = 1;
    return normaliser;
}

// A zero normaliser (only possible with a learning rate of 0) would make the
// weights infinite, so such an update leaves them unscaled; weightless
// components are never rescaled, which keeps 0/0 out of their rank keys.
void normalise(PixelModel& model, float normaliser, float alpha) {
    const float factor = normaliser != 0.0f ? 1.0f / normaliser : 1.0f;
    for (MixtureComponent& c : model.components) {
        if (c.weight >= alpha && c.weight > 0.0f) {
            c.weight = c.weight * factor;
            c.rankKey = c.weight / c.variance;
        }
    }
}

// Moves the changed component up past every component whose key is not
// strictly larger, and returns its final rank.
int moveUp(PixelModel& model, int changed) {
    int p = changed;
    while (p > 0 && !(model.components[p - 1].rankKey > model.components[p].rankKey)) {
        std::swap(model.components[p - 1], model.components[p]);
        --p;
    }
    return p;
}

// One bubble pass lets components whose key has fallen sink towards the end.
void rankingPass(PixelModel& model) {
    for (int i = 0; i < kLast; ++i) {
        if (model.components[i + 1].rankKey > model.components[i].rankKey) {
            std::swap(model.components[i], model.components[i + 1]);
        }
    }
}

// Index of the last component of the background set.
int lastBackgroundComponent(const PixelModel& model) {
    float sum = 0.0f;
    for (int i = 0; i < kComponentsPerPixel; ++i) {
        sum += model.components[i].weight;
        if (sum > kBackgroundWeightShare) return i;
    }
    return kLast;
}

// The update itself, in place, so that the scalar kernel can inline it.
inline bool updateInPlace(PixelModel& model, float value, float alpha, float varianceFloor) {
    int changed = findMatch(model, value);
    float normaliser;
    if (changed >= 0) {
        refineComponent(model.components[changed], value, alpha, varianceFloor);
        normaliser = 1.0f + alpha;
    } else {
        normaliser = replaceLastComponent(model, value, alpha, varianceFloor);
        changed = kLast;
    }
    normalise(model, normaliser, alpha);
    const int rank = moveUp(model, changed);
    rankingPass(model);
    return rank > lastBackgroundComponent(model);
}

}  // namespace

PixelUpdate updatePixel(PixelModel model, float value, float alpha, float varianceFloor) {
    const bool event = updateInPlace(model, value, alpha, varianceFloor);
    return {model, event};
}

// The reference kernel: each lane through the code of updatePixel.
void updateBlocksScalar(const BlockJob& job) {
    PixelModel models[kBlockPixels];
    for (std::size_t b = 0; b < job.blockCount; ++b) {
        unpackBlock(job.blocks[b], job.initialised[b], models);
        for (int lane = 0; lane < kBlockPixels; ++lane) {
            const std::size_t i = b * kBlockPixels + static_cast<std::size_t>(lane);
            unsigned char value;
            if (job.gray != nullptr) {
                const std::uint32_t earlier = job.sums != nullptr ? job.sums[i] : 0;
                value =
                    static_cast<unsigned char>(divideSum(earlier + squaredLevel(job.gray[i]), job.divisor));
                job.averagedOut[i] = value;
            } else {
                value = job.averaged[i];
            }
            const bool event =
                updateInPlace(models[lane], static_cast<float>(value), job.alpha, job.varianceFloor);
            const bool inside = job.roiMask == nullptr || job.roiMask[i] != 0;
            job.eventMask[i] = event && inside ? kEventByte : 0;
        }
        packBlock(models, job.blocks[b], job.initialised[b]);
    }
}

}  // namespace tarvolen
