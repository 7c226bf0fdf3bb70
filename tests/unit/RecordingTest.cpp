#include <algorithm>
#include <filesystem>
#include <set>
#include <sstream>

#include <gtest/gtest.h>
#include <opencv2/videoio.hpp>

#include "TestSupport.h"
#include "app/Recording.h"
#include "media/VideoSource.h"

namespace tarvolen {
namespace {

namespace fs = std::filesystem;

std::tm localTime(int year, int month, int day, int hour, int minute, int second) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    return t;
}

std::tm march5() { return localTime(2024, 3, 5, 9, 7, 3); }

TEST(RecordingName, IsTheLocalTimeWithTwoDigitFields) {
    EXPECT_EQ(recordingFileName(march5()), "record_05_03_2024_09_07_03.avi");
    EXPECT_EQ(recordingFileName(localTime(2031, 12, 31, 23, 59, 58)), "record_31_12_2031_23_59_58.avi");
}

TEST(RecordingName, TakenNamesGetANumberBeforeTheExtension) {
    std::set<std::string> taken;
    auto isTaken = [&taken](const std::string& n) { return taken.count(n) > 0; };
    EXPECT_EQ(firstFreeName("record_x.avi", isTaken), "record_x.avi");
    taken = {"record_x.avi"};
    EXPECT_EQ(firstFreeName("record_x.avi", isTaken), "record_x_2.avi");
    taken = {"record_x.avi", "record_x_2.avi", "record_x_3.avi"};
    EXPECT_EQ(firstFreeName("record_x.avi", isTaken), "record_x_4.avi");
}

class RecorderTest : public test::TempFolderTest {
protected:
    static int countFrames(const std::string& path) {
        cv::VideoCapture in(path);
        int n = 0;
        cv::Mat f;
        while (in.read(f)) ++n;
        return n;
    }

    const cv::Size size{96, 64};
    std::ostringstream messages;
};

TEST_F(RecorderTest, WritesMotionJpegAtThirtyFramesPerSecondWithoutTheLabel) {
    Recorder recorder(size, dir.string(), messages);
    ASSERT_TRUE(recorder.start(march5()));
    EXPECT_TRUE(recorder.isRecording());
    EXPECT_EQ(recorder.path(), (dir / "record_05_03_2024_09_07_03.avi").string());
    cv::Mat frame(size, CV_8UC3, cv::Scalar(0, 0, 0));
    for (int i = 0; i < 4; ++i) {
        frame.setTo(cv::Scalar(0, 0, 0));
        recorder.record(frame);
        // The label goes onto the live frame after it was written.
        EXPECT_GT(cv::countNonZero(frame.reshape(1)), 0);
    }
    recorder.stop();
    EXPECT_FALSE(recorder.isRecording());
    EXPECT_TRUE(messages.str().empty());

    cv::VideoCapture in(recorder.path());
    ASSERT_TRUE(in.isOpened());
    EXPECT_EQ(in.get(cv::CAP_PROP_FPS), 30.0);
    EXPECT_EQ(static_cast<int>(in.get(cv::CAP_PROP_FOURCC)), cv::VideoWriter::fourcc('M', 'J', 'P', 'G'));
    cv::Mat first;
    ASSERT_TRUE(in.read(first));
    EXPECT_EQ(first.size(), size);
    EXPECT_LT(cv::countNonZero(first.reshape(1) > 60), 5) << "the label must not be recorded";
    EXPECT_EQ(countFrames(recorder.path()), 4);
}

TEST_F(RecorderTest, NotRecordingWritesNothingAndLeavesTheFrameAlone) {
    Recorder recorder(size, dir.string(), messages);
    cv::Mat frame(size, CV_8UC3, cv::Scalar(0, 0, 0));
    recorder.record(frame);
    EXPECT_EQ(cv::countNonZero(frame.reshape(1)), 0);
    EXPECT_TRUE(fs::is_empty(dir));
}

TEST_F(RecorderTest, RecordingsInTheSameSecondDoNotReplaceEachOther) {
    Recorder recorder(size, dir.string(), messages);
    cv::Mat frame(size, CV_8UC3, cv::Scalar(10, 20, 30));
    std::set<std::string> paths;
    for (int i = 1; i <= 3; ++i) {
        ASSERT_TRUE(recorder.start(march5()));
        for (int k = 0; k < i; ++k) recorder.record(frame);
        recorder.stop();
        paths.insert(recorder.path());
    }
    EXPECT_EQ(paths.size(), 3u);
    EXPECT_EQ(countFrames((dir / "record_05_03_2024_09_07_03.avi").string()), 1);
    EXPECT_EQ(countFrames((dir / "record_05_03_2024_09_07_03_2.avi").string()), 2);
    EXPECT_EQ(countFrames((dir / "record_05_03_2024_09_07_03_3.avi").string()), 3);
}

TEST_F(RecorderTest, UnwritableFileIsReportedAndNotTakenAsRecording) {
    Recorder recorder(size, (dir / "no" / "such" / "folder").string(), messages);
    EXPECT_FALSE(recorder.start(march5()));
    EXPECT_FALSE(recorder.isRecording());
    EXPECT_EQ(messages.str(),
              "Recording not started: cannot write " +
                  (dir / "no" / "such" / "folder" / "record_05_03_2024_09_07_03.avi").string() + "\n");
    // Pressing 'r' again simply tries again.
    EXPECT_FALSE(recorder.toggle());
}

TEST_F(RecorderTest, ToggleStartsAndStops) {
    Recorder recorder(size, dir.string(), messages);
    EXPECT_TRUE(recorder.toggle());
    EXPECT_TRUE(fs::exists(recorder.path()));
    EXPECT_FALSE(recorder.toggle());
    EXPECT_FALSE(recorder.isRecording());
}

TEST_F(RecorderTest, EveryFrameIsWrittenInOrderAndTheFileFinishedOnStop) {
    Recorder recorder(size, dir.string(), messages);
    ASSERT_TRUE(recorder.start(march5()));
    constexpr int kFrames = 50;
    cv::Mat frame(size, CV_8UC3);
    for (int i = 0; i < kFrames; ++i) {
        frame.setTo(cv::Scalar::all(4 * i));
        recorder.record(frame);  // the live frame is reused at once, as the loop does
    }
    recorder.stop();
    EXPECT_EQ(recorder.framesWritten(), static_cast<std::uint64_t>(kFrames));
    cv::VideoCapture in(recorder.path());
    EXPECT_EQ(in.get(cv::CAP_PROP_FRAME_COUNT), kFrames);
    cv::Mat read;
    for (int i = 0; i < kFrames; ++i) {
        ASSERT_TRUE(in.read(read)) << i;
        // Below the label's corner: the recorded gray level of that pass.
        EXPECT_NEAR(cv::mean(read(cv::Rect(0, 30, size.width, size.height - 30)))[0], 4 * i, 2.0) << i;
    }
    EXPECT_FALSE(in.read(read));
}

// A source that comes back with frames of another size.
TEST_F(RecorderTest, ANewFrameSizeFinishesTheFileAndGoesOnInANewOne) {
    Recorder recorder(size, dir.string(), messages);
    const cv::Size larger(128, 80);
    recorder.restartAtSize(larger);  // idle: nothing is started
    EXPECT_FALSE(recorder.isRecording());
    recorder.restartAtSize(size);
    ASSERT_TRUE(recorder.start(march5()));
    const std::string first = recorder.path();
    cv::Mat small(size, CV_8UC3, cv::Scalar::all(50));
    for (int i = 0; i < 3; ++i) recorder.record(small);
    recorder.restartAtSize(size);  // the same size goes on in the same file
    EXPECT_EQ(recorder.path(), first);
    recorder.restartAtSize(larger);
    ASSERT_TRUE(recorder.isRecording());
    EXPECT_NE(recorder.path(), first);
    cv::Mat large(larger, CV_8UC3, cv::Scalar::all(50));
    for (int i = 0; i < 2; ++i) recorder.record(large);
    ASSERT_TRUE(recorder.isRecording()) << messages.str();
    recorder.stop();
    EXPECT_TRUE(messages.str().empty()) << messages.str();
    EXPECT_EQ(countFrames(first), 3);
    cv::VideoCapture second(recorder.path());
    EXPECT_EQ(reportedFrameSize(second), std::optional<cv::Size>(larger));
    EXPECT_EQ(countFrames(recorder.path()), 2);
}

TEST_F(RecorderTest, AWriterThatGivesUpStopsRecordingWithOneLine) {
    const fs::path sub = dir / "recordings";
    fs::create_directories(sub);
    Recorder recorder(size, sub.string(), messages);
    ASSERT_TRUE(recorder.start(march5()));
    cv::Mat frame(size, CV_8UC3);
    for (int i = 0; i < 5; ++i) {
        frame.setTo(cv::Scalar::all(0));
        recorder.record(frame);
    }
    fs::remove_all(sub);
    int passes = 0;
    while (recorder.isRecording() && passes < 100) {
        frame.setTo(cv::Scalar::all(0));
        recorder.record(frame);
        ++passes;
    }
    ASSERT_FALSE(recorder.isRecording());
    EXPECT_EQ(cv::countNonZero(frame.reshape(1)), 0) << "no label once recording stopped";
    const std::string text = messages.str();
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
    EXPECT_EQ(text.rfind("Recording stopped: " + recorder.path() + ": ", 0), 0u) << text;
    EXPECT_NE(text.find(std::to_string(recorder.framesWritten()) + " frames saved\n"), std::string::npos)
        << text;
    // Stopping again says nothing more.
    recorder.stop();
    EXPECT_EQ(messages.str(), text);
}

}  // namespace
}  // namespace tarvolen
