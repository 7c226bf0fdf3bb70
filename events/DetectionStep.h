// The one way a delivered frame becomes confirmed objects, shared by the
// three programs: its gray picture, scaled to the detection width when one is
// set, the region of interest, the detector, the change-of-light rule, and the
// boxes brought back to the delivered frame's pixels.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include <opencv2/core.hpp>

#include "config/DetectionSettings.h"
#include "detector/Detector.h"

namespace tarvolen {

// The size frames of `delivered` are detected at with `detectWidth`:
// `delivered` itself for 0; else that width, the height in proportion,
// rounded to the nearest pixel and at least 1.
cv::Size detectionSize(cv::Size delivered, int detectWidth);

struct Detection {
    // The confirmed objects, their boxes in the delivered frame's pixels.
    std::vector<ObjectTrack> objects;
    // On the frame whose model update was a change of light: how much of the
    // region changed, in percent.
    std::optional<double> lightChangePercent;
};

class DetectionStep {
public:
    // The detector is the caller's (it may be reset or reconfigured between
    // frames); the step keeps the images it works on.
    explicit DetectionStep(Detector& fed, DetectionSettings settings = DetectionSettings());

    // Sizes the detector and the step's images for frames of `delivered` now,
    // ahead of the first one; throws std::bad_alloc when they cannot be had.
    void prepare(cv::Size delivered);

    // The region of interest from the next frame on, in delivered pixels:
    // CV_8UC1, non-zero inside; empty for the whole frame. Its pixels are
    // shared, not copied: a change made to them must be set again. A mask of
    // another size than the frames is scaled to them.
    void setRegion(const cv::Mat& region);

    // One delivered frame, 8-bit: BGR (made gray as cv::cvtColor makes it) or
    // gray. With no detection width, no region and no light rule, exactly
    // what the detector fed the same gray frame gives. `grayLevels` (1 x 256)
    // is given when the picture holds codes, not gray (the decoder's luma
    // plane): it is applied once the picture is at the detection size, where
    // it costs least.
    Detection process(const cv::Mat& picture, const cv::Mat& grayLevels = cv::Mat());

    // The detector's event mask in the pixels of frames of `delivered` (255 =
    // event); all 0 before the first frame.
    void copyEventMask(cv::Size delivered, cv::Mat& mask) const;

    cv::Size detectSize(cv::Size delivered) const { return detectionSize(delivered, chosen.detectWidth); }

    // A box of the detected frame (of `detected` size) in the delivered
    // frame's pixels: its edges are taken outward to whole pixels, so that
    // the box covers every delivered pixel its detected pixels were averaged
    // from.
    static cv::Rect toDelivered(const cv::Rect& box, cv::Size detected, cv::Size delivered);

    const DetectionSettings& settings() const { return chosen; }

private:
    const cv::Mat& grayOf(const cv::Mat& picture);
    const cv::Mat& scaleTo(const cv::Mat& full, cv::Size size);
    const cv::Mat& regionAt(cv::Size size);
    std::optional<double> lightChange(cv::Size size, const cv::Mat& region);

    Detector& detector;
    const DetectionSettings chosen;
    cv::Mat gray;                 // of a BGR frame, or a gray one made continuous
    std::vector<cv::Mat> halves;  // the gray frame halved, once, twice ... on the way there
    cv::Mat scaled;               // the gray frame at the detection size
    cv::Mat leveled;              // luma codes made gray
    cv::Mat region;               // as set, in delivered pixels
    cv::Mat regionScaled;         // at `regionScaledTo`, made when first needed
    cv::Size regionScaledTo;
    cv::Mat eventMask;  // the light rule's copy
    std::uint64_t checkedMaskVersion = 0;
};

}  // namespace tarvolen
