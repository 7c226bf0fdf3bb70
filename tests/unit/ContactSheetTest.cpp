#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "scan/ContactSheet.h"

namespace tarvolen {
namespace {

bool overlaps(const cv::Rect& a, const cv::Rect& b) { return (a & b).area() > 0; }
bool inside(const cv::Rect& r, cv::Size canvas) { return (r & cv::Rect(cv::Point(), canvas)) == r; }

class SheetLayoutTest : public ::testing::TestWithParam<int> {};

TEST_P(SheetLayoutTest, TilesFitWithoutOverlapBelowTheTimeline) {
    const int events = GetParam();
    const SheetLayout layout = layoutSheet(events, cv::Size(1920, 1080));
    const int shown = std::min(events, kMaxSheetTiles);
    EXPECT_EQ(layout.moreTile, events > kMaxSheetTiles);
    ASSERT_EQ(layout.pictures.size(), static_cast<std::size_t>(shown + (layout.moreTile ? 1 : 0)));
    ASSERT_EQ(layout.labels.size(), layout.pictures.size());
    EXPECT_TRUE(inside(layout.timeline, layout.canvas));
    EXPECT_LT(layout.header.br().y, layout.timeline.y + 1);
    for (std::size_t i = 0; i < layout.pictures.size(); ++i) {
        EXPECT_TRUE(inside(layout.pictures[i], layout.canvas)) << i;
        EXPECT_TRUE(inside(layout.labels[i], layout.canvas)) << i;
        EXPECT_GE(layout.pictures[i].y, layout.axis.br().y);
        EXPECT_EQ(layout.pictures[i].size(), sheetPictureSize(cv::Size(1920, 1080)));
        for (std::size_t j = 0; j < i; ++j) {
            EXPECT_FALSE(overlaps(layout.pictures[i], layout.pictures[j])) << i << " " << j;
            EXPECT_FALSE(overlaps(layout.labels[i], layout.pictures[j])) << i << " " << j;
        }
    }
    if (!layout.pictures.empty()) {
        EXPECT_LE(layout.labels.back().br().y, layout.canvas.height);
    }
}

INSTANTIATE_TEST_SUITE_P(Counts, SheetLayoutTest, ::testing::Values(0, 1, 4, 5, 47, 48, 49, 500));

TEST(SheetLayout, KeepsTheFramesAspectInFourColumns) {
    EXPECT_EQ(sheetPictureSize(cv::Size(1920, 1080)), cv::Size(320, 180));
    EXPECT_EQ(sheetPictureSize(cv::Size(768, 576)), cv::Size(320, 240));
    EXPECT_EQ(sheetPictureSize(cv::Size(4000, 10)).height, 40);  // bounded for odd shapes
    EXPECT_EQ(sheetPictureSize(cv::Size(10, 4000)).height, 640);
    const SheetLayout five = layoutSheet(5, cv::Size(640, 480));
    EXPECT_EQ(five.pictures[3].y, five.pictures[0].y);  // four in a row
    EXPECT_GT(five.pictures[4].y, five.pictures[0].y);
    EXPECT_EQ(five.pictures[4].x, five.pictures[0].x);
    EXPECT_EQ(layoutSheet(0, cv::Size(640, 480)).canvas.width, five.canvas.width);
}

TEST(TimelineTicks, UseARoundStepThatLeavesRoomForLabels) {
    EXPECT_EQ(timelineTicks(79500, 1300),
              (std::vector<double>{0, 10000, 20000, 30000, 40000, 50000, 60000, 70000}));
    const std::vector<double> hour = timelineTicks(3600000, 1300);
    EXPECT_EQ(hour.size(), 13u);  // every 5 minutes
    EXPECT_EQ(hour[1], 300000);
    EXPECT_EQ(timelineTicks(2500, 1300), (std::vector<double>{0, 1000, 2000}));
    const std::vector<double> week = timelineTicks(7 * 86400000.0, 1300);
    EXPECT_LE(week.size(), 14u);
    EXPECT_EQ(timelineTicks(0, 1300), (std::vector<double>{0}));
    for (double ms : {1.0, 999.0, 61000.0, 86400000.0, 1e10})
        EXPECT_LE(timelineTicks(ms, 1300).size(), 14u) << ms;
}

cv::Mat busyPicture(cv::Size size) {
    cv::Mat p(size, CV_8UC3, cv::Scalar(40, 120, 40));
    cv::circle(p, cv::Point(size.width / 2, size.height / 2), size.height / 4, cv::Scalar(200, 200, 255),
               cv::FILLED);
    return p;
}

TEST(ContactSheet, RendersTimelineTilesAndTheMoreTile) {
    const cv::Size frame(640, 360);
    ContactSheet sheet("clip.avi", frame);
    const cv::Mat picture = sheet.makePicture(busyPicture(frame));
    EXPECT_EQ(picture.size(), sheetPictureSize(frame));
    for (int n = 1; n <= 50; ++n)
        sheet.addEvent(n, n * 1000.0, n * 1000.0 + 500, picture, {cv::Rect(100, 100, 40, 40)});
    const cv::Mat out = sheet.render(60000, 600);
    const SheetLayout layout = layoutSheet(50, frame);
    ASSERT_EQ(out.size(), layout.canvas);
    ASSERT_EQ(out.type(), CV_8UC3);
    // Tiles hold the picture, the boxes drawn in blue.
    const cv::Mat tile = out(layout.pictures[0]);
    EXPECT_GT(cv::norm(cv::mean(tile) - cv::mean(picture)), 0.0);
    cv::Mat blue;
    cv::inRange(tile, cv::Scalar(200, 0, 0), cv::Scalar(255, 60, 60), blue);
    EXPECT_GT(cv::countNonZero(blue), 50);
    // Event spans are coloured on the bar.
    cv::Mat bar;
    cv::cvtColor(out(layout.timeline), bar, cv::COLOR_BGR2HSV);
    std::vector<cv::Mat> hsv;
    cv::split(bar, hsv);
    EXPECT_GT(cv::countNonZero(hsv[1] > 100), 200);
    // The last tile is text, not a picture: mostly the plain tile colour.
    const cv::Mat more = out(layout.pictures.back());
    cv::Scalar mean, deviation;
    cv::meanStdDev(more, mean, deviation);
    EXPECT_GT(deviation[0], 1.0);  // some text
    EXPECT_LT(std::abs(mean[1] - 72.0), 30.0);
}

TEST(ContactSheet, WithoutEventsShowsAnEmptyTimeline) {
    ContactSheet sheet("quiet.avi", cv::Size(320, 240));
    const cv::Mat out = sheet.render(10000, 100);
    EXPECT_EQ(out.size(), layoutSheet(0, cv::Size(320, 240)).canvas);
    cv::Scalar mean, deviation;
    cv::meanStdDev(out, mean, deviation);
    EXPECT_GT(deviation[0], 5.0);  // title, bar and ticks are drawn
}

TEST(ContactSheet, AnEventWithoutAPictureStillGetsItsTile) {
    const cv::Size frame(320, 240);
    ContactSheet sheet("x.avi", frame);
    sheet.addEvent(1, 0, 100, cv::Mat(), {});
    const cv::Mat out = sheet.render(1000, 10);
    const SheetLayout layout = layoutSheet(1, frame);
    ASSERT_EQ(out.size(), layout.canvas);
    ASSERT_EQ(layout.pictures.size(), 1u);
    cv::Scalar mean, deviation;
    cv::meanStdDev(out(layout.pictures[0]), mean, deviation);
    EXPECT_EQ(cv::norm(deviation), 0.0) << "a plain tile stands in for the picture";
    cv::meanStdDev(out(layout.labels[0]), mean, deviation);
    EXPECT_GT(deviation[0], 1.0) << "labelled with its number and time";
}

}  // namespace
}  // namespace tarvolen
