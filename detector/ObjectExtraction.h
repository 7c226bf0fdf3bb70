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
// are set; outside the image counts as set.
void erodeEventMask(const cv::Mat& mask, cv::Mat& eroded);

// Boxes of the outer contours of the eroded mask that pass the size limits
// and cover at least five set pixels, each with the new-track score.
void findCandidates(const cv::Mat& eroded, const ObjectSizeLimits& limits,
                    std::vector<std::vector<cv::Point>>& contours, std::vector<ObjectTrack>& candidates);

// One pass of decay, association, suppression, pruning and the overflow rule.
void updateTracks(std::vector<ObjectTrack>& tracks, const std::vector<ObjectTrack>& candidates);

}  // namespace tarvolen
