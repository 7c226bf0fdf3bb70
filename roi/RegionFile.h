// Regions of any shape, from a file: include polygons, and exclude polygons
// cut out of them, in frame pixels.
//
//   {
//     "include": [[[x, y], [x, y], [x, y], ...], ...],
//     "exclude": [[[x, y], [x, y], [x, y], ...], ...]
//   }
//
// Both keys are optional, but the file must name at least one polygon; with
// no include polygon (and no rectangle beside it) the whole frame is the
// region, less what is excluded. Coordinates are numbers (rounded to whole
// pixels); a polygon needs at least 3 points. No other key is allowed.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <opencv2/core.hpp>

namespace tarvolen {

using Polygon = std::vector<cv::Point>;

struct PolygonRegions {
    std::vector<Polygon> include;
    std::vector<Polygon> exclude;

    bool empty() const { return include.empty() && exclude.empty(); }
};

// The regions of a file's text; nothing, with `error` saying what is wrong
// (without the file's name), when the text is not such a document.
std::optional<PolygonRegions> parseRegionFile(std::string_view text, std::string& error);

// The same for a file; `error` then starts with the file's name.
std::optional<PolygonRegions> readRegionFile(const std::string& path, std::string& error);

// The first polygon that has no pixel inside a frame of `frameSize`, as text
// ("include polygon 2"), or nothing.
std::optional<std::string> polygonOutsideFrame(const PolygonRegions& regions, cv::Size frameSize);

// 255 inside the union of the rectangles (each clipped to the frame) and the
// include polygons, less the exclude polygons; 0 elsewhere. With neither
// rectangles nor include polygons the whole frame is inside.
cv::Mat regionMask(const std::vector<cv::Rect>& rectangles, const PolygonRegions& polygons, cv::Size frameSize);

}  // namespace tarvolen
