#include <algorithm>
#include <cmath>

#include <gtest/gtest.h>
#include <opencv2/highgui.hpp>
#include <opencv2/imgproc.hpp>

#include "app/LiveView.h"
#include "detector/Detector.h"
#include "roi/RoiSelection.h"

namespace tarvolen {
namespace {

const cv::Rect kTestScreen(0, 0, 1600, 900);  // the end-to-end tests' display

TEST(WindowLayout, SourcesThatFitAreShownAtTheirOwnSize) {
    for (const cv::Size frame : {cv::Size(320, 240), cv::Size(768, 576), cv::Size(795, 895)}) {
        const ViewLayout layout = layoutWindows(frame, kTestScreen);
        EXPECT_FALSE(layout.scaled()) << frame;
        EXPECT_EQ(layout.shown, frame);
        EXPECT_EQ(layout.inputAt, cv::Point(5, 5));
        EXPECT_EQ(layout.maskAt, cv::Point(frame.width + 10, 5));
    }
}

TEST(WindowLayout, OnePixelTooWideOrTooHighIsScaled) {
    EXPECT_TRUE(layoutWindows(cv::Size(796, 400), kTestScreen).scaled());
    EXPECT_TRUE(layoutWindows(cv::Size(400, 896), kTestScreen).scaled());
}

TEST(WindowLayout, FullHdOnTheTestDisplay) {
    const ViewLayout layout = layoutWindows(cv::Size(1920, 1080), kTestScreen);
    EXPECT_EQ(layout.frame, cv::Size(1920, 1080));
    EXPECT_EQ(layout.shown, cv::Size(795, 447));
    EXPECT_EQ(layout.inputAt, cv::Point(5, 5));
    EXPECT_EQ(layout.maskAt, cv::Point(805, 5));
}

TEST(WindowLayout, PanelsAreLeftFree) {
    // A panel along the top: the area starts at y = 30 and ends at 1080.
    const ViewLayout layout = layoutWindows(cv::Size(1920, 1080), cv::Rect(0, 30, 1920, 1050));
    EXPECT_LE(layout.shown.height + 5, 1080);
    EXPECT_LE(2 * layout.shown.width + 10, 1920);
}

struct ScreenCase {
    cv::Size frame;
    cv::Rect screen;
};

void PrintTo(const ScreenCase& c, std::ostream* os) {
    *os << c.frame.width << "x" << c.frame.height << " on " << c.screen.width << "x" << c.screen.height;
}

class ScaledLayout : public ::testing::TestWithParam<ScreenCase> {};

TEST_P(ScaledLayout, BothWindowsFitWithOneCommonFactor) {
    const ViewLayout layout = layoutWindows(GetParam().frame, GetParam().screen);
    const cv::Rect& screen = GetParam().screen;
    ASSERT_TRUE(layout.scaled());
    EXPECT_LE(2 * layout.shown.width + 10, screen.x + screen.width);
    EXPECT_LE(layout.shown.height + 5, screen.y + screen.height);
    EXPECT_EQ(layout.maskAt, cv::Point(layout.shown.width + 10, 5));
    const double sx = static_cast<double>(layout.shown.width) / layout.frame.width;
    const double sy = static_cast<double>(layout.shown.height) / layout.frame.height;
    // One factor, up to the rounding of each side to whole pixels.
    EXPECT_NEAR(sx, sy, 1.0 / std::min(layout.shown.width, layout.shown.height));
    // And not smaller than needed: one limit is met within a pixel.
    const bool widthBound = 2 * (layout.shown.width + 1) + 10 > screen.x + screen.width;
    const bool heightBound = layout.shown.height + 1 + 5 > screen.y + screen.height;
    EXPECT_TRUE(widthBound || heightBound);
}

INSTANTIATE_TEST_SUITE_P(Screens, ScaledLayout,
                         ::testing::Values(ScreenCase{cv::Size(1920, 1080), kTestScreen},
                                           ScreenCase{cv::Size(3840, 2160), cv::Rect(0, 0, 1920, 1080)},
                                           ScreenCase{cv::Size(1920, 1080), cv::Rect(0, 0, 1920, 1080)},
                                           ScreenCase{cv::Size(600, 1200),
                                                      kTestScreen},  // portrait: height bound
                                           ScreenCase{cv::Size(7680, 4320), cv::Rect(0, 0, 1280, 720)},
                                           ScreenCase{cv::Size(1000, 10), cv::Rect(0, 0, 800, 600)}));

// Openbox's frames: a 20 px title bar and 1 px borders.
const WindowFrame kOpenbox{1, 20, 1, 1};

struct FramedCase {
    cv::Size frame;
    cv::Rect screen;
    WindowFrame frames;
    bool scaled;
};

void PrintTo(const FramedCase& c, std::ostream* os) {
    *os << c.frame.width << "x" << c.frame.height << " on " << c.screen.width << "x" << c.screen.height
        << " framed " << c.frames.left << "," << c.frames.top << "," << c.frames.right << "," << c.frames.bottom;
}

class FramedLayout : public ::testing::TestWithParam<FramedCase> {
protected:
    const FramedCase c = GetParam();
    const ViewLayout layout = layoutWindows(c.frame, c.screen, c.frames);
    // The windows as the screen has them, frames included.
    cv::Rect framed(cv::Point at) const {
        return cv::Rect(at, cv::Size(c.frames.left + layout.shown.width + c.frames.right,
                                     c.frames.top + layout.shown.height + c.frames.bottom));
    }
};

TEST_P(FramedLayout, BothWindowsWithTheirFramesLieOnTheScreen) {
    EXPECT_EQ(layout.scaled(), c.scaled);
    EXPECT_EQ(layout.inputAt, cv::Point(5, 5));
    EXPECT_EQ(layout.maskAt, cv::Point(layout.shown.width + 10, 5));
    for (const cv::Rect& window : {framed(layout.inputAt), framed(layout.maskAt)})
        EXPECT_EQ(window & c.screen, window) << window << " off " << c.screen;
}

TEST_P(FramedLayout, ScaledByOneFactorNoFurtherThanNeeded) {
    if (!c.scaled) {
        EXPECT_EQ(layout.shown, c.frame);
        return;
    }
    const double sx = static_cast<double>(layout.shown.width) / layout.frame.width;
    const double sy = static_cast<double>(layout.shown.height) / layout.frame.height;
    EXPECT_NEAR(sx, sy, 1.0 / std::min(layout.shown.width, layout.shown.height));
    const cv::Rect wider = framed(cv::Point(layout.shown.width + 1 + 10, 5)) + cv::Size(1, 0);
    const cv::Rect higher = framed(cv::Point(5, 5)) + cv::Size(0, 1);
    EXPECT_TRUE((wider & c.screen) != wider || (higher & c.screen) != higher) << "one pixel more would not fit";
}

INSTANTIATE_TEST_SUITE_P(
    Screens, FramedLayout,
    ::testing::Values(
        // The mask's frame ended at x = 1921 when the frames were not counted.
        FramedCase{{1920, 1080}, {0, 0, 1920, 1200}, kOpenbox, true},
        FramedCase{{1920, 1080}, kTestScreen, kOpenbox, true},
        FramedCase{{1920, 1080}, {0, 0, 1920, 1200}, WindowFrame{4, 30, 4, 8}, true},
        FramedCase{{768, 576}, kTestScreen, kOpenbox, false},
        // Fit bare, but not with a title bar above: 5 + 20 + 875 + 1 is 901.
        FramedCase{{640, 875}, kTestScreen, kOpenbox, true},
        FramedCase{{640, 874}, kTestScreen, kOpenbox, false},
        // 2 * 794 + 10 + 2 is 1600.
        FramedCase{{794, 400}, kTestScreen, kOpenbox, false},
        FramedCase{{795, 400}, kTestScreen, kOpenbox, true}));

TEST(WindowLayout, DegenerateScreensStillGiveAWindow) {
    const ViewLayout layout = layoutWindows(cv::Size(640, 480), cv::Rect(0, 0, 4, 4));
    EXPECT_GE(layout.shown.width, 1);
    EXPECT_GE(layout.shown.height, 1);
}

TEST(ShownToFrame, IsTheIdentityAtFullSize) {
    const ViewLayout layout = layoutWindows(cv::Size(320, 240), kTestScreen);
    for (const cv::Point p : {cv::Point(0, 0), cv::Point(319, 239), cv::Point(-7, 12), cv::Point(5000, 5000)})
        EXPECT_EQ(shownToFrame(p, layout), p);
}

class ScaledMapping : public ::testing::TestWithParam<ScreenCase> {
protected:
    ViewLayout layout = layoutWindows(GetParam().frame, GetParam().screen);
};

TEST_P(ScaledMapping, CornersMapToCorners) {
    const cv::Size shown = layout.shown, frame = layout.frame;
    EXPECT_EQ(shownToFrame(cv::Point(0, 0), layout), cv::Point(0, 0));
    EXPECT_EQ(shownToFrame(cv::Point(shown.width - 1, shown.height - 1), layout),
              cv::Point(frame.width - 1, frame.height - 1));
}

TEST_P(ScaledMapping, EveryShownPixelMapsIntoTheFrameAreaItShows) {
    const double perShown = static_cast<double>(layout.frame.width) / layout.shown.width;
    int previous = -1;
    for (int x = 0; x < layout.shown.width; ++x) {
        const int mapped = shownToFrame(cv::Point(x, 0), layout).x;
        EXPECT_GT(mapped, previous) << "x " << x;  // strictly increasing: no two screen pixels merge
        // Within the frame columns under the screen pixel, give or take one.
        EXPECT_GE(mapped, std::floor(x * perShown) - 1) << "x " << x;
        EXPECT_LE(mapped, std::ceil((x + 1) * perShown)) << "x " << x;
        previous = mapped;
    }
}

TEST_P(ScaledMapping, PositionsBeyondTheImageMapBeyondTheFrame) {
    EXPECT_GE(shownToFrame(cv::Point(layout.shown.width + 40, layout.shown.height), layout).x,
              layout.frame.width);
    EXPECT_LT(shownToFrame(cv::Point(-3, -3), layout).y, 0);
}

INSTANTIATE_TEST_SUITE_P(Screens, ScaledMapping,
                         ::testing::Values(ScreenCase{cv::Size(1920, 1080), kTestScreen},
                                           ScreenCase{cv::Size(3840, 2160), cv::Rect(0, 0, 1920, 1080)},
                                           ScreenCase{cv::Size(1921, 1081), cv::Rect(0, 0, 1920, 1080)}));

// The region a drag on the scaled view selects: the selection logic sees
// frame pixels only.
class ScaledDrag : public ::testing::Test {
protected:
    const ViewLayout layout = layoutWindows(cv::Size(1920, 1080), kTestScreen);
    const int w = layout.frame.width, h = layout.frame.height;
    RoiSelection selection;
    cv::Mat mask = cv::Mat(h, w, CV_8UC1, cv::Scalar(255));
    Detector detector;

    void event(int code, cv::Point shown) {
        const cv::Point p = shownToFrame(shown, layout);
        if (handleRoiMouseEvent(code, p.x, p.y, RoiTarget{selection, mask, w, h})) detector.reset();
    }
    void drag(cv::Point from, cv::Point to) {
        event(cv::EVENT_LBUTTONDOWN, from);
        event(cv::EVENT_MOUSEMOVE, to);
        event(cv::EVENT_LBUTTONUP, to);
    }
    cv::Mat maskOf(cv::Rect inside) const {
        cv::Mat m = cv::Mat::zeros(h, w, CV_8UC1);
        m(inside).setTo(255);
        return m;
    }
    bool maskIs(const cv::Mat& expected) const { return cv::countNonZero(mask != expected) == 0; }
};

TEST_F(ScaledDrag, SelectsTheFrameRegionUnderTheDraggedRectangle) {
    drag(cv::Point(100, 50), cv::Point(300, 200));
    // 1919 / 794 and 1079 / 446 frame pixels per shown pixel.
    const cv::Point a(242, 121), b(725, 484);
    EXPECT_EQ(shownToFrame(cv::Point(100, 50), layout), a);
    EXPECT_EQ(shownToFrame(cv::Point(300, 200), layout), b);
    EXPECT_TRUE(maskIs(maskOf(cv::Rect(a, b + cv::Point(1, 1)))));
    EXPECT_EQ(selectionRect(selection), cv::Rect(a, b + cv::Point(1, 1)));
}

TEST_F(ScaledDrag, CornerToCornerSelectsTheWholeFrameAgain) {
    drag(cv::Point(100, 50), cv::Point(300, 200));
    drag(cv::Point(0, 0), cv::Point(layout.shown.width - 1, layout.shown.height - 1));
    EXPECT_TRUE(maskIs(cv::Mat(h, w, CV_8UC1, cv::Scalar(255))));
}

TEST_F(ScaledDrag, AClickSelectsNothing) {
    drag(cv::Point(100, 50), cv::Point(300, 200));
    const cv::Mat before = mask.clone();
    drag(cv::Point(400, 300), cv::Point(400, 300));
    EXPECT_TRUE(maskIs(before));
    EXPECT_EQ(selectionRect(selection).area(), 1);
}

TEST_F(ScaledDrag, ReleasingPastTheImageReachesTheLastRowAndColumn) {
    drag(cv::Point(10, 10), cv::Point(layout.shown.width + 200, layout.shown.height + 200));
    const cv::Point a = shownToFrame(cv::Point(10, 10), layout);
    EXPECT_TRUE(maskIs(maskOf(cv::Rect(a, cv::Point(w, h)))));
}

// Frame and shown sizes: whole factors 4 and 2 with an interpolated rest,
// a rest of 2 or more left to the area shrink, and sides no whole factor
// divides (one area shrink).
struct ShrinkCase {
    cv::Size frame;
    cv::Size shown;
};

void PrintTo(const ShrinkCase& c, std::ostream* os) { *os << c.frame << " shown at " << c.shown; }

class ShrinkForView : public ::testing::TestWithParam<ShrinkCase> {
protected:
    cv::Mat staged;
    cv::Mat shown;
};

INSTANTIATE_TEST_SUITE_P(Sizes, ShrinkForView,
                         ::testing::Values(ShrinkCase{{3840, 2160}, {955, 537}},
                                           ShrinkCase{{1920, 1080}, {795, 447}},
                                           ShrinkCase{{3840, 2160}, {795, 447}},
                                           ShrinkCase{{1930, 1090}, {300, 169}},
                                           ShrinkCase{{1367, 769}, {600, 337}}));

// A smooth picture looks as one area shrink makes it.
TEST_P(ShrinkForView, MatchesOneAreaShrinkOnSmoothPictures) {
    const ShrinkCase c = GetParam();
    cv::Mat frame(c.frame, CV_8UC3);
    for (int y = 0; y < frame.rows; ++y) {
        for (int x = 0; x < frame.cols; ++x) {
            frame.at<cv::Vec3b>(y, x) = cv::Vec3b(static_cast<uchar>(x * 255 / frame.cols),
                                                  static_cast<uchar>(y * 255 / frame.rows),
                                                  static_cast<uchar>((x + y) * 127 / (frame.cols + frame.rows)));
        }
    }
    shrinkForView(frame, c.shown, staged, shown);
    ASSERT_EQ(shown.size(), c.shown);
    ASSERT_EQ(shown.type(), CV_8UC3);
    cv::Mat reference;
    cv::resize(frame, reference, c.shown, 0, 0, cv::INTER_AREA);
    cv::Mat difference;
    cv::absdiff(shown, reference, difference);
    double largest = 0.0;
    cv::minMaxLoc(difference.reshape(1), nullptr, &largest);
    EXPECT_LE(largest, 2.0);
}

// The smallest spot the erosion leaves, one event pixel, shows wherever it is.
TEST_P(ShrinkForView, EverySingleEventPixelStaysVisible) {
    const ShrinkCase c = GetParam();
    cv::Mat mask = cv::Mat::zeros(c.frame, CV_8UC1);
    cv::RNG rng(7);
    for (int i = 0; i < 300; ++i) {
        const cv::Point spot(rng.uniform(0, c.frame.width), rng.uniform(0, c.frame.height));
        mask.at<uchar>(spot) = 255;
        shrinkForView(mask, c.shown, staged, shown);
        ASSERT_EQ(shown.type(), CV_8UC1);
        EXPECT_GT(cv::countNonZero(shown), 0) << "event pixel at " << spot;
        mask.at<uchar>(spot) = 0;
    }
}

TEST(ShrinkFactor, SameSizeCopiesTheImage) {
    cv::Mat image(90, 160, CV_8UC1);
    cv::randu(image, 0, 256);
    cv::Mat staged;
    cv::Mat shown;
    shrinkForView(image, image.size(), staged, shown);
    EXPECT_EQ(cv::norm(image, shown, cv::NORM_INF), 0.0);
}

}  // namespace
}  // namespace tarvolen
