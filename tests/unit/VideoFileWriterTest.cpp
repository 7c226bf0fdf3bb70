#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include "TestSupport.h"
#include "media/DiskGuard.h"
#include "media/VideoFileWriter.h"

namespace tarvolen {
namespace {

namespace fs = std::filesystem;

constexpr double kFps = 30.0;

// Every frame the file can be read to, and how many its index claims.
struct FileContents {
    int decoded = 0;
    int claimed = 0;
    std::vector<double> levels;
};

FileContents readBack(const std::string& path) {
    FileContents contents;
    cv::VideoCapture in(path);
    if (!in.isOpened()) return contents;
    contents.claimed = static_cast<int>(in.get(cv::CAP_PROP_FRAME_COUNT));
    cv::Mat frame;
    while (in.read(frame)) {
        ++contents.decoded;
        contents.levels.push_back(cv::mean(frame)[0]);
    }
    return contents;
}

class VideoFileWriterTest : public test::TempFolderTest {
protected:
    const cv::Size size{96, 64};
    std::string path = file("out.avi");
};

TEST_F(VideoFileWriterTest, WritesEveryFrameInOrder) {
    constexpr int kFrames = 60;  // many times the queue: the producer must wait, never drop
    {
        VideoFileWriter writer;
        ASSERT_TRUE(writer.open(path, kFps, size)) << writer.failure();
        EXPECT_TRUE(writer.accepting());
        EXPECT_EQ(writer.path(), path);
        for (int i = 0; i < kFrames; ++i) ASSERT_TRUE(writer.write(test::stampedFrame(i, size))) << i;
        writer.finish();
        EXPECT_EQ(writer.framesWritten(), static_cast<std::uint64_t>(kFrames));
        EXPECT_FALSE(writer.failed());
        EXPECT_EQ(writer.failure(), "");
    }
    const FileContents contents = readBack(path);
    EXPECT_EQ(contents.decoded, kFrames);
    EXPECT_EQ(contents.claimed, kFrames);
    for (int i = 0; i < contents.decoded; ++i)
        EXPECT_NEAR(contents.levels[i], cv::mean(test::stampedFrame(i, size))[0], 3.0) << "frame " << i;

    cv::VideoCapture in(path);
    EXPECT_EQ(in.get(cv::CAP_PROP_FPS), kFps);
    EXPECT_EQ(static_cast<int>(in.get(cv::CAP_PROP_FOURCC)), cv::VideoWriter::fourcc('M', 'J', 'P', 'G'));
    EXPECT_EQ(in.get(cv::CAP_PROP_FRAME_WIDTH), size.width);
    EXPECT_EQ(in.get(cv::CAP_PROP_FRAME_HEIGHT), size.height);
}

TEST_F(VideoFileWriterTest, TheCallerMayReuseItsFrameAtOnce) {
    VideoFileWriter writer;
    ASSERT_TRUE(writer.open(path, kFps, size));
    cv::Mat frame(size, CV_8UC3);
    for (int i = 0; i < 20; ++i) {
        test::stampedFrame(i, size).copyTo(frame);
        ASSERT_TRUE(writer.write(frame));
    }
    // Moved frames are taken as they are.
    for (int i = 20; i < 25; ++i) ASSERT_TRUE(writer.write(test::stampedFrame(i, size)));
    writer.finish();
    const FileContents contents = readBack(path);
    ASSERT_EQ(contents.decoded, 25);
    for (int i = 0; i < 25; ++i)
        EXPECT_NEAR(contents.levels[i], cv::mean(test::stampedFrame(i, size))[0], 3.0) << i;
}

TEST_F(VideoFileWriterTest, FinishIsIdempotentAndEndsAcceptingFrames) {
    VideoFileWriter writer;
    ASSERT_TRUE(writer.open(path, kFps, size));
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(writer.write(test::stampedFrame(i, size)));
    writer.finish();
    writer.finish();
    EXPECT_FALSE(writer.accepting());
    EXPECT_FALSE(writer.write(test::stampedFrame(3, size)));
    EXPECT_FALSE(writer.failed());
    EXPECT_EQ(writer.framesWritten(), 3u);
    EXPECT_EQ(readBack(path).claimed, 3);
    // One writer, one file.
    EXPECT_FALSE(writer.open((dir / "other.avi").string(), kFps, size));
}

TEST_F(VideoFileWriterTest, TheDestructorFinishesTheFile) {
    {
        VideoFileWriter writer;
        ASSERT_TRUE(writer.open(path, kFps, size));
        for (int i = 0; i < 7; ++i) ASSERT_TRUE(writer.write(test::stampedFrame(i, size)));
    }
    const FileContents contents = readBack(path);
    EXPECT_EQ(contents.decoded, 7);
    EXPECT_EQ(contents.claimed, 7);
}

TEST_F(VideoFileWriterTest, FramesOfAnotherSizeOrLayoutAreRefusedWithoutFailing) {
    VideoFileWriter writer;
    ASSERT_TRUE(writer.open(path, kFps, size));
    EXPECT_FALSE(writer.write(cv::Mat(size.height + 1, size.width, CV_8UC3, cv::Scalar::all(9))));
    EXPECT_FALSE(writer.write(cv::Mat(size, CV_8UC1, cv::Scalar(9))));
    EXPECT_FALSE(writer.write(cv::Mat()));
    EXPECT_TRUE(writer.accepting());
    EXPECT_FALSE(writer.failed());
    EXPECT_TRUE(writer.write(test::stampedFrame(0, size)));
    writer.finish();
    EXPECT_EQ(writer.framesWritten(), 1u);
}

TEST_F(VideoFileWriterTest, NeverOpenedAcceptsNothing) {
    VideoFileWriter writer;
    EXPECT_FALSE(writer.accepting());
    EXPECT_FALSE(writer.write(cv::Mat(0, 0, CV_8UC3)));
    writer.finish();
    EXPECT_FALSE(writer.failed());
}

TEST_F(VideoFileWriterTest, OpenFailureNamesTheFileAndTheReason) {
    const std::string missing = (dir / "no" / "such" / "out.avi").string();
    VideoFileWriter writer;
    EXPECT_FALSE(writer.open(missing, kFps, size));
    EXPECT_TRUE(writer.failed());
    EXPECT_FALSE(writer.accepting());
    EXPECT_EQ(writer.failure(), missing + ": its folder does not exist");
    EXPECT_FALSE(writer.write(test::stampedFrame(0, size)));
    EXPECT_FALSE(fs::exists(missing));
}

// Folder permissions do not bind root: as root the scenario runs in a child
// process that drops to an unprivileged user first. The scenario returns what
// went wrong, or nothing.
constexpr uid_t kNobody = 65534;

// Whether this root may hand a folder to an unprivileged user and become it
// (not so in some user namespaces).
bool canBecomeNobody(const fs::path& dir) {
    const pid_t child = fork();
    if (child == 0) {
        const bool ok =
            chown(dir.c_str(), kNobody, kNobody) == 0 && setgid(kNobody) == 0 && setuid(kNobody) == 0;
        std::_Exit(ok ? 0 : 1);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child) return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void runUnprivileged(const fs::path& dir, const std::function<std::string()>& scenario) {
    if (geteuid() != 0) {
        EXPECT_EQ(scenario(), "");
        return;
    }
    TARVOLEN_REQUIRE(canBecomeNobody(dir), "root here cannot become an unprivileged user");
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            if (chown(dir.c_str(), kNobody, kNobody) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0) {
                std::fputs("cannot drop privileges", stderr);
                std::_Exit(2);
            }
            const std::string problem = scenario();
            std::fputs(problem.c_str(), stderr);
            // exit(): the child's own folder, now nobody's, is removed on the way out.
            std::exit(problem.empty() ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

void makeReadOnly(const fs::path& dir) {
    fs::permissions(dir, fs::perms::owner_read | fs::perms::owner_exec);
}

TEST_F(VideoFileWriterTest, UnwritableFolderIsRefusedAtOpen) {
    runUnprivileged(dir, [this]() -> std::string {
        makeReadOnly(dir);
        VideoFileWriter writer;
        if (writer.open(path, kFps, size)) return "opened";
        const std::string expected = path + ": its folder is not writable";
        return writer.failure() == expected ? "" : "failure: " + writer.failure();
    });
}

TEST_F(VideoFileWriterTest, FolderBecomingUnwritableStopsTheRecording) {
    runUnprivileged(dir, [this]() -> std::string {
        VideoFileWriter writer;
        if (!writer.open(path, kFps, size)) return "not opened: " + writer.failure();
        for (int i = 0; i < 5; ++i) writer.write(test::stampedFrame(i, size));
        makeReadOnly(dir);
        int accepted = 5;
        while (accepted < 100 && writer.write(test::stampedFrame(accepted, size))) ++accepted;
        writer.finish();
        if (writer.failure() != path + ": its folder is no longer writable")
            return "failure: " + writer.failure();
        const FileContents contents = readBack(path);
        if (contents.decoded != static_cast<int>(writer.framesWritten()) ||
            contents.claimed != contents.decoded)
            return "frames written " + std::to_string(writer.framesWritten()) + ", decoded " +
                   std::to_string(contents.decoded) + ", claimed " + std::to_string(contents.claimed);
        // Frames still queued when the folder changed are not written.
        return writer.framesWritten() <= 5 ? "" : "frames written after the change";
    });
}

TEST_F(VideoFileWriterTest, FolderRemovedMidRecordingStopsTheRecording) {
    const fs::path sub = dir / "recordings";
    fs::create_directories(sub);
    const std::string file = (sub / "out.avi").string();
    VideoFileWriter writer;
    ASSERT_TRUE(writer.open(file, kFps, size));
    for (int i = 0; i < 10; ++i) ASSERT_TRUE(writer.write(test::stampedFrame(i, size)));
    fs::remove_all(sub);
    int accepted = 10;
    // At most the frames already queued are accepted after the removal.
    while (accepted < 100 && writer.write(test::stampedFrame(accepted, size))) ++accepted;
    EXPECT_LE(accepted, 10 + static_cast<int>(VideoFileWriter::kQueueCapacity) + 1);
    writer.finish();
    EXPECT_TRUE(writer.failed());
    // The file goes first: the writer may look in between.
    EXPECT_THAT(writer.failure(),
                ::testing::AnyOf(file + ": its folder was removed", file + ": the file was deleted"));
    EXPECT_FALSE(writer.accepting());
}

TEST_F(VideoFileWriterTest, DeletedFileStopsTheRecording) {
    VideoFileWriter writer;
    ASSERT_TRUE(writer.open(path, kFps, size));
    ASSERT_TRUE(writer.write(test::stampedFrame(0, size)));
    fs::remove(path);
    int accepted = 1;
    while (accepted < 100 && writer.write(test::stampedFrame(accepted, size))) ++accepted;
    writer.finish();
    EXPECT_EQ(writer.failure(), path + ": the file was deleted");
}

// A real small file system: the writer must stop before it is full and leave
// a file whose index counts exactly the frames it holds.
class FullFileSystem : public VideoFileWriterTest {
protected:
    void SetUp() override {
        VideoFileWriterTest::SetUp();
        mountPoint = dir / "small";
        fs::create_directories(mountPoint);
        const bool mountedNow = mount("tarvolen-test", mountPoint.c_str(), "tmpfs", 0, "size=2m") == 0;
        TARVOLEN_REQUIRE(mountedNow, "cannot mount a 2 MB tmpfs here (" << std::strerror(errno)
                                                                        << "); the full-disk case needs root or CAP_SYS_ADMIN");
        mounted = true;
    }
    void TearDown() override {
        if (mounted) umount2(mountPoint.c_str(), MNT_DETACH);
        VideoFileWriterTest::TearDown();
    }

    fs::path mountPoint;
    bool mounted = false;
};

TEST_F(FullFileSystem, StopsBeforeTheDiskIsFullAndLeavesAPlayableFile) {
    const cv::Size big(320, 240);
    const std::string file = (mountPoint / "full.avi").string();
    VideoFileWriter writer;
    ASSERT_TRUE(writer.open(file, kFps, big)) << writer.failure();
    int accepted = 0;
    constexpr int kEnough = 2000;  // noise frames of this size fill 2 MB long before
    while (accepted < kEnough && writer.write(test::noiseFrame(big, accepted))) ++accepted;
    ASSERT_LT(accepted, kEnough) << "the writer never gave up";
    EXPECT_TRUE(writer.failed());
    EXPECT_NE(writer.failure().find(file + ": the disk is nearly full ("), std::string::npos)
        << writer.failure();
    writer.finish();
    EXPECT_GT(writer.framesWritten(), 5u);
    const FileContents contents = readBack(file);
    EXPECT_EQ(contents.decoded, static_cast<int>(writer.framesWritten()));
    EXPECT_EQ(contents.claimed, contents.decoded);
}

TEST_F(FullFileSystem, TooLittleRoomForTheFirstFramesRefusesToOpen) {
    // Fill the file system but for a little room.
    {
        std::ofstream filler(mountPoint / "filler", std::ios::binary);
        const std::string block(64 * 1024, 'x');
        for (int i = 0; i < 28; ++i) filler << block;  // 1.75 MB of 2 MB
    }
    const std::string file = (mountPoint / "late.avi").string();
    VideoFileWriter writer;
    EXPECT_FALSE(writer.open(file, kFps, cv::Size(640, 480)));
    EXPECT_NE(writer.failure().find(file + ": the disk is nearly full ("), std::string::npos)
        << writer.failure();
}

struct StopCase {
    const char* name;
    FileSystemState state;
    const char* reason;  // empty: go on
};

class StopReasons : public ::testing::TestWithParam<StopCase> {};

FileSystemState roomy() {
    FileSystemState s;
    s.freeBytes = 10'000'000;
    return s;
}

FileSystemState with(bool FileSystemState::*field, bool value) {
    FileSystemState s = roomy();
    s.*field = value;
    return s;
}

TEST_P(StopReasons, NameTheFirstProblem) {
    const std::optional<std::string> reason = stopReason(GetParam().state, 1'000'000);
    if (*GetParam().reason == '\0') {
        EXPECT_FALSE(reason.has_value()) << *reason;
    } else {
        ASSERT_TRUE(reason.has_value());
        EXPECT_EQ(*reason, GetParam().reason);
    }
}

INSTANTIATE_TEST_SUITE_P(
    States, StopReasons,
    ::testing::Values(
        StopCase{"fine", roomy(), ""},
        StopCase{"removed", with(&FileSystemState::folderPresent, false), "its folder was removed"},
        StopCase{"deleted", with(&FileSystemState::fileLinked, false), "the file was deleted"},
        StopCase{"readonly", with(&FileSystemState::readOnly, true), "its file system became read-only"},
        StopCase{"unwritable", with(&FileSystemState::folderWritable, false),
                 "its folder is no longer writable"},
        StopCase{"full", FileSystemState{}, "the disk is nearly full (0 bytes left)"}),
    [](const ::testing::TestParamInfo<StopCase>& testCase) { return std::string(testCase.param.name); });

TEST(StopReason, TheReserveIsTheLimit) {
    FileSystemState state;
    state.freeBytes = 999'999;
    EXPECT_EQ(stopReason(state, 1'000'000),
              std::optional<std::string>("the disk is nearly full (976 KB left)"));
    state.freeBytes = 1'000'000;
    EXPECT_FALSE(stopReason(state, 1'000'000).has_value());
}

TEST(HumanBytes, PicksAReadableUnit) {
    EXPECT_EQ(humanBytes(0), "0 bytes");
    EXPECT_EQ(humanBytes(1023), "1023 bytes");
    EXPECT_EQ(humanBytes(96 * 1024), "96 KB");
    EXPECT_EQ(humanBytes(5 * 1024 * 1024 / 2), "2.5 MB");
    EXPECT_EQ(humanBytes(3ull << 30), "3.0 GB");
}

class DiskGuardTest : public VideoFileWriterTest {
protected:
    void grow(std::size_t bytes) {
        std::ofstream out(path, std::ios::binary | std::ios::app);
        out << std::string(bytes, 'x');
    }
};

TEST_F(DiskGuardTest, LearnsTheLargestGrowthPerFrameAndPerStep) {
    std::ofstream(path, std::ios::binary) << "header";
    const cv::Size frame(100, 100);
    DiskGuard guard;
    ASSERT_TRUE(guard.attach(path, frame));
    const auto reserve = [](std::uint64_t frames, std::uint64_t perFrame, std::uint64_t step) {
        return DiskGuard::kFixedMargin +
               DiskGuard::kIndexBytesPerFrame * (frames + DiskGuard::kHeadroomFrames) +
               DiskGuard::kHeadroomFrames * perFrame + 2 * step;
    };
    const std::uint64_t assumedStep = DiskGuard::kAssumedWriteStep;
    // Nothing seen yet: a frame is taken to be as big as its raw pixels.
    EXPECT_EQ(guard.reserveBytes(0), reserve(0, 100 * 100 * 3, assumedStep));
    EXPECT_EQ(DiskGuard::initialReserve(frame), reserve(0, 100 * 100 * 3, assumedStep));
    EXPECT_FALSE(guard.check(0).has_value());
    // Buffered output: two frames arrive in one step of 8000 bytes.
    grow(8000);
    EXPECT_FALSE(guard.check(2).has_value());
    EXPECT_EQ(guard.reserveBytes(2), reserve(2, 4000, assumedStep));
    // A smaller frame does not lower the estimate; a bigger one raises it.
    grow(3000);
    guard.check(3);
    EXPECT_EQ(guard.reserveBytes(3), reserve(3, 4000, assumedStep));
    grow(5001);
    guard.check(4);
    EXPECT_EQ(guard.reserveBytes(4), reserve(4, 5001, assumedStep));
    // No growth, no change.
    guard.check(6);
    EXPECT_EQ(guard.reserveBytes(6), reserve(6, 5001, assumedStep));
    // A step larger than the assumed buffer raises the room kept for steps.
    grow(assumedStep + 4000);
    guard.check(8);
    // Spread over the four frames since the file last grew, rounded up.
    EXPECT_EQ(guard.reserveBytes(8), reserve(8, (assumedStep + 4000 + 3) / 4, assumedStep + 4000));
}

TEST_F(DiskGuardTest, SeesADeletedFileAndARemovedFolder) {
    const fs::path sub = dir / "sub";
    fs::create_directories(sub);
    path = (sub / "f.avi").string();
    std::ofstream(path) << "x";
    DiskGuard guard;
    ASSERT_TRUE(guard.attach(path, cv::Size(8, 8)));
    EXPECT_FALSE(guard.check(0).has_value());
    // A renamed folder still holds the file: no reason to stop.
    fs::rename(sub, dir / "moved");
    EXPECT_FALSE(guard.check(0).has_value());
    fs::remove(dir / "moved" / "f.avi");
    EXPECT_EQ(guard.check(0), std::optional<std::string>("the file was deleted"));
    fs::remove(dir / "moved");
    EXPECT_EQ(guard.check(0), std::optional<std::string>("its folder was removed"));
}

TEST_F(DiskGuardTest, AMissingFileCannotBeWatched) {
    DiskGuard guard;
    EXPECT_FALSE(guard.attach((dir / "absent.avi").string(), cv::Size(8, 8)));
    EXPECT_TRUE(guard.check(0).has_value());
}

}  // namespace
}  // namespace tarvolen
