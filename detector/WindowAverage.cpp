#include "detector/WindowAverage.h"

namespace tarvolen {

WindowDivisor makeWindowDivisor(std::uint32_t divisor) {
    std::uint32_t log2Ceiling = 0;
    while (log2Ceiling < 32 && (std::uint64_t{1} << log2Ceiling) < divisor) ++log2Ceiling;
    const std::uint64_t excess = (std::uint64_t{1} << log2Ceiling) - divisor;  // below divisor
    WindowDivisor d;
    d.multiplier = static_cast<std::uint32_t>((excess << 32) / divisor + 1);
    d.shift1 = log2Ceiling < 1 ? log2Ceiling : 1;
    d.shift2 = log2Ceiling > 1 ? log2Ceiling - 1 : 0;
    return d;
}

}  // namespace tarvolen
