#include "detector/MixtureModel.h"

#include <omp.h>

#include <algorithm>
#include <cstddef>
#include <utility>

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

void updateBand(const ModelUpdateInput& in, int rowBegin, int rowEnd, PixelModel* models,
                unsigned char* eventMask) {
    const float varianceFloor = in.pixelDeviation * in.pixelDeviation;
    const std::size_t w = static_cast<std::size_t>(in.width);
    const std::size_t begin = static_cast<std::size_t>(rowBegin) * w;
    const std::size_t end = static_cast<std::size_t>(rowEnd) * w;
    for (std::size_t i = begin; i < end; ++i) {
        const PixelUpdate result =
            updatePixel(models[i], static_cast<float>(in.averaged[i]), in.alpha, varianceFloor);
        models[i] = result.model;
        eventMask[i] = result.event ? kEventByte : 0;
    }
    if (in.roiMask != nullptr) {
        for (std::size_t i = begin; i < end; ++i) {
            if (in.roiMask[i] == 0) eventMask[i] = 0;
        }
    }
}

}  // namespace

PixelUpdate updatePixel(PixelModel model, float value, float alpha, float varianceFloor) {
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
    const bool event = rank > lastBackgroundComponent(model);
    return {model, event};
}

void updateModelBands(const ModelUpdateInput& input, PixelModel* models, unsigned char* eventMask) {
    const auto worker = [&]() {
        const int t = omp_get_thread_num();
        const int n = omp_get_num_threads();
        updateBand(input, bandBegin(t, n, input.height), bandBegin(t + 1, n, input.height), models,
                   eventMask);
    };
    // The num_threads clause, unlike omp_set_num_threads, leaves the
    // runtime's default (and any OpenMP setting of a host program) in force
    // when no count is requested.
    if (input.numThreads > 0) {
#pragma omp parallel num_threads(input.numThreads)
        worker();
    } else {
#pragma omp parallel
        worker();
    }
}

}  // namespace tarvolen
