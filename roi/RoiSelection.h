// Mouse selection of the region of interest: the dragged rectangle, the mask
// it paints, and its outline on the input video.
#pragma once

#include <atomic>
#include <vector>

#include <opencv2/core.hpp>

#include "detector/Detector.h"

namespace tarvolen {

// Corners of the selection, inclusive: columns x0..x1 and rows y0..y1.
struct RoiSelection {
    std::atomic<int> x0{0};
    std::atomic<int> y0{0};
    std::atomic<int> x1{0};
    std::atomic<int> y1{0};
    bool dragging = false;
};

// Everything a mouse event may change.
struct RoiTarget {
    RoiSelection& selection;
    cv::Mat& roiMask;  // CV_8UC1, frame-sized; 255 inside the region, 0 outside
    Detector& detector;
    int frameWidth;
    int frameHeight;
};

// Handles one HighGUI mouse event: a left press starts a drag, moves to the
// lower right follow it, and a release that leaves a rectangle of at least
// 2 x 2 pixels makes it the region of interest and resets the detector.
// Other events are ignored.
void handleRoiMouseEvent(int event, int x, int y, const RoiTarget& target);

// The selection as a rectangle; empty or negative when the release was above
// or left of the press point.
cv::Rect selectionRect(const RoiSelection& selection);

// Outlines the selection in cyan, one pixel wide.
void drawRoiOverlay(cv::Mat& frame, const RoiSelection& selection);

// The outline of a region given as a mask (non-zero inside), any shape, with
// the outlines of its holes.
using RegionOutline = std::vector<std::vector<cv::Point>>;
RegionOutline regionOutline(const cv::Mat& roiMask);
// Draws it like drawRoiOverlay(): for a rectangle, the very same pixels.
void drawRegionOutline(cv::Mat& frame, const RegionOutline& outline);

}  // namespace tarvolen
