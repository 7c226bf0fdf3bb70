#include "roi/RoiSelection.h"

#include <algorithm>

#include <opencv2/highgui.hpp>
#include <opencv2/imgproc.hpp>

namespace tarvolen {
namespace {

const cv::Scalar kInside(255, 255, 255, 0);

// Coordinates are clamped from above only: HighGUI may report positions past
// the image, and a start left of or above it still fills from the edge.
int clampX(int x, const RoiTarget& t) { return std::min(x, t.frameWidth - 1); }
int clampY(int y, const RoiTarget& t) { return std::min(y, t.frameHeight - 1); }

void onPress(int x, int y, const RoiTarget& t) {
    RoiSelection& s = t.selection;
    s.dragging = true;
    s.x0 = clampX(x, t);
    s.y0 = clampY(y, t);
    s.x1 = s.x0.load();
    s.y1 = s.y0.load();
}

void onMove(int x, int y, const RoiTarget& t) {
    RoiSelection& s = t.selection;
    if (!s.dragging || x <= s.x0 || y <= s.y0) return;
    s.x1 = clampX(x, t);
    s.y1 = clampY(y, t);
}

bool onRelease(int x, int y, const RoiTarget& t) {
    RoiSelection& s = t.selection;
    s.dragging = false;
    s.x1 = clampX(x, t);
    s.y1 = clampY(y, t);
    if (s.x1 <= s.x0 || s.y1 <= s.y0) return false;
    t.roiMask.setTo(0);
    cv::rectangle(t.roiMask, selectionRect(s), kInside, cv::FILLED, cv::LINE_8, 0);
    return true;
}

}  // namespace

bool handleRoiMouseEvent(int event, int x, int y, const RoiTarget& target) {
    switch (event) {
        case cv::EVENT_LBUTTONDOWN:
            onPress(x, y, target);
            break;
        case cv::EVENT_MOUSEMOVE:
            onMove(x, y, target);
            break;
        case cv::EVENT_LBUTTONUP:
            return onRelease(x, y, target);
        default:
            break;
    }
    return false;
}

cv::Rect selectionRect(const RoiSelection& s) {
    const int x0 = s.x0, y0 = s.y0, x1 = s.x1, y1 = s.y1;
    return cv::Rect(x0, y0, x1 - x0 + 1, y1 - y0 + 1);
}

RegionOutline regionOutline(const cv::Mat& roiMask) {
    RegionOutline outline;
    cv::findContours(roiMask, outline, cv::RETR_LIST, cv::CHAIN_APPROX_SIMPLE);
    return outline;
}

}  // namespace tarvolen
