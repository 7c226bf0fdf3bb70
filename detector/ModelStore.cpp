#include "detector/ModelStore.h"

#include <cstring>
#include <limits>
#include <new>

namespace tarvolen {

static_assert(kBlockComponents == kComponentsPerPixel, "the block layout holds every component");
static_assert(sizeof(ModelBlock) == kBlockComponents * 4 * kBlockPixels * sizeof(float),
              "blocks carry no padding");

namespace {

constexpr std::size_t kAlignment = alignof(ModelBlock);  // bytes

}  // namespace

ModelStore::ModelStore(std::size_t pixelTotal) {
    const std::size_t blockTotal = pixelTotal / kBlockPixels + (pixelTotal % kBlockPixels != 0);
    constexpr std::size_t kPerBlock = sizeof(ModelBlock) + sizeof(std::uint16_t);
    const std::size_t limit = static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max());
    if (blockTotal > (limit - kAlignment) / kPerBlock) throw std::bad_alloc();
    const std::size_t total = blockTotal * kPerBlock;
    // calloc: the zero pages of a large store cost nothing until first used.
    memory.reset(std::calloc(total + kAlignment, 1));
    if (!memory) throw std::bad_alloc();
    const std::uintptr_t base = reinterpret_cast<std::uintptr_t>(memory.get());
    const std::uintptr_t aligned = (base + kAlignment - 1) / kAlignment * kAlignment;
    blockArray = reinterpret_cast<ModelBlock*>(aligned);
    bits = reinterpret_cast<std::uint16_t*>(blockArray + blockTotal);
    pixels = pixelTotal;
    blocks = blockTotal;
    bytes = total;
}

void ModelStore::clear() {
    if (blockArray != nullptr) std::memset(static_cast<void*>(blockArray), 0, bytes);
}

PixelModel readLane(const ModelBlock& block, std::uint16_t initialisedBits, int lane) {
    PixelModel model;
    for (int k = 0; k < kComponentsPerPixel; ++k) {
        const ComponentLanes& c = block.components[k];
        model.components[k] = {c.weight[lane], c.mean[lane], c.variance[lane], c.rankKey[lane]};
    }
    model.initialised = static_cast<std::uint8_t>((initialisedBits >> lane) & 1u);
    return model;
}

void writeLane(ModelBlock& block, std::uint16_t& initialisedBits, int lane, const PixelModel& model) {
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

PixelModel ModelStore::get(std::size_t pixel) const {
    const std::size_t b = pixel / kBlockPixels;
    return readLane(blockArray[b], bits[b], static_cast<int>(pixel % kBlockPixels));
}

void ModelStore::set(std::size_t pixel, const PixelModel& model) {
    const std::size_t b = pixel / kBlockPixels;
    writeLane(blockArray[b], bits[b], static_cast<int>(pixel % kBlockPixels), model);
}

}  // namespace tarvolen
