#include "draw/Overlays.h"

#include <opencv2/imgproc.hpp>

namespace tarvolen {
namespace {

constexpr int kBoxMargin = 5;          // px added on every side of an object box
constexpr int kBoxThickness = 2;       // px
constexpr int kTextRightOffset = 200;  // px from the right edge to the text's start
constexpr int kTextBaseline = 15;      // px from the top
constexpr double kTextScale = 0.5;
const cv::Point kRecordingLabelOrigin(5, 15);
const cv::Point kEventLabelOrigin(5, 35);  // one line below "RECORDING"
const cv::Point kSourceLostLabelOrigin(5, 55);  // one line below "EVENT"
const cv::Scalar kBlue(255, 0, 0);
const cv::Scalar kRed(0, 0, 255);
const cv::Scalar kYellow(0, 255, 255);
const cv::Scalar kCyan(255, 255, 0);

void drawLabel(cv::Mat& frame, const std::string& text, cv::Point origin, const cv::Scalar& colour = kRed) {
    cv::putText(frame, text, origin, cv::FONT_HERSHEY_SIMPLEX, kTextScale, colour, 1, cv::LINE_8, false);
}

}  // namespace

void drawObjectBoxes(cv::Mat& frame, const std::vector<ObjectTrack>& objects) {
    for (const ObjectTrack& object : objects) {
        const cv::Rect& b = object.box;
        const cv::Rect grown(b.x - kBoxMargin, b.y - kBoxMargin, b.width + 2 * kBoxMargin,
                             b.height + 2 * kBoxMargin);
        cv::rectangle(frame, grown, kBlue, kBoxThickness, cv::LINE_8, 0);
    }
}

std::string processingTimeText(int milliseconds) {
    return "Processing time " + std::to_string(milliseconds) + " ms";
}

void drawProcessingTime(cv::Mat& frame, int milliseconds, int frameWidth) {
    drawLabel(frame, processingTimeText(milliseconds),
              cv::Point(frameWidth - kTextRightOffset, kTextBaseline));
}

void drawLiveAnnotation(cv::Mat& frame, const std::vector<ObjectTrack>& objects, const RoiSelection& region,
                        int processingMs) {
    drawObjectBoxes(frame, objects);
    drawRoiOverlay(frame, region);
    drawProcessingTime(frame, processingMs, frame.cols);
}

void drawLiveAnnotation(cv::Mat& frame, const std::vector<ObjectTrack>& objects, const RegionOutline& region,
                        int processingMs) {
    drawObjectBoxes(frame, objects);
    drawRegionOutline(frame, region);
    drawProcessingTime(frame, processingMs, frame.cols);
}

void drawRecordingLabel(cv::Mat& frame) { drawLabel(frame, "RECORDING", kRecordingLabelOrigin); }

void drawEventLabel(cv::Mat& frame) { drawLabel(frame, "EVENT", kEventLabelOrigin, kYellow); }

void drawSourceLostLabel(cv::Mat& frame) { drawLabel(frame, "VIDEO SOURCE LOST", kSourceLostLabelOrigin); }

void drawRoiOverlay(cv::Mat& frame, const RoiSelection& selection) {
    // A selection released above or left of its start has no extent to draw.
    const cv::Rect r = selectionRect(selection);
    if (r.width > 0 && r.height > 0) cv::rectangle(frame, r, kCyan, 1, cv::LINE_8, 0);
}

void drawRegionOutline(cv::Mat& frame, const RegionOutline& outline) {
    cv::drawContours(frame, outline, -1, kCyan, 1, cv::LINE_8);
}

}  // namespace tarvolen
