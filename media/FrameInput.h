// Bringing captured frames to the form the loop works on.
#pragma once

#include <cstddef>

#include <opencv2/core.hpp>

namespace tarvolen {

// Makes `colour` an 8-bit, 3-channel frame of `size` from a captured frame
// of any size, 1, 3 or 4 channels and 8 or 16 bits. Returns false (leaving
// `colour` alone) for an empty or unusable frame.
bool conformFrame(const cv::Mat& captured, cv::Size size, cv::Mat& colour);

// The bytes of one 8-bit colour frame of `size`, counted without overflow
// for any size whose sides fit an int.
inline std::size_t frameBytes(cv::Size size) {
    constexpr std::size_t kColourChannels = 3;
    if (size.width <= 0 || size.height <= 0) return 0;
    return static_cast<std::size_t>(size.width) * static_cast<std::size_t>(size.height) * kColourChannels;
}

}  // namespace tarvolen
