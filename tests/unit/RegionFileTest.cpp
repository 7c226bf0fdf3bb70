#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "TestSupport.h"
#include "roi/RegionFile.h"

namespace tarvolen {
namespace {

const cv::Size kFrame(320, 240);

PolygonRegions parsed(const std::string& text) {
    std::string error;
    const std::optional<PolygonRegions> regions = parseRegionFile(text, error);
    EXPECT_TRUE(regions.has_value()) << error;
    return regions.value_or(PolygonRegions{});
}

bool same(const cv::Mat& a, const cv::Mat& b) { return a.size() == b.size() && cv::countNonZero(a != b) == 0; }

// What OpenCV's own polygon filling gives for the same shapes.
cv::Mat filledByOpenCv(const std::vector<Polygon>& include, const std::vector<Polygon>& exclude) {
    cv::Mat expected = cv::Mat::zeros(kFrame, CV_8UC1);
    cv::fillPoly(expected, include, cv::Scalar(255), cv::LINE_8);
    if (!exclude.empty()) cv::fillPoly(expected, exclude, cv::Scalar(0), cv::LINE_8);
    return expected;
}

TEST(RegionFileMask, ATriangleIsFilledAsOpenCvFillsIt) {
    const PolygonRegions r = parsed(R"({"include": [[[10, 10], [300, 40], [60, 220]]]})");
    EXPECT_TRUE(same(regionMask({}, r, kFrame), filledByOpenCv(r.include, {})));
}

TEST(RegionFileMask, ExclusionsAreCutOutOfEveryInclusion) {
    const PolygonRegions r = parsed(R"({
        "include": [[[0, 0], [200, 0], [200, 200], [0, 200]], [[150, 20], [310, 20], [310, 230]]],
        "exclude": [[[50, 50], [250, 60], [120, 150]], [[-20, 180], [30, 180], [30, 260], [-20, 260]]]
    })");
    const cv::Mat mask = regionMask({}, r, kFrame);
    EXPECT_TRUE(same(mask, filledByOpenCv(r.include, r.exclude)));
    EXPECT_EQ(mask.at<unsigned char>(100, 120), 0) << "inside an exclusion";
    EXPECT_EQ(mask.at<unsigned char>(10, 10), 255);
}

TEST(RegionFileMask, AConcaveSelfCrossingShapeMatchesOpenCv) {
    const PolygonRegions r = parsed(R"({"include": [[[10, 10], [300, 200], [300, 10], [10, 200], [160, 100.4]]]})");
    EXPECT_TRUE(same(regionMask({}, r, kFrame), filledByOpenCv(r.include, {})));
}

TEST(RegionFileMask, RectanglesAddToPolygonsAndExclusionsCutBoth) {
    const PolygonRegions r = parsed(R"({"include": [[[200, 100], [300, 100], [250, 200]]],
                                        "exclude": [[[0, 0], [60, 0], [60, 60], [0, 60]]]})");
    const cv::Rect rectangle(20, 20, 100, 100);
    cv::Mat expected = filledByOpenCv(r.include, {});
    expected(rectangle).setTo(255);
    cv::fillPoly(expected, r.exclude, cv::Scalar(0), cv::LINE_8);
    EXPECT_TRUE(same(regionMask({rectangle}, r, kFrame), expected));
}

TEST(RegionFileMask, OnlyExclusionsLeaveTheRestOfTheFrame) {
    const PolygonRegions r = parsed(R"({"exclude": [[[0, 0], [100, 0], [100, 50]]]})");
    cv::Mat expected(kFrame, CV_8UC1, cv::Scalar(255));
    cv::fillPoly(expected, r.exclude, cv::Scalar(0), cv::LINE_8);
    EXPECT_TRUE(same(regionMask({}, r, kFrame), expected));
}

TEST(RegionFileFrame, APolygonWhollyOutsideTheFrameIsNamed) {
    EXPECT_FALSE(polygonOutsideFrame(parsed(R"({"include": [[[-5, -5], [5, -5], [5, 5]]]})"), kFrame));
    EXPECT_EQ(polygonOutsideFrame(parsed(R"({"include": [[[0, 0], [9, 0], [9, 9]], [[400, 0], [500, 0], [450, 90]]]})"),
                                  kFrame),
              std::optional<std::string>("include polygon 2"));
    EXPECT_EQ(polygonOutsideFrame(parsed(R"({"exclude": [[[0, -50], [50, -50], [25, -1]]]})"), kFrame),
              std::optional<std::string>("exclude polygon 1"));
    // Its bounding box reaches into the frame, the triangle itself does not.
    EXPECT_EQ(polygonOutsideFrame(parsed(R"({"include": [[[-100, 10], [10, -100], [-100, -100]]]})"), kFrame),
              std::optional<std::string>("include polygon 1"));
}

struct BadFile {
    const char* name;
    const char* text;
    const char* problem;
};

class BadRegionFile : public ::testing::TestWithParam<BadFile> {};

TEST_P(BadRegionFile, IsRefusedSayingWhy) {
    std::string error;
    EXPECT_FALSE(parseRegionFile(GetParam().text, error).has_value());
    EXPECT_NE(error.find(GetParam().problem), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BadRegionFile,
    ::testing::Values(BadFile{"NotJson", "{\"include\": [", "not a JSON document"},
                      BadFile{"Array", "[[[0,0],[1,0],[1,1]]]", "not a JSON object"},
                      BadFile{"Empty", "{}", "holds no polygon"},
                      BadFile{"NoPolygonInLists", R"({"include": [], "exclude": []})", "holds no polygon"},
                      BadFile{"UnknownKey", R"({"include": [[[0,0],[1,0],[1,1]]], "colour": 1})", "unknown key \"colour\""},
                      BadFile{"TwoPoints", R"({"include": [[[0,0],[10,0]]]})", "include polygon 1 has 2 points"},
                      BadFile{"PointNotPair", R"({"include": [[[0,0],[10,0,3],[5,5]]]})", "point 2 is not [x, y]"},
                      BadFile{"StringCoordinate", R"({"exclude": [[[0,0],["10",0],[5,5]]]})", "exclude polygon 1: point 2"},
                      BadFile{"HugeCoordinate", R"({"include": [[[0,0],[1e300,0],[5,5]]]})", "point 2"},
                      BadFile{"NotAList", R"({"include": 5})", "\"include\" is not an array"},
                      BadFile{"PolygonNotList", R"({"include": [7]})", "include polygon 1 is not an array"}),
    [](const ::testing::TestParamInfo<BadFile>& testCase) { return std::string(testCase.param.name); });

TEST(RegionFileRead, AMissingFileIsNamed) {
    std::string error;
    EXPECT_FALSE(readRegionFile("/nonexistent/regions.json", error).has_value());
    EXPECT_EQ(error, "/nonexistent/regions.json: cannot be read");
}

TEST(RegionFileRead, AFileWithAProblemNamesFileAndProblem) {
    const test::TempFolder temp;
    const std::string path = temp.file("regions-bad.json");
    test::writeFile(path, R"({"include": [[[0,0],[1,1]]]})");
    std::string error;
    EXPECT_FALSE(readRegionFile(path, error).has_value());
    EXPECT_EQ(error, path + ": include polygon 1 has 2 points; a polygon needs at least 3");
}

}  // namespace
}  // namespace tarvolen
