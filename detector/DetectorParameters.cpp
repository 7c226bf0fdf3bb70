#include "detector/DetectorParameters.h"

#include <limits>

namespace tarvolen {
namespace {

// Truncates toward zero when the result fits an int.
bool truncateToInt(double value, int& out) {
    if (!(value > static_cast<double>(std::numeric_limits<int>::min()) - 1.0 &&
          value < static_cast<double>(std::numeric_limits<int>::max()) + 1.0)) {
        return false;
    }
    out = static_cast<int>(value);
    return true;
}

bool setBoxSide(int& field, double value) {
    int v = 0;
    if (!truncateToInt(value, v) || v < DetectorParameters::kMinObjectSide ||
        v > DetectorParameters::kMaxObjectSide) {
        return false;
    }
    field = v;
    return true;
}

// False for NaN as well.
bool inRange(double value, double low, double high) { return value >= low && value <= high; }

}  // namespace

bool DetectorParameters::set(int code, double value) {
    switch (code) {
        case kMinObjectWidth:
            return setBoxSide(min_object_width, value);
        case kMinObjectHeight:
            return setBoxSide(min_object_height, value);
        case kMaxObjectWidth:
            return setBoxSide(max_object_width, value);
        case kMaxObjectHeight:
            return setBoxSide(max_object_height, value);
        case kObjectDetectionCriterion: {
            int v = 0;
            if (!truncateToInt(value, v) || v < kMinDetectionCriterion) return false;
            object_detection_criterion = v;
            return true;
        }
        case kPixelDeviation:
            if (!inRange(value, kMinPixelDeviation, kMaxPixelDeviation)) return false;
            pixel_deviation = static_cast<float>(value);
            return true;
        case kAlphaCoeff:
            if (!inRange(value, kMinAlpha, kMaxAlpha)) return false;
            alpha_coeff = static_cast<float>(value);
            return true;
        case kNumThreads:
            if (!inRange(value, kMinThreads, kMaxThreads)) return false;
            num_threads = static_cast<int>(value);
            return true;
        case kNumFrames:
            if (!inRange(value, kMinFramesPerWindow, kMaxFramesPerWindow)) return false;
            num_frames = static_cast<int>(value);
            return true;
        default:
            return false;
    }
}

double DetectorParameters::get(int code) const {
    switch (code) {
        case kMinObjectWidth:
            return min_object_width;
        case kMinObjectHeight:
            return min_object_height;
        case kMaxObjectWidth:
            return max_object_width;
        case kMaxObjectHeight:
            return max_object_height;
        case kObjectDetectionCriterion:
            return object_detection_criterion;
        case kPixelDeviation:
            return pixel_deviation;
        case kAlphaCoeff:
            return alpha_coeff;
        case kNumThreads:
            return num_threads;
        case kNumFrames:
            return num_frames;
        default:
            return std::numeric_limits<double>::quiet_NaN();
    }
}

// Every stored value reads back exactly (ints and floats are doubles without
// loss) and set() stores an accepted value unchanged, so running each field
// through set() is the range test, with no second copy of the ranges.
bool DetectorParameters::validate() const {
    DetectorParameters probe = *this;
    for (int code = kFirstCode; code <= kLastCode; ++code) {
        if (!probe.set(code, get(code))) return false;
    }
    return true;
}

}  // namespace tarvolen
