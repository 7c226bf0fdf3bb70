// The block layout of the mixture models and the kernels that update it.
// Internal to the detector library; exposed for its tests and benchmarks.
//
// The SIMD kernels are compiled with their own instruction-set flags. This
// header (with the kernel names of ModelKernel.h) is all they include besides
// the intrinsics, so it holds plain data and declarations only: an inline
// function defined here would be emitted by those translation units too (at
// -O0 at least), and the linker could pick that AVX-512 copy for every
// caller, which would fault on older CPUs.
#pragma once

#include <cstddef>
#include <cstdint>

#include "detector/ModelKernel.h"

namespace tarvolen {

// Pixels per model block: 16 single-precision lanes fill one 64-byte line.
constexpr int kBlockPixels = 16;
constexpr int kBlockComponents = 5;  // components per pixel

// One mixture component of the 16 pixels of a block, field by field.
struct ComponentLanes {
    float weight[kBlockPixels];
    float mean[kBlockPixels];
    float variance[kBlockPixels];  // squared gray levels
    float rankKey[kBlockPixels];
};

// The models of 16 consecutive pixels (row-major pixel index), structure of
// arrays. The initialised flags live beside the blocks, one 16-bit word per
// block (bit i = pixel i of the block).
struct alignas(64) ModelBlock {
    ComponentLanes components[kBlockComponents];
};

// Exact division of any 32-bit sum by the window length d (1 <= d < 2^31)
// with one multiply-high: q = (t + ((s - t) >> shift1)) >> shift2 where
// t = (s * multiplier) >> 32.
struct WindowDivisor {
    std::uint32_t multiplier;
    std::uint32_t shift1;
    std::uint32_t shift2;
};

// One run of a kernel over `blockCount` whole blocks. Every byte pointer
// addresses the first pixel of blocks[0] and covers blockCount * 16 pixels.
struct BlockJob {
    ModelBlock* blocks;
    std::uint16_t* initialised;  // one word per block
    std::size_t blockCount;
    // The model is updated with averaged[i], or, when gray is set, with the
    // window average computed here: sums[i] (the window's earlier frames; 0
    // when sums is null) plus the squared level of gray[i], divided by the
    // window length (low byte kept, as a cast to a byte would), which is also
    // written to averagedOut[i]. The sums are only read: the next window's
    // first frame overwrites them.
    const std::uint8_t* averaged;
    const std::uint32_t* sums;
    const std::uint8_t* gray;
    std::uint8_t* averagedOut;
    WindowDivisor divisor;
    const std::uint8_t* roiMask;  // 0 = outside, event byte forced to 0; may be null
    std::uint8_t* eventMask;      // receives 255 (event) or 0
    float alpha;
    float varianceFloor;
};

// Each kernel gives bit-identical records and event bytes.
void updateBlocksScalar(const BlockJob& job);
void updateBlocksAvx2(const BlockJob& job);
void updateBlocksAvx512(const BlockJob& job);

// Whether this build has the kernel and this CPU can run it. The CPU is
// asked once per process.
bool kernelSupported(ModelKernel kernel);
// The widest kernel supported: what a Detector runs unless it is told
// otherwise (Detector::forceKernel).
ModelKernel bestKernel();
const char* kernelName(ModelKernel kernel);
// Runs `kernel`, or the scalar one when this CPU cannot run it.
void runKernel(ModelKernel kernel, const BlockJob& job);

}  // namespace tarvolen
