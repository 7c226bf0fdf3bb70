#include <chrono>
#include <filesystem>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/videoio.hpp>

#include "app/FrameSource.h"

namespace tarvolen {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

constexpr milliseconds kPatience(5000);  // far more than any read takes

int levelOf(int number) { return 20 + 30 * number; }

class FrameSourceTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("tarvolen-source-" +
               std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }

    // A clip of `frames` frames whose gray level tells their number.
    std::string makeClip(int frames) {
        const std::string path = (dir / "clip.avi").string();
        cv::VideoWriter out(path, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 25.0, clipSize, true);
        for (int i = 0; i < frames; ++i) out.write(cv::Mat(clipSize, CV_8UC3, cv::Scalar::all(levelOf(i))));
        return path;
    }

    // The next frame, waiting as the loop does.
    static FrameSource::Status nextFrame(FrameSource& source, cv::Mat& frame) {
        const auto deadline = std::chrono::steady_clock::now() + kPatience;
        FrameSource::Status status = FrameSource::Status::Waiting;
        while (std::chrono::steady_clock::now() < deadline) {
            status = source.next(frame, milliseconds(10));
            if (status != FrameSource::Status::Waiting) break;
        }
        return status;
    }

    const cv::Size clipSize{64, 48};
    fs::path dir;
};

TEST_F(FrameSourceTest, DeliversEveryFrameInOrderThenLoopsFromFrameIndexOne) {
    cv::VideoCapture capture(makeClip(5));
    ASSERT_TRUE(capture.isOpened());
    FrameSource source(capture, true, clipSize);
    // Index 0 is shown once; after the end the file restarts at index 1.
    const int expected[] = {0, 1, 2, 3, 4, 1, 2, 3, 4, 1, 2};
    cv::Mat frame;
    for (int number : expected) {
        ASSERT_EQ(nextFrame(source, frame), FrameSource::Status::Frame) << number;
        ASSERT_EQ(frame.size(), clipSize);
        ASSERT_EQ(frame.type(), CV_8UC3);
        EXPECT_NEAR(cv::mean(frame)[0], levelOf(number), 3.0) << number;
    }
}

TEST_F(FrameSourceTest, FramesAreBroughtToTheStartSize) {
    cv::VideoCapture capture(makeClip(3));
    const cv::Size startSize(32, 24);
    FrameSource source(capture, true, startSize);
    cv::Mat frame;
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(nextFrame(source, frame), FrameSource::Status::Frame);
        EXPECT_EQ(frame.size(), startSize);
        EXPECT_EQ(frame.type(), CV_8UC3);
        EXPECT_NEAR(cv::mean(frame)[0], levelOf(i), 3.0);
    }
}

TEST_F(FrameSourceTest, ASourceWithoutFramesStallsAndStopsAtOnce) {
    // One frame: the rewind to frame index 1 finds nothing.
    cv::VideoCapture capture(makeClip(1));
    auto source = std::make_unique<FrameSource>(capture, true, clipSize);
    cv::Mat frame;
    ASSERT_EQ(nextFrame(*source, frame), FrameSource::Status::Frame);
    EXPECT_EQ(nextFrame(*source, frame), FrameSource::Status::Stalling);
    // Frames are not invented meanwhile.
    EXPECT_NE(source->next(frame, milliseconds(50)), FrameSource::Status::Frame);
    const auto before = std::chrono::steady_clock::now();
    source.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - before, milliseconds(1000)) << "the decode thread lingered";
}

TEST_F(FrameSourceTest, AClosedCaptureIsGivenUpAfterTheStallTimeout) {
    cv::VideoCapture closed;
    FrameSource source(closed, false, clipSize);
    cv::Mat frame;
    const auto start = std::chrono::steady_clock::now();
    FrameSource::Status status = FrameSource::Status::Waiting;
    while (status != FrameSource::Status::Stalled &&
           std::chrono::steady_clock::now() - start < FrameSource::kStallTimeout + kPatience) {
        status = source.next(frame, milliseconds(20));
        ASSERT_NE(status, FrameSource::Status::Frame);
    }
    EXPECT_EQ(status, FrameSource::Status::Stalled);
    EXPECT_GE(std::chrono::steady_clock::now() - start, FrameSource::kStallTimeout);
    EXPECT_TRUE(frame.empty());
}

}  // namespace
}  // namespace tarvolen
