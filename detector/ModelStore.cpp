#include "detector/ModelStore.h"

#include <cstring>
#include <limits>
#include <new>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tarvolen {

static_assert(kBlockComponents == kComponentsPerPixel, "the block layout holds every component");
static_assert(sizeof(ModelBlock) == kBlockComponents * 4 * kBlockPixels * sizeof(float),
              "blocks carry no padding");
static_assert(sizeof(MixtureComponent) == 4 * sizeof(float), "a component is its four fields");

namespace {

constexpr std::size_t kAlignment = alignof(ModelBlock);  // bytes
constexpr std::size_t kTouchStride = 4096;                // bytes, the smallest page size

// Faults every page of a fresh zeroed allocation in with a write. Left to the
// first update, which reads a line before storing it, each page would first
// map the shared zero page and then be copied on the store, with a TLB flush
// on every core running the process, page by page. The stores are volatile
// so that they are not folded into the calloc.
void touchPages(unsigned char* memory, std::size_t size) {
    volatile unsigned char* bytes = memory;
    for (std::size_t offset = 0; offset < size; offset += kTouchStride) bytes[offset] = 0;
}

}  // namespace

ModelStore::ModelStore(std::size_t pixelTotal) {
    const std::size_t blockTotal = pixelTotal / kBlockPixels + (pixelTotal % kBlockPixels != 0);
    constexpr std::size_t kPerBlock = sizeof(ModelBlock) + sizeof(std::uint16_t);
    const std::size_t limit = static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max());
    if (blockTotal > (limit - kAlignment) / kPerBlock) throw std::bad_alloc();
    const std::size_t total = blockTotal * kPerBlock;
    void* const allocation = std::calloc(total + kAlignment, 1);
    if (allocation == nullptr) throw std::bad_alloc();
    const std::uintptr_t base = reinterpret_cast<std::uintptr_t>(allocation);
    const std::uintptr_t aligned = (base + kAlignment - 1) / kAlignment * kAlignment;
    blockArray = std::unique_ptr<ModelBlock[], FreeAlignedBlocks>(reinterpret_cast<ModelBlock*>(aligned),
                                                                  FreeAlignedBlocks{allocation});
    touchPages(static_cast<unsigned char*>(allocation), total + kAlignment);
    bits = reinterpret_cast<std::uint16_t*>(blockArray.get() + blockTotal);
    pixels = pixelTotal;
    blocks = blockTotal;
    bytes = total;
}

ModelStore::ModelStore(ModelStore&& other) noexcept
    : blockArray(std::move(other.blockArray)),
      bits(std::exchange(other.bits, nullptr)),
      pixels(std::exchange(other.pixels, 0)),
      blocks(std::exchange(other.blocks, 0)),
      bytes(std::exchange(other.bytes, 0)) {}

ModelStore& ModelStore::operator=(ModelStore&& other) noexcept {
    if (this != &other) {
        blockArray = std::move(other.blockArray);
        bits = std::exchange(other.bits, nullptr);
        pixels = std::exchange(other.pixels, 0);
        blocks = std::exchange(other.blocks, 0);
        bytes = std::exchange(other.bytes, 0);
    }
    return *this;
}

void ModelStore::clear() {
    if (blockArray) std::memset(static_cast<void*>(blockArray.get()), 0, bytes);
}

#if defined(__SSE2__)

// Four lanes of one component at a time: a 4 x 4 transpose turns the four
// field vectors into the four lanes' (weight, mean, variance, rankKey).
void unpackBlock(const ModelBlock& block, std::uint16_t initialisedBits, PixelModel (&models)[kBlockPixels]) {
    for (int k = 0; k < kComponentsPerPixel; ++k) {
        const ComponentLanes& c = block.components[k];
        for (int lane = 0; lane < kBlockPixels; lane += 4) {
            __m128 rows[4] = {_mm_load_ps(c.weight + lane), _mm_load_ps(c.mean + lane),
                              _mm_load_ps(c.variance + lane), _mm_load_ps(c.rankKey + lane)};
            _MM_TRANSPOSE4_PS(rows[0], rows[1], rows[2], rows[3]);
            for (int j = 0; j < 4; ++j) {
                float fields[4];
                _mm_storeu_ps(fields, rows[j]);
                std::memcpy(&models[lane + j].components[k], fields, sizeof fields);
            }
        }
    }
    for (int lane = 0; lane < kBlockPixels; ++lane) {
        models[lane].initialised = static_cast<std::uint8_t>((initialisedBits >> lane) & 1u);
    }
}

void packBlock(const PixelModel (&models)[kBlockPixels], ModelBlock& block, std::uint16_t& initialisedBits) {
    for (int k = 0; k < kComponentsPerPixel; ++k) {
        ComponentLanes& c = block.components[k];
        for (int lane = 0; lane < kBlockPixels; lane += 4) {
            __m128 rows[4];
            for (int j = 0; j < 4; ++j) {
                float fields[4];
                std::memcpy(fields, &models[lane + j].components[k], sizeof fields);
                rows[j] = _mm_loadu_ps(fields);
            }
            _MM_TRANSPOSE4_PS(rows[0], rows[1], rows[2], rows[3]);
            _mm_store_ps(c.weight + lane, rows[0]);
            _mm_store_ps(c.mean + lane, rows[1]);
            _mm_store_ps(c.variance + lane, rows[2]);
            _mm_store_ps(c.rankKey + lane, rows[3]);
        }
    }
    // An if, not a shifted conditional: GCC 12 at -O0 with UBSan computes the
    // latter wrongly.
    unsigned bits = 0;
    for (int lane = 0; lane < kBlockPixels; ++lane) {
        if (models[lane].initialised != 0) bits |= 1u << lane;
    }
    initialisedBits = static_cast<std::uint16_t>(bits);
}
#else
void unpackBlock(const ModelBlock& block, std::uint16_t initialisedBits, PixelModel (&models)[kBlockPixels]) {
    for (int lane = 0; lane < kBlockPixels; ++lane) models[lane] = readLane(block, initialisedBits, lane);
}

void packBlock(const PixelModel (&models)[kBlockPixels], ModelBlock& block, std::uint16_t& initialisedBits) {
    for (int lane = 0; lane < kBlockPixels; ++lane) writeLane(block, initialisedBits, lane, models[lane]);
}
#endif

PixelModel ModelStore::get(std::size_t pixel) const {
    const std::size_t b = pixel / kBlockPixels;
    return readLane(blockArray[b], bits[b], static_cast<int>(pixel % kBlockPixels));
}

void ModelStore::set(std::size_t pixel, const PixelModel& model) {
    const std::size_t b = pixel / kBlockPixels;
    writeLane(blockArray[b], bits[b], static_cast<int>(pixel % kBlockPixels), model);
}

}  // namespace tarvolen
