#include <vector>

#include <gtest/gtest.h>
#include <opencv2/highgui.hpp>
#include <opencv2/imgproc.hpp>

#include "detector/Detector.h"
#include "draw/Overlays.h"
#include "roi/RoiSelection.h"

namespace tarvolen {
namespace {

class RoiMouse : public ::testing::Test {
protected:
    static constexpr int kW = 640;
    static constexpr int kH = 480;

    void SetUp() override {
        ASSERT_TRUE(detector.setParameter(Detector::kNumFrames, 1));
        // Give the detector a track, so that a reset is visible.
        std::vector<unsigned char> background(kW * kH, 0), block(kW * kH, 0);
        for (int r = 10; r < 20; ++r)
            for (int c = 10; c < 20; ++c) block[r * kW + c] = 255;
        detector.process(background.data(), kW, kH, nullptr);
        detector.process(block.data(), kW, kH, nullptr);
        ASSERT_FALSE(detector.getTracks().empty());
    }

    void event(int code, int x, int y) {
        // As the frame loop does: a new region starts the model afresh.
        if (handleRoiMouseEvent(code, x, y, RoiTarget{selection, mask, kW, kH})) detector.reset();
    }
    void drag(int x0, int y0, int x1, int y1) {
        event(cv::EVENT_LBUTTONDOWN, x0, y0);
        event(cv::EVENT_MOUSEMOVE, x1, y1);
        event(cv::EVENT_LBUTTONUP, x1, y1);
    }
    bool detectorWasReset() const { return detector.getTracks().empty(); }
    cv::Mat expectedMask(cv::Rect inside) const {
        cv::Mat m = cv::Mat::zeros(kH, kW, CV_8UC1);
        m(inside & cv::Rect(0, 0, kW, kH)).setTo(255);
        return m;
    }
    static bool same(const cv::Mat& a, const cv::Mat& b) { return cv::countNonZero(a != b) == 0; }
    cv::Rect rect() const { return selectionRect(selection); }

    RoiSelection selection;
    cv::Mat mask = cv::Mat(kH, kW, CV_8UC1, cv::Scalar(255));
    Detector detector;
};

TEST_F(RoiMouse, DragSelectsTheInclusiveRectangleAndResetsTheDetector) {
    drag(100, 50, 200, 150);
    EXPECT_TRUE(same(mask, expectedMask(cv::Rect(100, 50, 101, 101))));
    EXPECT_EQ(rect(), cv::Rect(100, 50, 101, 101));
    EXPECT_FALSE(selection.dragging);
    EXPECT_TRUE(detectorWasReset());
}

TEST_F(RoiMouse, SmallestAcceptedSelectionIsTwoByTwo) {
    event(cv::EVENT_LBUTTONDOWN, 100, 50);
    event(cv::EVENT_LBUTTONUP, 101, 51);
    EXPECT_TRUE(same(mask, expectedMask(cv::Rect(100, 50, 2, 2))));
    EXPECT_TRUE(detectorWasReset());
}

struct RefusedRelease {
    int x;
    int y;
    cv::Rect shown;
};

class RoiRefused : public RoiMouse, public ::testing::WithParamInterface<RefusedRelease> {};

TEST_P(RoiRefused, KeepsRegionAndDetector) {
    event(cv::EVENT_LBUTTONDOWN, 100, 50);
    event(cv::EVENT_LBUTTONUP, GetParam().x, GetParam().y);
    EXPECT_TRUE(same(mask, cv::Mat(kH, kW, CV_8UC1, cv::Scalar(255))));
    EXPECT_FALSE(detectorWasReset());
    EXPECT_EQ(rect(), GetParam().shown);
}

INSTANTIATE_TEST_SUITE_P(
    Releases, RoiRefused,
    ::testing::Values(RefusedRelease{100, 150, cv::Rect(100, 50, 1, 101)},  // straight below
                      RefusedRelease{180, 50, cv::Rect(100, 50, 81, 1)},    // straight right
                      RefusedRelease{100, 50, cv::Rect(100, 50, 1, 1)},     // a click
                      RefusedRelease{40, 20, cv::Rect(100, 50, -59, -29)}));

TEST_F(RoiMouse, MovesAboveOrLeftOfTheStartAreIgnored) {
    event(cv::EVENT_LBUTTONDOWN, 300, 200);
    event(cv::EVENT_MOUSEMOVE, 400, 300);
    event(cv::EVENT_MOUSEMOVE, 350, 150);
    EXPECT_EQ(rect(), cv::Rect(300, 200, 101, 101));
    event(cv::EVENT_MOUSEMOVE, 300, 250);  // x equal to the start: ignored too
    EXPECT_EQ(rect(), cv::Rect(300, 200, 101, 101));
    EXPECT_TRUE(selection.dragging);
    EXPECT_FALSE(detectorWasReset()) << "only a release applies the selection";
}

TEST_F(RoiMouse, DragUpAndLeftShowsTheStartPixelThenNothing) {
    event(cv::EVENT_LBUTTONDOWN, 200, 150);
    event(cv::EVENT_MOUSEMOVE, 100, 50);
    EXPECT_EQ(rect(), cv::Rect(200, 150, 1, 1));
    event(cv::EVENT_LBUTTONUP, 100, 50);
    cv::Mat frame = cv::Mat::zeros(kH, kW, CV_8UC3);
    drawRoiOverlay(frame, selection);
    EXPECT_EQ(cv::countNonZero(frame.reshape(1)), 0);
    EXPECT_FALSE(detectorWasReset());
}

TEST_F(RoiMouse, CoordinatesAreClampedFromAboveOnly) {
    drag(10, 10, 5000, 5000);
    EXPECT_EQ(selection.x1, kW - 1);
    EXPECT_EQ(selection.y1, kH - 1);
    EXPECT_EQ(cv::countNonZero(mask), 630 * 470);
    EXPECT_EQ(mask.at<unsigned char>(kH - 1, kW - 1), 255);
    // A negative start corner is kept and the fill starts at the edge.
    drag(-20, -5, 30, 40);
    EXPECT_EQ(selection.x0, -20);
    EXPECT_TRUE(same(mask, expectedMask(cv::Rect(0, 0, 31, 41))));
}

TEST_F(RoiMouse, OtherEventsAndMovesWithoutAButtonChangeNothing) {
    for (int code :
         {cv::EVENT_RBUTTONDOWN, cv::EVENT_RBUTTONUP, cv::EVENT_MBUTTONDOWN, cv::EVENT_MBUTTONUP,
          cv::EVENT_LBUTTONDBLCLK, cv::EVENT_MOUSEWHEEL, cv::EVENT_MOUSEHWHEEL, cv::EVENT_MOUSEMOVE}) {
        event(code, 300, 300);
    }
    EXPECT_EQ(rect(), cv::Rect(0, 0, 1, 1));
    EXPECT_FALSE(selection.dragging);
    EXPECT_FALSE(detectorWasReset());
}

TEST_F(RoiMouse, WholeFrameCanBeSelectedAgain) {
    drag(100, 50, 200, 150);
    drag(0, 0, kW + 10, kH + 10);
    EXPECT_EQ(cv::countNonZero(mask), kW * kH);
}

class RoiOverlay : public ::testing::Test {
protected:
    cv::Mat frame = cv::Mat::zeros(480, 640, CV_8UC3);
    RoiSelection selection;
    const cv::Vec3b cyan{255, 255, 0};
};

TEST_F(RoiOverlay, BeforeAnyPressIsOneCyanPixelAtTheOrigin) {
    drawRoiOverlay(frame, selection);
    EXPECT_EQ(frame.at<cv::Vec3b>(0, 0), cyan);
    EXPECT_EQ(cv::countNonZero(frame.reshape(1)), 2);  // two non-zero channels of one pixel
}

TEST_F(RoiOverlay, OutlinesTheInclusiveRectangleOnePixelWide) {
    selection.x0 = 100;
    selection.y0 = 50;
    selection.x1 = 200;
    selection.y1 = 150;
    drawRoiOverlay(frame, selection);
    for (cv::Point p : {cv::Point(100, 50), cv::Point(200, 50), cv::Point(100, 150), cv::Point(200, 150),
                        cv::Point(150, 50), cv::Point(100, 100)}) {
        EXPECT_EQ(frame.at<cv::Vec3b>(p), cyan) << p;
    }
    EXPECT_EQ(frame.at<cv::Vec3b>(51, 101), cv::Vec3b(0, 0, 0));
    EXPECT_EQ(frame.at<cv::Vec3b>(151, 150), cv::Vec3b(0, 0, 0));
    EXPECT_EQ(frame.at<cv::Vec3b>(150, 201), cv::Vec3b(0, 0, 0));
}

}  // namespace
}  // namespace tarvolen
