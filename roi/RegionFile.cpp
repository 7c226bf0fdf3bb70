#include "roi/RegionFile.h"

#include <cmath>
#include <limits>

#include <nlohmann/json.hpp>
#include <opencv2/imgproc.hpp>

#include "platform/WholeFile.h"
#include "roi/Region.h"

namespace tarvolen {
namespace {

using nlohmann::json;

constexpr std::size_t kMinPolygonPoints = 3;
// Far beyond any frame, and well inside an int after rounding.
constexpr double kMaxCoordinate = 1 << 24;
const cv::Scalar kInside(255);
const cv::Scalar kOutside(0);

bool readCoordinate(const json& value, int& out) {
    if (!value.is_number()) return false;
    const double v = value.get<double>();
    if (!std::isfinite(v) || std::fabs(v) > kMaxCoordinate) return false;
    out = static_cast<int>(std::lround(v));
    return true;
}

// One polygon: an array of at least three [x, y] pairs.
std::optional<Polygon> readPolygon(const json& value, const std::string& name, std::string& error) {
    if (!value.is_array()) {
        error = name + " is not an array of [x, y] points";
        return std::nullopt;
    }
    Polygon polygon;
    for (const json& point : value) {
        cv::Point p;
        if (!point.is_array() || point.size() != 2 || !readCoordinate(point[0], p.x) ||
            !readCoordinate(point[1], p.y)) {
            error = name + ": point " + std::to_string(polygon.size() + 1) + " is not [x, y] in pixels";
            return std::nullopt;
        }
        polygon.push_back(p);
    }
    if (polygon.size() < kMinPolygonPoints) {
        error = name + " has " + std::to_string(polygon.size()) + " point" + (polygon.size() == 1 ? "" : "s") +
                "; a polygon needs at least 3";
        return std::nullopt;
    }
    return polygon;
}

bool readPolygons(const json& document, const char* key, std::vector<Polygon>& out, std::string& error) {
    const auto found = document.find(key);
    if (found == document.end()) return true;
    if (!found->is_array()) {
        error = std::string("\"") + key + "\" is not an array of polygons";
        return false;
    }
    for (std::size_t i = 0; i < found->size(); ++i) {
        std::optional<Polygon> polygon = readPolygon((*found)[i], std::string(key) + " polygon " + std::to_string(i + 1), error);
        if (!polygon) return false;
        out.push_back(std::move(*polygon));
    }
    return true;
}

// Whether the polygon, filled as the mask fills it, covers a pixel of the
// frame. Only the part of the frame under its bounding box is drawn.
bool touchesFrame(const Polygon& polygon, cv::Size frameSize) {
    const cv::Rect overlap = cv::boundingRect(polygon) & cv::Rect(cv::Point(0, 0), frameSize);
    if (overlap.empty()) return false;
    cv::Mat part = cv::Mat::zeros(overlap.size(), CV_8UC1);
    const std::vector<Polygon> shape{polygon};
    cv::fillPoly(part, shape, kInside, cv::LINE_8, 0, -overlap.tl());
    return cv::countNonZero(part) > 0;
}

void fill(cv::Mat& mask, const std::vector<Polygon>& polygons, const cv::Scalar& value) {
    if (!polygons.empty()) cv::fillPoly(mask, polygons, value, cv::LINE_8);
}

}  // namespace

std::optional<PolygonRegions> parseRegionFile(std::string_view text, std::string& error) {
    json document;
    try {
        document = json::parse(text.begin(), text.end());
    } catch (const json::exception&) {
        error = "not a JSON document";
        return std::nullopt;
    }
    if (!document.is_object()) {
        error = "not a JSON object with \"include\" and \"exclude\" polygons";
        return std::nullopt;
    }
    for (const auto& item : document.items()) {
        if (item.key() != "include" && item.key() != "exclude") {
            error = "unknown key \"" + item.key() + "\" (expected \"include\" and \"exclude\")";
            return std::nullopt;
        }
    }
    PolygonRegions regions;
    if (!readPolygons(document, "include", regions.include, error) ||
        !readPolygons(document, "exclude", regions.exclude, error))
        return std::nullopt;
    if (regions.empty()) {
        error = "holds no polygon";
        return std::nullopt;
    }
    return regions;
}

std::optional<PolygonRegions> readRegionFile(const std::string& path, std::string& error) {
    std::string text;
    if (!readWholeFile(path, text)) {
        error = path + ": cannot be read";
        return std::nullopt;
    }
    std::optional<PolygonRegions> regions = parseRegionFile(text, error);
    if (!regions) error = path + ": " + error;
    return regions;
}

std::optional<std::string> polygonOutsideFrame(const PolygonRegions& regions, cv::Size frameSize) {
    for (std::size_t i = 0; i < regions.include.size(); ++i)
        if (!touchesFrame(regions.include[i], frameSize)) return "include polygon " + std::to_string(i + 1);
    for (std::size_t i = 0; i < regions.exclude.size(); ++i)
        if (!touchesFrame(regions.exclude[i], frameSize)) return "exclude polygon " + std::to_string(i + 1);
    return std::nullopt;
}

cv::Mat regionMask(const std::vector<cv::Rect>& rectangles, const PolygonRegions& polygons, cv::Size frameSize) {
    const bool wholeFrame = rectangles.empty() && polygons.include.empty();
    cv::Mat mask = wholeFrame ? cv::Mat(frameSize, CV_8UC1, kInside) : regionMask(rectangles, frameSize);
    if (rectangles.empty() && !wholeFrame) mask.setTo(kOutside);
    fill(mask, polygons.include, kInside);
    fill(mask, polygons.exclude, kOutside);
    return mask;
}

}  // namespace tarvolen
