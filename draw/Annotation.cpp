#include "draw/Annotation.h"

#include <algorithm>

#include <opencv2/imgproc.hpp>

#include "draw/Overlays.h"
#include "draw/Timecode.h"

namespace tarvolen {
namespace {

constexpr double kTextScalePer100Rows = 0.1;  // font scale per 100 rows of frame
constexpr double kMinTextScale = 0.5;
constexpr int kMargin = 5;  // px from the top-left corner
const cv::Scalar kTextColour(255, 255, 255);
const cv::Scalar kOutlineColour(0, 0, 0);

}  // namespace

void drawTimecode(cv::Mat& frame, double ms) {
    const double scale = std::max(kMinTextScale, frame.rows / 100.0 * kTextScalePer100Rows);
    const int thickness = std::max(1, static_cast<int>(scale * 1.5));
    const std::string text = formatTimecode(ms);
    int baseline = 0;
    const cv::Size size = cv::getTextSize(text, cv::FONT_HERSHEY_SIMPLEX, scale, thickness, &baseline);
    const cv::Point origin(kMargin + thickness, kMargin + thickness + size.height);
    cv::putText(frame, text, origin, cv::FONT_HERSHEY_SIMPLEX, scale, kOutlineColour, thickness + 2,
                cv::LINE_AA);
    cv::putText(frame, text, origin, cv::FONT_HERSHEY_SIMPLEX, scale, kTextColour, thickness, cv::LINE_AA);
}

void annotateFrame(cv::Mat& frame, const std::vector<cv::Rect>& objects, const RegionOutline& region,
                   double ms) {
    std::vector<ObjectTrack> tracks;
    tracks.reserve(objects.size());
    for (const cv::Rect& box : objects) tracks.push_back(ObjectTrack{box, 0});
    drawObjectBoxes(frame, tracks);
    drawRegionOutline(frame, region);
    drawTimecode(frame, ms);
}

}  // namespace tarvolen
