// Turning an event mask into candidate boxes and following them as scored
// tracks. Internal to the detector library; exposed for its tests.
#pragma once

#include <vector>

#include <opencv2/core.hpp>

#include "detector/Detector.h"

namespace tarvolen {

struct ObjectSizeLimits {
    int minWidth;
    int minHeight;
    int maxWidth;
    int maxHeight;
};

constexpr int kNewTrackScore = 6;
// A track list longer than this after pruning is taken as noise and dropped.
constexpr int kMaxTracks = 80;

// Two boxes are near when, each widened by 3 px on every side, they overlap
// or touch on both axes.
bool boxesAreNear(const cv::Rect& a, const cv::Rect& b);

// Keeps a pixel only when it and its left, upper and upper-left neighbours
// are set; outside the image counts as set. This is cv::erode with a 2 x 2
// rectangle anchored at its bottom-right cell and a constant border of 255,
// done in one pass.
void erodeEventMask(const cv::Mat& mask, cv::Mat& eroded);

// The same erosion for rows [rowBegin, rowEnd) of a mask `width` bytes wide
// (each output pixel the minimum of the 2 x 2 block ending at it). Returns
// the bounding box of the non-zero pixels written, empty when none.
cv::Rect erodeRows(const unsigned char* mask, int width, int rowBegin, int rowEnd, unsigned char* eroded);

// Boxes of the outer contours of the eroded mask that pass the size limits
// and cover at least five set pixels, each with the new-track score.
void findCandidates(const cv::Mat& eroded, const ObjectSizeLimits& limits,
                    std::vector<std::vector<cv::Point>>& contours, std::vector<ObjectTrack>& candidates);
// The same when every set pixel of `eroded` lies within `setPixels`: the
// contours are traced in that part of the image only.
void findCandidates(const cv::Mat& eroded, const cv::Rect& setPixels, const ObjectSizeLimits& limits,
                    std::vector<std::vector<cv::Point>>& contours, std::vector<ObjectTrack>& candidates);

// One pass of decay, association, suppression, pruning and the overflow rule.
void updateTracks(std::vector<ObjectTrack>& tracks, const std::vector<ObjectTrack>& candidates);

}  // namespace tarvolen
