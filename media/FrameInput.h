// Bringing captured frames to the form the loop works on.
#pragma once

#include <opencv2/core.hpp>

namespace tarvolen {

// Makes `colour` an 8-bit, 3-channel frame of `size` from a captured frame
// of any size, 1, 3 or 4 channels and 8 or 16 bits. Returns false (leaving
// `colour` alone) for an empty or unusable frame.
bool conformFrame(const cv::Mat& captured, cv::Size size, cv::Mat& colour);

}  // namespace tarvolen
