// What the main loop draws onto the colour frame.
#pragma once

#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "detector/Detector.h"
#include "roi/RoiSelection.h"

namespace tarvolen {

// Frames every object, its box grown by 5 px on each side, in blue.
void drawObjectBoxes(cv::Mat& frame, const std::vector<ObjectTrack>& objects);

std::string processingTimeText(int milliseconds);

// "Processing time N ms" in red, 200 px left of the right edge.
void drawProcessingTime(cv::Mat& frame, int milliseconds, int frameWidth);

// Outlines the selection in cyan, one pixel wide.
void drawRoiOverlay(cv::Mat& frame, const RoiSelection& selection);

// Draws a region's outline like drawRoiOverlay(): for a rectangle, the very
// same pixels.
void drawRegionOutline(cv::Mat& frame, const RegionOutline& outline);

// The annotated frame as the live program shows and records it and the
// watcher records it: the object boxes, the region's outline (when one is
// selected) and the processing time.
void drawLiveAnnotation(cv::Mat& frame, const std::vector<ObjectTrack>& objects, const RoiSelection& region,
                        int processingMs);
// The same with a region of any shape, outlined as the scan outlines it.
void drawLiveAnnotation(cv::Mat& frame, const std::vector<ObjectTrack>& objects, const RegionOutline& region,
                        int processingMs);

// "RECORDING" in red at the top left.
void drawRecordingLabel(cv::Mat& frame);

// "EVENT" in yellow below where "RECORDING" goes.
void drawEventLabel(cv::Mat& frame);

// "VIDEO SOURCE LOST" in red below where "EVENT" goes.
void drawSourceLostLabel(cv::Mat& frame);

}  // namespace tarvolen
