// The region of interest of a scan: the union of rectangles given on the
// command line, clipped to the frame.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace tarvolen {

// "X,Y,W,H" in pixels (X and Y may be negative); nullopt with `error` set
// when the text is not four integers or W or H is below 1.
std::optional<cv::Rect> parseRegion(const std::string& text, std::string& error);

// The first rectangle that lies wholly outside a frame of `frameSize`.
std::optional<cv::Rect> regionOutsideFrame(const std::vector<cv::Rect>& regions, cv::Size frameSize);

// 255 inside the union of the rectangles (each clipped to the frame), 0
// elsewhere; all 255 when there are none.
cv::Mat regionMask(const std::vector<cv::Rect>& regions, cv::Size frameSize);

}  // namespace tarvolen
