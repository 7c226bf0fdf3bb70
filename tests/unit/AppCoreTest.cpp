#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "media/FrameInput.h"
#include "app/Keys.h"
#include "draw/Overlays.h"
#include "media/VideoSource.h"

namespace tarvolen {
namespace {

struct SourceCase {
    const char* text;
    SourceKind kind;
};

class SourceStrings : public ::testing::TestWithParam<SourceCase> {};

TEST_P(SourceStrings, AreClassifiedByLengthAndExactWording) {
    EXPECT_EQ(classifySource(GetParam().text), GetParam().kind) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, SourceStrings,
    ::testing::Values(SourceCase{"0", SourceKind::Camera}, SourceCase{"1", SourceKind::Camera},
                      SourceCase{"", SourceKind::Camera}, SourceCase{"1234", SourceKind::Camera},
                      SourceCase{"12345", SourceKind::FilePath}, SourceCase{"a.avi", SourceKind::FilePath},
                      SourceCase{"open file dialog", SourceKind::FileDialog},
                      SourceCase{"Open file dialog", SourceKind::FilePath},
                      SourceCase{"open file dialog ", SourceKind::FilePath}));

TEST(CameraIndex, ReadsLikeStrtol) {
    EXPECT_EQ(cameraIndex("0"), 0);
    EXPECT_EQ(cameraIndex("1"), 1);
    EXPECT_EQ(cameraIndex("1x"), 1);
    EXPECT_EQ(cameraIndex(" 2"), 2);
    EXPECT_EQ(cameraIndex("+3"), 3);
    EXPECT_EQ(cameraIndex("-1"), -1);
    EXPECT_EQ(cameraIndex("007"), 7);
}

TEST(CameraIndex, NoLeadingNumberGivesNoIndex) {
    for (const char* text : {"", "ab", "x1", " ", "+", "-", "--1"}) {
        EXPECT_FALSE(cameraIndex(text).has_value()) << "'" << text << "'";
    }
}

TEST(PlaybackFrameRate, ImplausibleRatesFallBackToThirty) {
    EXPECT_EQ(playbackFrameRate(25.0), 25.0);
    EXPECT_EQ(playbackFrameRate(59.94), 59.94);
    EXPECT_EQ(playbackFrameRate(1.5), 1.5);
    for (double bad : {0.0, 1.0, -5.0, 60.0, 1000.0, std::nan("")})
        EXPECT_EQ(playbackFrameRate(bad), 30.0) << bad;
}

TEST(Keys, OnlyTheDocumentedValuesAct) {
    EXPECT_EQ(keyCommand(27), KeyCommand::Quit);
    EXPECT_EQ(keyCommand(32), KeyCommand::ResetModel);
    EXPECT_EQ(keyCommand(114), KeyCommand::ToggleRecording);
    for (int other : {-1, 0, int{'R'}, int{'q'}, 13, 27 | 0x100000, 114 + 256})
        EXPECT_EQ(keyCommand(other), KeyCommand::None);
}

class Overlay : public ::testing::Test {
protected:
    static bool isBlue(const cv::Vec3b& p) { return p == cv::Vec3b(255, 0, 0); }
    static int redPixels(const cv::Mat& img, cv::Rect r) {
        int n = 0;
        for (int y = r.y; y < r.y + r.height; ++y)
            for (int x = r.x; x < r.x + r.width; ++x) n += img.at<cv::Vec3b>(y, x) == cv::Vec3b(0, 0, 255);
        return n;
    }
    cv::Mat frame = cv::Mat::zeros(240, 320, CV_8UC3);
};

TEST_F(Overlay, ObjectBoxIsGrownByFivePixelsInBlue) {
    drawObjectBoxes(frame, {ObjectTrack{cv::Rect(0, 0, 20, 10), 9}});
    // Rectangle (-5, -5, 30, 20): right edge at x = 24, bottom at y = 14.
    EXPECT_TRUE(isBlue(frame.at<cv::Vec3b>(5, 24)));
    EXPECT_TRUE(isBlue(frame.at<cv::Vec3b>(14, 10)));
    EXPECT_EQ(frame.at<cv::Vec3b>(5, 10), cv::Vec3b(0, 0, 0));
    EXPECT_EQ(frame.at<cv::Vec3b>(5, 28), cv::Vec3b(0, 0, 0));
    EXPECT_EQ(frame.at<cv::Vec3b>(18, 10), cv::Vec3b(0, 0, 0));
}

TEST_F(Overlay, NoObjectsNoBoxes) {
    drawObjectBoxes(frame, {});
    EXPECT_EQ(cv::countNonZero(frame.reshape(1)), 0);
}

TEST_F(Overlay, ProcessingTimeTextAndPlace) {
    EXPECT_EQ(processingTimeText(7), "Processing time 7 ms");
    EXPECT_EQ(processingTimeText(120), "Processing time 120 ms");
    EXPECT_EQ(processingTimeText(-3), "Processing time -3 ms");
    drawProcessingTime(frame, 12, frame.cols);
    const int start = frame.cols - 200;
    EXPECT_GT(redPixels(frame, cv::Rect(start, 0, 190, 17)), 50);
    EXPECT_EQ(redPixels(frame, cv::Rect(0, 0, start, frame.rows)), 0);
    EXPECT_EQ(redPixels(frame, cv::Rect(0, 20, frame.cols, frame.rows - 20)), 0);
}

TEST_F(Overlay, RecordingLabelAtTheTopLeft) {
    drawRecordingLabel(frame);
    EXPECT_GT(redPixels(frame, cv::Rect(5, 3, 100, 13)), 50);
    EXPECT_EQ(redPixels(frame, cv::Rect(120, 0, 200, frame.rows)), 0);
}

class FrameConforming : public ::testing::Test {
protected:
    const cv::Size size{64, 48};
    cv::Mat out;
};

TEST_F(FrameConforming, MatchingColourFrameIsCopiedAsIs) {
    cv::Mat in(size, CV_8UC3, cv::Scalar(1, 2, 3));
    ASSERT_TRUE(conformFrame(in, size, out));
    EXPECT_EQ(out.type(), CV_8UC3);
    EXPECT_EQ(cv::norm(out, in, cv::NORM_INF), 0.0);
}

TEST_F(FrameConforming, OtherSizesAndLayoutsAreBroughtToTheStartFormat) {
    const cv::Mat inputs[] = {cv::Mat(96, 128, CV_8UC3, cv::Scalar(9, 9, 9)),
                              cv::Mat(size, CV_8UC1, cv::Scalar(9)),
                              cv::Mat(size, CV_8UC4, cv::Scalar(9, 9, 9, 255)),
                              cv::Mat(size, CV_16UC3, cv::Scalar(9 * 257, 9 * 257, 9 * 257))};
    for (const cv::Mat& in : inputs) {
        ASSERT_TRUE(conformFrame(in, size, out)) << in.type();
        EXPECT_EQ(out.type(), CV_8UC3);
        EXPECT_EQ(out.size(), size);
        EXPECT_EQ(out.at<cv::Vec3b>(10, 10), cv::Vec3b(9, 9, 9)) << in.type();
    }
}

TEST_F(FrameConforming, EmptyFrameIsRefused) {
    out = cv::Mat(size, CV_8UC3, cv::Scalar(5, 5, 5));
    EXPECT_FALSE(conformFrame(cv::Mat(), size, out));
    EXPECT_EQ(out.at<cv::Vec3b>(0, 0), cv::Vec3b(5, 5, 5));
}

}  // namespace
}  // namespace tarvolen
