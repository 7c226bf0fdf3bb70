// How frames are detected besides the detector's own parameters: the width
// they are scaled to first, and the rule that tells a change of light from
// motion. Set by tarvolen-scan's options and tarvolen-watch's Watch object.
#pragma once

namespace tarvolen {

// The detection widths that can be set, in pixels.
constexpr int kMinDetectWidth = 16;
constexpr int kMaxDetectWidth = 7680;
// The shares of the region a change of light can be set to cover, in percent.
constexpr double kMinLightChangePercent = 1.0;
constexpr double kMaxLightChangePercent = 100.0;

struct DetectionSettings {
    // 0: frames are detected as delivered. Otherwise they are scaled,
    // area-averaged with their aspect kept, to this width first, so that
    // object sizes in pixels mean the same whatever the camera.
    int detectWidth = 0;
    // 0: off. Otherwise a model update whose event pixels cover more than
    // this share of the region (in percent) is a change of light, not
    // motion: the detector starts afresh and that update finds no object.
    double lightChangePercent = 0;
};

inline bool validDetectWidth(double width) {
    return width == 0 ||
           (width >= kMinDetectWidth && width <= kMaxDetectWidth && width == static_cast<int>(width));
}

inline bool validLightChangePercent(double percent) {
    return percent == 0 || (percent >= kMinLightChangePercent && percent <= kMaxLightChangePercent);
}

}  // namespace tarvolen
