// Scalar forms of the per-pixel window arithmetic shared by the detector and
// its scalar kernel. Internal to the detector library.
#pragma once

#include <cstdint>

#include "detector/ModelKernels.h"

namespace tarvolen {

// g * g / 255 for every byte g, truncated: the squared gray level scaled back
// to 0..255. (x * 0x8081) >> 23 equals x / 255 for every x below 2^16 and,
// unlike a table, vectorises.
inline std::uint32_t squaredLevel(std::uint32_t g) { return (g * g * 0x8081u) >> 23; }

// The multiplier and shifts that divide every 32-bit sum by `divisor`
// (1 .. 2^32 - 1) exactly (Granlund and Montgomery's round-up method): with
// l = ceil(log2 divisor), multiplier + 2^32 = floor(2^(32+l) / divisor) + 1
// exceeds 2^(32+l) / divisor by e / divisor with 0 < e <= 2^l, so the product
// overshoots s / divisor by less than s / 2^32 / divisor < 1 / divisor, too
// little to reach the next integer. The 33-bit multiplier is applied as t +
// (s - t) / 2 so that nothing overflows 32 bits.
WindowDivisor makeWindowDivisor(std::uint32_t divisor);

inline std::uint32_t divideSum(std::uint32_t sum, const WindowDivisor& d) {
    const std::uint32_t t =
        static_cast<std::uint32_t>((static_cast<std::uint64_t>(sum) * d.multiplier) >> 32);
    return (t + ((sum - t) >> d.shift1)) >> d.shift2;
}

}  // namespace tarvolen
