#include <dlfcn.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <stdexcept>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include "TestSupport.h"
#include "media/FrameReader.h"
#include "media/VideoFile.h"
#include "media/VideoSource.h"

namespace tarvolen {
namespace {

using std::chrono::milliseconds;
using Status = FrameReader::Status;
using Clock = std::chrono::steady_clock;

constexpr milliseconds kShortStall(50);  // a stall timeout a test can wait out
constexpr milliseconds kPrompt(1000);    // far more than stopping a reader takes
constexpr double kLevelTolerance = 3.0;  // JPEG's error on a flat frame

using test::levelOf;

class FrameReaderTest : public test::TempFolderTest {
protected:
    // A clip of `frames` frames whose gray level tells their number.
    std::string makeClip(int frames) {
        const std::string path = file("clip.avi");
        cv::VideoWriter out(path, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), kClipFps, clipSize, true);
        for (int i = 0; i < frames; ++i) out.write(test::stampedFrame(i, clipSize));
        return path;
    }

    static cv::VideoCapture open(const std::string& path) {
        cv::VideoCapture capture;
        EXPECT_TRUE(openVideoFile(path, capture));
        return capture;
    }
    cv::VideoCapture openClip(int frames) { return open(makeClip(frames)); }

    FrameReaderSettings shortStall(FrameReaderSettings settings) const {
        settings.stallTimeout = kShortStall;
        settings.retryInterval = milliseconds(1);
        return settings;
    }

    // The next status other than Waiting, waiting as the live loop does.
    static Status nextFrame(FrameReader& reader, DecodedFrame& frame) {
        const auto deadline = Clock::now() + test::scaled(test::kPatience);
        Status status = Status::Waiting;
        while (Clock::now() < deadline) {
            status = reader.next(frame, milliseconds(10));
            if (status != Status::Waiting) break;
        }
        return status;
    }

    static constexpr double kClipFps = 25.0;
    const cv::Size clipSize{64, 48};
};

TEST_F(FrameReaderTest, DeliversEveryFrameInOrderThenLoopsFromFrameIndexOne) {
    FrameReader reader(openClip(5), liveFileReading(clipSize));
    // Index 0 is shown once; after the end the file restarts at index 1.
    const int expected[] = {0, 1, 2, 3, 4, 1, 2, 3, 4, 1, 2};
    DecodedFrame frame;
    std::int64_t decodeOrder = 0;
    for (int number : expected) {
        ASSERT_EQ(nextFrame(reader, frame), Status::Frame) << number;
        ASSERT_EQ(frame.picture.size(), clipSize);
        ASSERT_EQ(frame.picture.type(), CV_8UC3);
        EXPECT_NEAR(cv::mean(frame.picture)[0], levelOf(number), kLevelTolerance) << number;
        EXPECT_EQ(frame.index, decodeOrder++);
    }
}

TEST_F(FrameReaderTest, FramesAreBroughtToTheStartSize) {
    const cv::Size startSize(32, 24);
    FrameReader reader(openClip(3), liveFileReading(startSize));
    DecodedFrame frame;
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(nextFrame(reader, frame), Status::Frame);
        EXPECT_EQ(frame.picture.size(), startSize);
        EXPECT_EQ(frame.picture.type(), CV_8UC3);
        EXPECT_NEAR(cv::mean(frame.picture)[0], levelOf(i), kLevelTolerance);
    }
}

TEST_F(FrameReaderTest, ReadToTheEndDeliversEachFrameOnceAsDecodedWithItsTime) {
    FrameReader reader(openClip(4), scanReading([] { return false; }));
    DecodedFrame frame;
    for (int i = 0; i < 4; ++i) {
        ASSERT_EQ(reader.next(frame), Status::Frame) << i;
        EXPECT_EQ(frame.picture.size(), clipSize);
        EXPECT_NEAR(cv::mean(frame.picture)[0], levelOf(i), kLevelTolerance);
        EXPECT_EQ(frame.index, i);
        // The position after reading frame i, as the capture reports it.
        EXPECT_NEAR(frame.positionMs, i * 1000.0 / kClipFps, 1.0) << i;
    }
    EXPECT_EQ(reader.next(frame), Status::Ended);
    EXPECT_EQ(reader.next(frame, milliseconds(1)), Status::Ended);
}

// Frames read as the luma plane reach the caller with their gray levels and
// their colour; brought to another size, they come as BGR like any frame.
TEST_F(FrameReaderTest, LumaFramesComeWithTheirLevelsAndColourOrAreBroughtToBgr) {
    for (const cv::Size size : {clipSize, cv::Size(32, 24)}) {
        std::string why;
        std::unique_ptr<VideoFile> file = VideoFile::open(makeClip(3), why);
        ASSERT_TRUE(file) << why;
        file->setPictures(FramePictures::Luma);
        FrameReaderSettings settings = scanReading([] { return false; });
        settings.conformTo = size;
        settings.colourAhead = true;
        FrameReader reader(std::make_unique<FileInput>(std::move(file)), settings);
        DecodedFrame frame;
        cv::Mat gray;
        for (int i = 0; i < 3; ++i) {
            ASSERT_EQ(reader.next(frame), Status::Frame) << i;
            ASSERT_EQ(frame.picture.size(), size);
            ASSERT_EQ(frame.luma != nullptr, size == clipSize);
            if (frame.luma) {
                cv::LUT(frame.picture, frame.grayLevels(), gray);
                EXPECT_NEAR(cv::mean(gray)[0], levelOf(i), kLevelTolerance);
            }
            EXPECT_NEAR(cv::mean(frame.takeBgr())[0], levelOf(i), kLevelTolerance);
        }
    }
}

TEST_F(FrameReaderTest, ASourceWithoutFramesStallsAndStopsAtOnce) {
    // One frame: the rewind to frame index 1 finds nothing.
    auto reader = std::make_unique<FrameReader>(openClip(1), liveFileReading(clipSize));
    DecodedFrame frame;
    ASSERT_EQ(nextFrame(*reader, frame), Status::Frame);
    EXPECT_EQ(nextFrame(*reader, frame), Status::Stalling);
    // Frames are not invented meanwhile.
    EXPECT_NE(reader->next(frame, milliseconds(50)), Status::Frame);
    const auto before = Clock::now();
    reader.reset();
    EXPECT_LT(Clock::now() - before, test::scaled(kPrompt)) << "the decode thread lingered";
}

// Loop and Retry both give a source up once nothing was read for the stall
// timeout, and not before.
class StallTimeout : public FrameReaderTest, public ::testing::WithParamInterface<EmptyReadPolicy> {};

TEST_P(StallTimeout, AClosedCaptureIsGivenUpAfterTheStallTimeout) {
    FrameReaderSettings settings = shortStall(cameraReading(clipSize));
    settings.onEmptyRead = GetParam();
    // Before the reader: its stall clock starts when it does.
    const auto start = Clock::now();
    FrameReader reader(cv::VideoCapture(), settings);
    DecodedFrame frame;
    Status status = Status::Waiting;
    while (status != Status::Stalled && Clock::now() - start < test::scaled(test::kPatience)) {
        status = reader.next(frame, milliseconds(5));
        ASSERT_NE(status, Status::Frame);
        ASSERT_NE(status, Status::Ended);
    }
    EXPECT_EQ(status, Status::Stalled);
    EXPECT_GE(Clock::now() - start, kShortStall);
    EXPECT_TRUE(frame.picture.empty());
}

TEST_P(StallTimeout, IsMeasuredOnTheGivenClock) {
    // Each look at the clock moves it a second on: the default five seconds
    // pass after a handful of reads, in no time.
    auto fakeNow = std::make_shared<std::atomic<long>>(0);
    FrameReaderSettings settings = cameraReading(clipSize);
    settings.onEmptyRead = GetParam();
    settings.retryInterval = milliseconds(1);
    settings.clock = [fakeNow] { return Clock::time_point(std::chrono::seconds(fakeNow->fetch_add(1))); };
    FrameReader reader(cv::VideoCapture(), settings);
    DecodedFrame frame;
    const auto start = Clock::now();
    EXPECT_EQ(reader.next(frame), Status::Stalled);
    EXPECT_LT(Clock::now() - start, test::scaled(2 * kPrompt));
    // Given up only once more than the timeout had passed on that clock.
    EXPECT_GT(std::chrono::seconds(fakeNow->load() - 1), settings.stallTimeout);
}

INSTANTIATE_TEST_SUITE_P(LoopAndRetry, StallTimeout,
                         ::testing::Values(EmptyReadPolicy::Loop, EmptyReadPolicy::Retry));

// A picture handed back while someone else still refers to it must never be
// decoded into: their pixels would change under them.
struct HandBack {
    const char* name;
    bool explicitRecycle;  // recycle() as the scan does, or next() as the live loop does
    bool liveFile;
};

class KeptFrames : public FrameReaderTest, public ::testing::WithParamInterface<HandBack> {
protected:
    std::unique_ptr<FrameReader> start(const std::string& clip) {
        if (GetParam().liveFile) return std::make_unique<FrameReader>(open(clip), liveFileReading(clipSize));
        return std::make_unique<FrameReader>(open(clip), scanReading([] { return false; }));
    }

    // The next frame, handing back the one held now.
    void advance(FrameReader& reader, DecodedFrame& frame) {
        if (GetParam().explicitRecycle) reader.recycle(std::move(frame.picture));
        ASSERT_EQ(nextFrame(reader, frame), Status::Frame);
    }
};

TEST_P(KeptFrames, AreNeverDecodedInto) {
    constexpr int kFrames = 8;
    std::unique_ptr<FrameReader> reader = start(makeClip(kFrames));
    DecodedFrame frame;
    ASSERT_EQ(nextFrame(*reader, frame), Status::Frame);
    const cv::Mat keep = frame.picture;  // a second reference, not a copy
    for (int i = 1; i < kFrames; ++i) {
        advance(*reader, frame);
        EXPECT_NE(frame.picture.data, keep.data) << "frame " << i << " was decoded into a kept picture";
        EXPECT_NEAR(cv::mean(keep)[0], levelOf(0), kLevelTolerance) << "after frame " << i;
    }
}

// Counts the pictures of one size and type that OpenCV allocates while it is
// installed (on every thread).
class CountingAllocator : public cv::MatAllocator {
public:
    CountingAllocator(cv::Size counted, int type)
        : size(counted), pictureType(type), standard(cv::Mat::getDefaultAllocator()) {
        cv::Mat::setDefaultAllocator(this);
    }
    ~CountingAllocator() override { cv::Mat::setDefaultAllocator(const_cast<cv::MatAllocator*>(standard)); }

    cv::UMatData* allocate(int dims, const int* sizes, int type, void* data, size_t* step,
                           cv::AccessFlag flags, cv::UMatUsageFlags usage) const override {
        if (dims == 2 && sizes[0] == size.height && sizes[1] == size.width && type == pictureType) ++count;
        cv::UMatData* made = standard->allocate(dims, sizes, type, data, step, flags, usage);
        // Its pictures are the default allocator's, as the reader expects of
        // the pictures it may decode into again.
        if (made != nullptr) made->currAllocator = this;
        return made;
    }
    bool allocate(cv::UMatData* data, cv::AccessFlag flags, cv::UMatUsageFlags usage) const override {
        return standard->allocate(data, flags, usage);
    }
    void deallocate(cv::UMatData* data) const override { standard->deallocate(data); }

    int allocated() const { return count.load(); }

private:
    const cv::Size size;
    const int pictureType;
    const cv::MatAllocator* const standard;
    mutable std::atomic<int> count{0};
};

TEST_P(KeptFrames, PicturesNobodyHoldsAreDecodedIntoAgain) {
    constexpr int kFrames = 40;
    const std::string clip = makeClip(kFrames);
    const CountingAllocator counting(clipSize, CV_8UC3);
    std::unique_ptr<FrameReader> reader = start(clip);
    DecodedFrame frame;
    ASSERT_EQ(nextFrame(*reader, frame), Status::Frame);
    for (int i = 1; i < kFrames; ++i) advance(*reader, frame);
    // At most: those queued, the one being read, the one held, and the
    // spares handed back (as many again as those three). How many spares
    // there are depends on who wins each hand-over: a reader that finds none
    // at the instant it needs one decodes into a new picture. Every other
    // frame goes into one of them.
    const int queued = static_cast<int>(GetParam().liveFile ? kLiveFileQueueFrames : kScanQueueFrames);
    const int inCirculation = 2 * (queued + 2);
    EXPECT_LE(counting.allocated(), inCirculation);
}

INSTANTIATE_TEST_SUITE_P(Routes, KeptFrames,
                         ::testing::Values(HandBack{"LiveLoopNext", false, true},
                                           HandBack{"ScanRecycle", true, false}),
                         [](const ::testing::TestParamInfo<HandBack>& route) { return route.param.name; });

TEST_F(FrameReaderTest, TheStopPredicateEndsTheStream) {
    std::atomic<bool> stopNow{false};
    FrameReader reader(openClip(20), scanReading([&stopNow] { return stopNow.load(); }));
    DecodedFrame frame;
    ASSERT_EQ(reader.next(frame), Status::Frame);
    stopNow = true;
    int more = 0;
    while (reader.next(frame) == Status::Frame) ++more;
    // What was queued before the stop may still come, nothing after.
    EXPECT_LE(more, static_cast<int>(kScanQueueFrames) + 1);
    EXPECT_EQ(reader.next(frame), Status::Ended);
}

TEST_F(FrameReaderTest, StopReturnsWhileTheQueueIsFull) {
    FrameReader reader(openClip(20), scanReading([] { return false; }));
    DecodedFrame frame;
    ASSERT_EQ(reader.next(frame), Status::Frame);
    const auto before = Clock::now();
    reader.stop();
    EXPECT_LT(Clock::now() - before, test::scaled(kPrompt));
    EXPECT_EQ(reader.next(frame), Status::Ended);
}

// An exception on the decode thread must end the stream, not the program.
class DecodeThreadException : public FrameReaderTest,
                              public ::testing::WithParamInterface<std::pair<EmptyReadPolicy, Status>> {};

TEST_P(DecodeThreadException, EndsTheStream) {
    FrameReaderSettings settings = shortStall(liveFileReading(clipSize));
    settings.onEmptyRead = GetParam().first;
    settings.stopRequested = []() -> bool { throw std::runtime_error("cannot tell"); };
    FrameReader reader(openClip(3), settings);
    DecodedFrame frame;
    EXPECT_EQ(reader.next(frame), GetParam().second);
}

INSTANTIATE_TEST_SUITE_P(Policies, DecodeThreadException,
                         ::testing::Values(std::make_pair(EmptyReadPolicy::Loop, Status::Stalled),
                                           std::make_pair(EmptyReadPolicy::Retry, Status::Stalled),
                                           std::make_pair(EmptyReadPolicy::ToEnd, Status::Ended)));

TEST_F(FrameReaderTest, OpenVideoFileOpensClipsAndImageSequencesAndRefusesTheRest) {
    cv::VideoCapture capture;
    EXPECT_TRUE(openVideoFile(makeClip(2), capture));
    for (int i = 0; i < 3; ++i) cv::imwrite(file(cv::format("frame_%04d.png", i)), test::stampedFrame(i, clipSize));
    cv::VideoCapture sequence;
    ASSERT_TRUE(openVideoFile(file("frame_%04d.png"), sequence));
    int read = 0;
    for (cv::Mat frame; sequence.read(frame); ++read) EXPECT_NEAR(cv::mean(frame)[0], levelOf(read), 0.5) << read;
    EXPECT_EQ(read, 3);
    const std::string text = (dir / "notes.txt").string();
    std::ofstream(text) << "not a video";
    for (const std::string& path : {text, (dir / "missing.avi").string(), dir.string()}) {
        cv::VideoCapture other;
        EXPECT_FALSE(openVideoFile(path, other)) << path;
    }
}

// OpenCV loads GStreamer with its own library and starts it only when a
// pipeline is asked for. A path FFmpeg refuses must never be handed to it:
// its pipeline times out on a busy machine and prints to standard error.
TEST_F(FrameReaderTest, APathFfmpegRefusesIsNeverHandedToGStreamer) {
    using Initialised = int (*)();
    const auto initialised = reinterpret_cast<Initialised>(dlsym(RTLD_DEFAULT, "gst_is_initialized"));
    TARVOLEN_REQUIRE(initialised != nullptr, "this OpenCV is built without GStreamer");
    const std::string text = file("notes.avi");
    std::ofstream(text) << "not a video";
    // A process of its own, in which nothing else has started GStreamer.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            for (const std::string& path : {text, file("missing.avi")}) {
                cv::VideoCapture capture;
                if (openVideoFile(path, capture)) std::exit(2);
            }
            std::exit(initialised() ? 1 : 0);
        },
        ::testing::ExitedWithCode(0), "");
}

// Back ends report sizes as doubles, and any number can come: a cast of NaN,
// infinity or a huge number to int is undefined.
struct ReportedSides {
    double width;
    double height;
    std::optional<cv::Size> size;
};

class ReportedFrameSize : public ::testing::TestWithParam<ReportedSides> {};

TEST_P(ReportedFrameSize, GivesWholePixelsOrNothing) {
    const ReportedSides& sides = GetParam();
    EXPECT_EQ(reportedFrameSize(sides.width, sides.height), sides.size) << sides.width << "x" << sides.height;
    EXPECT_EQ(
        reportedFrameSize(sides.height, sides.width),
        sides.size ? std::optional<cv::Size>(cv::Size(sides.size->height, sides.size->width)) : std::nullopt);
}

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr int kMax = kMaxReportedFrameSide;

INSTANTIATE_TEST_SUITE_P(
    Values, ReportedFrameSize,
    ::testing::Values(ReportedSides{640, 480, cv::Size(640, 480)},
                      ReportedSides{640.9, 1.0, cv::Size(640, 1)}, ReportedSides{kNaN, 480, std::nullopt},
                      ReportedSides{kInf, 480, cv::Size(kMax, 480)}, ReportedSides{-kInf, 480, std::nullopt},
                      ReportedSides{-5, 480, std::nullopt}, ReportedSides{0, 480, std::nullopt},
                      ReportedSides{0.5, 480, std::nullopt}, ReportedSides{1e300, 480, cv::Size(kMax, 480)},
                      ReportedSides{3e9, 1e10, cv::Size(kMax, kMax)}));

TEST(ReportedFrameSizeOfCapture, AClosedCaptureReportsNone) {
    EXPECT_EQ(reportedFrameSize(cv::VideoCapture()), std::nullopt);
}

}  // namespace
}  // namespace tarvolen
