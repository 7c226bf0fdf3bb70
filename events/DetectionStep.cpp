#include "events/DetectionStep.h"

#include <algorithm>
#include <limits>

#include <opencv2/imgproc.hpp>

#include "media/FrameInput.h"

namespace tarvolen {
namespace {

constexpr double kPercent = 100.0;
// A scaled region's pixel is inside when at least half of the delivered
// pixels it covers were: the area average of the 0 / 255 mask above this.
constexpr double kHalfInside = 127.0;
const cv::Scalar kInside(255);
// Frames at least this many times the detection width are halved first.
constexpr int kHalveFromFactor = 4;
constexpr int kHalf = 2;

std::int64_t floorDiv(std::int64_t a, std::int64_t b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }
std::int64_t ceilDiv(std::int64_t a, std::int64_t b) { return -floorDiv(-a, b); }

int clampToInt(std::int64_t value) {
    return static_cast<int>(
        std::clamp<std::int64_t>(value, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()));
}

}  // namespace

DetectionStep::DetectionStep(Detector& d, DetectionSettings settings) : detector(d), chosen(settings) {}

void DetectionStep::prepare(cv::Size delivered) {
    const cv::Size size = detectSize(delivered);
    detector.prepare(size.width, size.height);
    gray.create(delivered, CV_8UC1);
    if (size != delivered) scaled.create(size, CV_8UC1);
}

void DetectionStep::setRegion(const cv::Mat& mask) {
    region = mask;
    regionScaled.release();
    regionScaledTo = cv::Size();
}

cv::Size detectionSize(cv::Size delivered, int detectWidth) {
    const std::int64_t width = detectWidth;
    if (width <= 0 || delivered.width <= 0 || delivered.width == width) return delivered;
    // Rounded to the nearest whole pixel, halves up.
    const std::int64_t height = (2 * static_cast<std::int64_t>(delivered.height) * width + delivered.width) /
                                (2 * static_cast<std::int64_t>(delivered.width));
    return cv::Size(detectWidth, clampToInt(std::max<std::int64_t>(1, height)));
}

cv::Rect DetectionStep::toDelivered(const cv::Rect& box, cv::Size detected, cv::Size delivered) {
    if (detected == delivered || detected.width <= 0 || detected.height <= 0) return box;
    const auto scale = [](std::int64_t position, int from, int to, bool outward) {
        const std::int64_t scaledPosition = position * to;
        return outward ? ceilDiv(scaledPosition, from) : floorDiv(scaledPosition, from);
    };
    const std::int64_t x0 = scale(box.x, detected.width, delivered.width, false);
    const std::int64_t y0 = scale(box.y, detected.height, delivered.height, false);
    const std::int64_t x1 =
        scale(static_cast<std::int64_t>(box.x) + box.width, detected.width, delivered.width, true);
    const std::int64_t y1 =
        scale(static_cast<std::int64_t>(box.y) + box.height, detected.height, delivered.height, true);
    return cv::Rect(clampToInt(x0), clampToInt(y0), clampToInt(x1 - x0), clampToInt(y1 - y0));
}

const cv::Mat& DetectionStep::grayOf(const cv::Mat& picture) {
    if (picture.type() == CV_8UC1) return picture;
    if (picture.type() == CV_8UC3) {
        cv::cvtColor(picture, gray, cv::COLOR_BGR2GRAY);
        return gray;
    }
    // Four channels or more than 8 bits: through BGR, as the frame reader
    // brings such frames.
    cv::Mat bgr;
    if (conformFrame(picture, picture.size(), bgr)) {
        cv::cvtColor(bgr, gray, cv::COLOR_BGR2GRAY);
    } else {
        gray = cv::Mat::zeros(picture.size(), CV_8UC1);
    }
    return gray;
}

// Area averages to `size`. Halving (exact 2 x 2 averages) costs OpenCV a
// fraction of any other factor, so a frame many times the size is halved
// first: a 4K frame reaches 640 pixels wide in a third of the time of one
// 6-fold average, and a factor that is no whole number (much the slowest)
// is left small.
const cv::Mat& DetectionStep::scaleTo(const cv::Mat& full, cv::Size size) {
    const cv::Mat* from = &full;
    for (std::size_t level = 0;
         from->cols >= kHalveFromFactor * size.width && from->rows >= kHalveFromFactor * size.height &&
         from->cols % kHalf == 0 && from->rows % kHalf == 0;
         ++level) {
        if (halves.size() <= level) halves.emplace_back();
        cv::resize(*from, halves[level], cv::Size(from->cols / kHalf, from->rows / kHalf), 0, 0,
                   cv::INTER_AREA);
        from = &halves[level];
    }
    cv::resize(*from, scaled, size, 0, 0, cv::INTER_AREA);
    return scaled;
}

const cv::Mat& DetectionStep::regionAt(cv::Size size) {
    if (region.empty() || region.size() == size) return region;
    if (regionScaledTo != size) {
        const cv::Mat inside = region != 0;
        cv::resize(inside, regionScaled, size, 0, 0, cv::INTER_AREA);
        cv::threshold(regionScaled, regionScaled, kHalfInside, kInside[0], cv::THRESH_BINARY);
        regionScaledTo = size;
    }
    return regionScaled;
}

// Once per model update: its event pixels against the region's.
std::optional<double> DetectionStep::lightChange(cv::Size size, const cv::Mat& mask) {
    if (chosen.lightChangePercent <= 0 || detector.eventMaskVersion() == checkedMaskVersion)
        return std::nullopt;
    checkedMaskVersion = detector.eventMaskVersion();
    eventMask.create(size, CV_8UC1);
    if (!detector.copyEventMask(eventMask.data)) return std::nullopt;
    const double regionPixels = mask.empty() ? static_cast<double>(size.area()) : cv::countNonZero(mask);
    if (regionPixels <= 0) return std::nullopt;
    // The detector clears event pixels outside the region.
    const double percent = kPercent * cv::countNonZero(eventMask) / regionPixels;
    if (percent <= chosen.lightChangePercent) return std::nullopt;
    detector.reset();
    checkedMaskVersion = detector.eventMaskVersion();
    return percent;
}

Detection DetectionStep::process(const cv::Mat& picture, const cv::Mat& grayLevels) {
    const cv::Size delivered = picture.size();
    const cv::Size size = detectSize(delivered);
    const cv::Mat* detected = &grayOf(picture);
    if (size != delivered) detected = &scaleTo(*detected, size);
    if (!grayLevels.empty() && picture.type() == CV_8UC1) {
        cv::LUT(*detected, grayLevels, leveled);
        detected = &leveled;
    }
    // The detector takes rows back to back; a picture lent by the decoder may
    // have padding between them.
    if (!detected->isContinuous()) {
        detected->copyTo(gray);
        detected = &gray;
    }
    const cv::Mat& mask = regionAt(size);
    detector.process(detected->data, size.width, size.height, mask.empty() ? nullptr : mask.data);
    Detection detection;
    detection.lightChangePercent = lightChange(size, mask);
    detection.objects = detector.getConfirmedObjects();
    for (ObjectTrack& object : detection.objects) object.box = toDelivered(object.box, size, delivered);
    return detection;
}

void DetectionStep::copyEventMask(cv::Size delivered, cv::Mat& mask) const {
    const cv::Size size(detector.frameWidth(), detector.frameHeight());
    if (size.area() <= 0) {
        mask = cv::Mat::zeros(delivered, CV_8UC1);
        return;
    }
    if (size == delivered) {
        mask.create(size, CV_8UC1);
        detector.copyEventMask(mask.data);
        return;
    }
    cv::Mat detected(size, CV_8UC1);
    detector.copyEventMask(detected.data);
    cv::resize(detected, mask, delivered, 0, 0, cv::INTER_NEAREST);
}

}  // namespace tarvolen
