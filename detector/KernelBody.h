// The mixture update of one pixel per SIMD lane, written once over a vector
// type V and included by each SIMD kernel's file, which supplies V for its
// instruction set. Every lane performs the operations of updatePixel in the
// same order with the same rounding (no fused multiply-add), and every
// comparison has the scalar code's meaning for not-a-number operands, so the
// records and event bytes are bit-identical to the scalar reference.
// Data-dependent branches become masks; a step is skipped only when no lane
// of the group needs it.
//
// Everything here has internal linkage (see ModelKernels.h for why).
#pragma once

#include <immintrin.h>

#include "detector/ModelKernels.h"

#define TARVOLEN_ALWAYS_INLINE inline __attribute__((always_inline))

namespace tarvolen {
namespace {

constexpr int kLastComponent = kBlockComponents - 1;
// Blocks fetched ahead of the one being updated: about 5 KB, enough to hide
// the memory latency without evicting what is still being worked on.
constexpr std::size_t kPrefetchBlocks = 4;
constexpr std::size_t kCacheLine = 64;  // bytes

template <class V>
struct Constants {
    using F = typename V::F;
    explicit Constants(const BlockJob& job)
        : alpha(V::broadcast(job.alpha)),
          floor(V::broadcast(job.varianceFloor)),
          one(V::broadcast(1.0f)),
          zero(V::broadcast(0.0f)),
          matchFactor(V::broadcast(6.25f)),      // (2.5 standard deviations)^2
          backgroundShare(V::broadcast(0.7f)) {  // weight the background must exceed
        for (int i = 0; i < kBlockComponents; ++i) rank[i] = V::broadcast(static_cast<float>(i));
        const F matchedNormaliser = V::add(one, alpha);
        matchedFactor = V::select(V::equal(matchedNormaliser, zero), one, V::div(one, matchedNormaliser));
    }
    F alpha, floor, one, zero, matchFactor, backgroundShare;
    F matchedFactor;           // the normalising factor of a lane whose component matched
    F rank[kBlockComponents];  // component indices as lane values
};

// The components of V::kLanes pixels, in registers.
template <class V>
struct Components {
    using F = typename V::F;
    F weight[kBlockComponents];
    F mean[kBlockComponents];
    F variance[kBlockComponents];
    F rankKey[kBlockComponents];
};

template <class V>
TARVOLEN_ALWAYS_INLINE void exchangeField(typename V::F* field, int a, int b, typename V::M swap) {
    const typename V::F first = field[a];
    field[a] = V::select(swap, field[b], first);
    field[b] = V::select(swap, first, field[b]);
}

// Swaps components a and b in the lanes of `swap`.
template <class V>
TARVOLEN_ALWAYS_INLINE void exchange(Components<V>& c, int a, int b, typename V::M swap) {
    exchangeField<V>(c.weight, a, b, swap);
    exchangeField<V>(c.mean, a, b, swap);
    exchangeField<V>(c.variance, a, b, swap);
    exchangeField<V>(c.rankKey, a, b, swap);
}

template <class V>
TARVOLEN_ALWAYS_INLINE void loadComponents(const ModelBlock& block, int lane0, Components<V>& c) {
    for (int i = 0; i < kBlockComponents; ++i) {
        const ComponentLanes& lanes = block.components[i];
        c.weight[i] = V::load(lanes.weight + lane0);
        c.mean[i] = V::load(lanes.mean + lane0);
        c.variance[i] = V::load(lanes.variance + lane0);
        c.rankKey[i] = V::load(lanes.rankKey + lane0);
    }
}

template <class V>
TARVOLEN_ALWAYS_INLINE void storeComponents(const Components<V>& c, int lane0, ModelBlock& block) {
    for (int i = 0; i < kBlockComponents; ++i) {
        ComponentLanes& lanes = block.components[i];
        V::storeResult(lanes.weight + lane0, c.weight[i]);
        V::storeResult(lanes.mean + lane0, c.mean[i]);
        V::storeResult(lanes.variance + lane0, c.variance[i]);
        V::storeResult(lanes.rankKey + lane0, c.rankKey[i]);
    }
}

// Updates the pixels of lanes lane0 .. lane0 + V::kLanes - 1 of a block with
// their values and returns their event lanes. `initialised` is read and
// updated.
template <class V>
TARVOLEN_ALWAYS_INLINE typename V::M updateLanes(ModelBlock& block, int lane0, typename V::F value,
                                                 typename V::M& initialised, const Constants<V>& k) {
    using F = typename V::F;
    using M = typename V::M;
    Components<V> c;
    loadComponents<V>(block, lane0, c);

    // Match: the first component with variance * 6.25 > d * d. The search
    // stops once every lane has found one.
    F deviation[kBlockComponents];
    M matched[kBlockComponents];
    M matchedAny = V::none();
    int searched = 0;
    while (searched < kBlockComponents && !V::all(matchedAny)) {
        const int i = searched++;
        deviation[i] = V::sub(value, c.mean[i]);
        const M hit = V::greater(V::mul(c.variance[i], k.matchFactor), V::mul(deviation[i], deviation[i]));
        matched[i] = V::andNot(hit, matchedAny);
        matchedAny = V::either(matchedAny, hit);
    }

    // Refine the matched component.
    F rank = k.rank[kLastComponent];  // the changed component
    for (int i = 0; i < searched; ++i) {
        if (!V::any(matched[i])) continue;
        const F d = deviation[i];
        const F mean = V::add(V::mul(d, k.alpha), c.mean[i]);
        const F weight = V::add(c.weight[i], k.alpha);
        const F variance = V::greaterOf(
            k.floor, V::add(V::mul(V::sub(V::mul(d, d), c.variance[i]), k.alpha), c.variance[i]));
        c.mean[i] = V::select(matched[i], mean, c.mean[i]);
        c.weight[i] = V::select(matched[i], weight, c.weight[i]);
        c.variance[i] = V::select(matched[i], variance, c.variance[i]);
        rank = V::select(matched[i], k.rank[i], rank);
    }

    // Replace the last component where nothing matched. The normalising
    // factor is 1 / (1 + alpha) where a component matched; a zero normaliser
    // leaves the weights unscaled.
    F factor = k.matchedFactor;
    const M replaced = V::invert(matchedAny);
    if (V::any(replaced)) {
        F widest = k.floor;
        for (int i = 0; i < kBlockComponents; ++i) widest = V::greaterOf(c.variance[i], widest);
        const F normaliser =
            V::select(initialised, V::add(V::sub(k.one, c.weight[kLastComponent]), k.alpha), k.alpha);
        c.variance[kLastComponent] = V::select(replaced, widest, c.variance[kLastComponent]);
        c.mean[kLastComponent] = V::select(replaced, value, c.mean[kLastComponent]);
        c.weight[kLastComponent] = V::select(replaced, k.alpha, c.weight[kLastComponent]);
        const F replacedFactor = V::select(V::equal(normaliser, k.zero), k.one, V::div(k.one, normaliser));
        factor = V::select(replaced, replacedFactor, factor);
        initialised = V::either(initialised, replaced);
    }

    // Normalise the weights of at least alpha (and above 0).
    for (int i = 0; i < kBlockComponents; ++i) {
        const M scaled = V::both(V::greaterOrEqual(c.weight[i], k.alpha), V::greater(c.weight[i], k.zero));
        if (!V::any(scaled)) continue;
        const F weight = V::mul(c.weight[i], factor);
        c.weight[i] = V::select(scaled, weight, c.weight[i]);
        c.rankKey[i] = V::select(scaled, V::div(weight, c.variance[i]), c.rankKey[i]);
    }

    // Move the changed component up past every key that is not strictly
    // larger; its final place is its rank. Nothing moves where every lane
    // changed component 0.
    for (int p = V::any(V::greater(rank, k.zero)) ? kLastComponent : 0; p > 0; --p) {
        const M up = V::both(V::equal(rank, k.rank[p]), V::notGreater(c.rankKey[p - 1], c.rankKey[p]));
        if (!V::any(up)) continue;
        exchange<V>(c, p - 1, p, up);
        rank = V::select(up, k.rank[p - 1], rank);
    }

    // One bubble pass lets fallen keys sink.
    for (int i = 0; i < kLastComponent; ++i) {
        const M down = V::greater(c.rankKey[i + 1], c.rankKey[i]);
        if (V::any(down)) exchange<V>(c, i, i + 1, down);
    }

    // The background set ends where the running weight sum first exceeds
    // 0.7, or at the last component.
    F sum = k.zero;
    F lastBackground = k.rank[kLastComponent];
    M found = V::none();
    for (int i = 0; i < kBlockComponents && !V::all(found); ++i) {
        sum = V::add(sum, c.weight[i]);
        const M reached = V::andNot(V::greater(sum, k.backgroundShare), found);
        lastBackground = V::select(reached, k.rank[i], lastBackground);
        found = V::either(found, reached);
    }

    storeComponents<V>(c, lane0, block);
    return V::greater(rank, lastBackground);
}

TARVOLEN_ALWAYS_INLINE void prefetchBlock(const ModelBlock* block) {
    const char* bytes = reinterpret_cast<const char*>(block);
    for (std::size_t offset = 0; offset < sizeof(ModelBlock); offset += kCacheLine) {
        _mm_prefetch(bytes + offset, _MM_HINT_T0);
    }
}

template <class V>
void updateBlocks(const BlockJob& job) {
    using F = typename V::F;
    using M = typename V::M;
    const Constants<V> k(job);
    for (std::size_t b = 0; b < job.blockCount; ++b) {
        if (b + kPrefetchBlocks < job.blockCount) prefetchBlock(job.blocks + b + kPrefetchBlocks);
        ModelBlock& block = job.blocks[b];
        const unsigned oldBits = job.initialised[b];
        unsigned newBits = 0;
        for (int lane0 = 0; lane0 < kBlockPixels; lane0 += V::kLanes) {
            const std::size_t pixel = b * kBlockPixels + static_cast<std::size_t>(lane0);
            const F value =
                job.gray != nullptr ? V::windowAverage(job, pixel) : V::bytesToFloats(job.averaged + pixel);
            M initialised = V::fromBits(oldBits >> lane0);
            M event = updateLanes<V>(block, lane0, value, initialised, k);
            if (job.roiMask != nullptr) event = V::both(event, V::nonZeroBytes(job.roiMask + pixel));
            V::storeEventBytes(job.eventMask + pixel, event);
            newBits |= V::bits(initialised) << lane0;
        }
        job.initialised[b] = static_cast<std::uint16_t>(newBits);
    }
}

}  // namespace
}  // namespace tarvolen
