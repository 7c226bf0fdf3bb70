// Mouse selection of the region of interest: the dragged rectangle and the
// mask it paints.
#pragma once

#include <atomic>
#include <vector>

#include <opencv2/core.hpp>

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
    int frameWidth;
    int frameHeight;
};

// Handles one HighGUI mouse event: a left press starts a drag, moves to the
// lower right follow it, and a release that leaves a rectangle of at least
// 2 x 2 pixels makes it the region of interest. True exactly when a new region
// was made: the caller then starts the model afresh. Other events are ignored.
bool handleRoiMouseEvent(int event, int x, int y, const RoiTarget& target);

// The selection as a rectangle; empty or negative when the release was above
// or left of the press point.
cv::Rect selectionRect(const RoiSelection& selection);

// The outline of a region given as a mask (non-zero inside), any shape, with
// the outlines of its holes.
using RegionOutline = std::vector<std::vector<cv::Point>>;
RegionOutline regionOutline(const cv::Mat& roiMask);

}  // namespace tarvolen
