// How the scan's clips and annotated video look: the live view's object
// boxes and region outline, plus the frame's timecode.
#pragma once

#include <vector>

#include <opencv2/core.hpp>

#include "roi/RoiSelection.h"

namespace tarvolen {

// The timecode at the top left, white on a dark outline, sized to the frame.
void drawTimecode(cv::Mat& frame, double ms);

// Boxes, then the region outline (when a region was given), then the time.
void annotateFrame(cv::Mat& frame, const std::vector<cv::Rect>& objects, const RegionOutline& region,
                   double ms);

}  // namespace tarvolen
