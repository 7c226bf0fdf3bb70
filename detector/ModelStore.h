// The mixture models of every pixel of a frame in the block layout of
// ModelKernels.h. Internal to the detector library; exposed for its tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "detector/Detector.h"
#include "detector/ModelKernels.h"

namespace tarvolen {

class ModelStore {
public:
    // Bytes per pixel of the store for large frames.
    static constexpr std::size_t kBytesPerPixel = sizeof(ModelBlock) / kBlockPixels;

    ModelStore() = default;
    // All-zero models (the empty model) for `pixels` pixels; throws
    // std::bad_alloc, leaving the store empty, when they cannot be held.
    explicit ModelStore(std::size_t pixels);
    // A moved-from store is empty: it neither frees nor writes the memory
    // it handed over.
    ModelStore(ModelStore&& other) noexcept;
    ModelStore& operator=(ModelStore&& other) noexcept;
    ModelStore(const ModelStore&) = delete;
    ModelStore& operator=(const ModelStore&) = delete;

    // Every record back to the empty model.
    void clear();

    std::size_t pixelCount() const { return pixels; }
    // Blocks holding pixelCount() pixels; the last may be partly padding.
    std::size_t blockCount() const { return blocks; }
    ModelBlock* blockData() { return blockArray.get(); }
    std::uint16_t* initialisedBits() { return bits; }

    PixelModel get(std::size_t pixel) const;
    void set(std::size_t pixel, const PixelModel& model);

private:
    // The blocks start at the first 64-byte boundary of a larger calloc'd
    // area; the deleter frees that area, not the aligned pointer.
    struct FreeAlignedBlocks {
        void* allocation;  // value-initialised (null) in an empty store
        void operator()(ModelBlock*) const { std::free(allocation); }
    };
    std::unique_ptr<ModelBlock[], FreeAlignedBlocks> blockArray;
    // Inside blockArray's allocation, after the blocks.
    std::uint16_t* bits = nullptr;
    std::size_t pixels = 0;
    std::size_t blocks = 0;
    std::size_t bytes = 0;
};

// The 16 records of a block, and back.
void unpackBlock(const ModelBlock& block, std::uint16_t initialisedBits, PixelModel (&models)[kBlockPixels]);
void packBlock(const PixelModel (&models)[kBlockPixels], ModelBlock& block, std::uint16_t& initialisedBits);

// One lane of a block as a per-pixel record, and back.
inline PixelModel readLane(const ModelBlock& block, std::uint16_t initialisedBits, int lane) {
    PixelModel model;
    for (int k = 0; k < kComponentsPerPixel; ++k) {
        const ComponentLanes& c = block.components[k];
        model.components[k] = {c.weight[lane], c.mean[lane], c.variance[lane], c.rankKey[lane]};
    }
    model.initialised = static_cast<std::uint8_t>((initialisedBits >> lane) & 1u);
    return model;
}

inline void writeLane(ModelBlock& block, std::uint16_t& initialisedBits, int lane, const PixelModel& model) {
    for (int k = 0; k < kComponentsPerPixel; ++k) {
        ComponentLanes& c = block.components[k];
        const MixtureComponent& m = model.components[k];
        c.weight[lane] = m.weight;
        c.mean[lane] = m.mean;
        c.variance[lane] = m.variance;
        c.rankKey[lane] = m.rankKey;
    }
    const auto bit = static_cast<std::uint16_t>(1u << lane);
    initialisedBits =
        static_cast<std::uint16_t>(model.initialised != 0 ? initialisedBits | bit : initialisedBits & ~bit);
}

}  // namespace tarvolen
