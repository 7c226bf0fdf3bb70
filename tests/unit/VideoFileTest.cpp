// Reading video files through FFmpeg's libraries, against OpenCV's reader
// and ffprobe on files made by ffmpeg from the sample clip.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include "TestSupport.h"
#include "media/VideoFile.h"

namespace tarvolen {
namespace {

namespace fs = std::filesystem;

std::string sampleVideo() {
    if (const char* env = std::getenv("TARVOLEN_SAMPLE_VIDEO")) return env;
    return TARVOLEN_SAMPLE_VIDEO;
}

// Output of a shell command; empty when it failed.
std::string run(const std::string& command) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return out;
    char buffer[4096];
    while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) out.append(buffer, n);
    return pclose(pipe) == 0 ? out : std::string();
}

bool haveTools() { return !run("command -v ffmpeg && command -v ffprobe").empty(); }

// The presentation times ffprobe gives the frames it decodes, in ms.
std::vector<double> probeTimesMs(const std::string& file) {
    std::istringstream lines(run("ffprobe -v error -select_streams v:0 -show_entries frame=best_effort_timestamp_time "
                                 "-of csv=p=0 '" + file + "'"));
    std::vector<double> times;
    for (std::string line; std::getline(lines, line);)
        if (!line.empty()) times.push_back(std::stod(line) * 1000.0);
    return times;
}

std::vector<VideoFrame> readAll(VideoFile& file) {
    std::vector<VideoFrame> frames;
    VideoFrame frame;
    while (file.read(frame)) {
        VideoFrame kept = frame;
        kept.picture = frame.picture.clone();
        frames.push_back(kept);
    }
    return frames;
}

std::unique_ptr<VideoFile> openOrFail(const std::string& path) {
    std::string error;
    std::unique_ptr<VideoFile> file = VideoFile::open(path, error);
    EXPECT_TRUE(file) << path << ": " << error;
    return file;
}

// The files made from the sample clip are shared by the suite's tests.
class VideoFileTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        folder = std::make_unique<test::TempFolder>("tarvolen-videofile");
        dir = folder->path();
    }
    static void TearDownTestSuite() { folder.reset(); }

    void SetUp() override {
        TARVOLEN_REQUIRE(fs::exists(sampleVideo()) && haveTools(),
                         "needs the sample clip and ffmpeg (scripts/test.sh installs both)");
    }

    // Makes DIR/NAME from the first seconds of the sample clip with ffmpeg
    // ARGS, once.
    static std::string make(const std::string& name, const std::string& args) {
        const std::string path = (dir / name).string();
        if (!fs::exists(path))
            run("ffmpeg -v error -y -t 6 -i '" + sampleVideo() + "' " + args + " '" + path + "'");
        return path;
    }

    static inline std::unique_ptr<test::TempFolder> folder;
    static inline fs::path dir;
};

struct Encoding {
    const char* name;
    const char* file;
    const char* args;
};

class SameAsOpenCv : public VideoFileTest, public ::testing::WithParamInterface<Encoding> {};

TEST_P(SameAsOpenCv, EveryFrameHasOpenCvsPixels) {
    const std::string path = make(GetParam().file, GetParam().args);
    std::unique_ptr<VideoFile> file = openOrFail(path);
    ASSERT_TRUE(file);
    const std::vector<VideoFrame> frames = readAll(*file);
    cv::VideoCapture reference(path, cv::CAP_FFMPEG);
    ASSERT_TRUE(reference.isOpened());
    std::size_t n = 0;
    for (cv::Mat expected; reference.read(expected); ++n) {
        ASSERT_LT(n, frames.size()) << "OpenCV reads more frames";
        ASSERT_EQ(frames[n].index, static_cast<std::int64_t>(n));
        ASSERT_EQ(cv::norm(frames[n].picture, expected, cv::NORM_INF), 0.0) << "frame " << n;
    }
    EXPECT_EQ(frames.size(), n);
    EXPECT_EQ(file->frameSize(), frames.front().picture.size());
}

INSTANTIATE_TEST_SUITE_P(
    Files, SameAsOpenCv,
    ::testing::Values(Encoding{"MotionJpeg", "mjpeg.avi", "-c:v mjpeg -q:v 3"},
                      Encoding{"H264WithBFrames", "h264.mp4", "-c:v libx264 -bf 3 -pix_fmt yuv420p"},
                      Encoding{"OddSizeMotionJpeg", "odd.avi", "-vf scale=333:251 -c:v mjpeg"},
                      Encoding{"Vp9", "vp9.webm", "-c:v libvpx-vp9 -deadline realtime -cpu-used 8 -b:v 500k"}),
    [](const ::testing::TestParamInfo<Encoding>& testCase) { return std::string(testCase.param.name); });

// Asked for luma, a file gives codes whose gray levels are the gray of its BGR
// within rounding, and the BGR of a read in colour on demand; a format
// without a luma plane gives BGR as before.
class LumaPictures : public VideoFileTest, public ::testing::WithParamInterface<Encoding> {};

TEST_P(LumaPictures, AreTheGrayOfTheColourPicturesWithinRounding) {
    const std::string path =
        std::string(GetParam().file).empty() ? sampleVideo() : make(GetParam().file, GetParam().args);
    std::unique_ptr<VideoFile> colour = openOrFail(path);
    std::unique_ptr<VideoFile> luma = openOrFail(path);
    ASSERT_TRUE(colour && luma);
    luma->setPictures(FramePictures::Luma);
    const bool hasLumaPlane = std::string(GetParam().name) != "Rgb";
    VideoFrame expected, frame;
    cv::Mat gray, levels, difference;
    double sum = 0, beyondRounding = 0, pixels = 0;
    for (int n = 0; n < 20 && colour->read(expected); ++n) {
        ASSERT_TRUE(luma->read(frame));
        ASSERT_EQ(frame.luma != nullptr, hasLumaPlane);
        // The BGR picture is the very one of a read in colour.
        ASSERT_EQ(cv::norm(frame.luma ? frame.luma->bgr() : frame.picture, expected.picture, cv::NORM_INF),
                  0.0);
        if (!hasLumaPlane) continue;
        cv::cvtColor(expected.picture, gray, cv::COLOR_BGR2GRAY);
        cv::LUT(frame.picture, frame.luma->grayLevels(), levels);
        cv::absdiff(gray, levels, difference);
        sum += cv::sum(difference)[0];
        beyondRounding += cv::countNonZero(difference > 2);
        pixels += static_cast<double>(difference.total());
    }
    // The BGR conversion rounds each channel on its own (and clips saturated
    // colours); measured figures in bench/RESULTS.md.
    EXPECT_TRUE(!hasLumaPlane || (sum / pixels < 1.0 && beyondRounding / pixels < 0.03)) << sum / pixels;
}

INSTANTIATE_TEST_SUITE_P(
    Files, LumaPictures,
    ::testing::Values(Encoding{"SampleLimitedRange", "", ""},
                      Encoding{"MotionJpegFullRange", "mjpeg.avi", "-c:v mjpeg -q:v 3"},
                      Encoding{"TenBit", "h264-10.mkv", "-frames:v 20 -c:v libx264 -pix_fmt yuv420p10le"},
                      Encoding{"Rgb", "rgb.mkv", "-frames:v 20 -c:v ffv1 -pix_fmt bgr0"}),
    [](const ::testing::TestParamInfo<Encoding>& testCase) { return std::string(testCase.param.name); });

TEST_F(VideoFileTest, ARateThatChangesGivesEveryFrameItsOwnTime) {
    // 30 frames at 10 fps, then 25 fps.
    const std::string path =
        make("vfr.mkv",
             "-vf \"settb=1/1000,setpts='if(lt(N,30),N/10,3+(N-30)/25)/TB'\" -fps_mode passthrough "
             "-enc_time_base 1:1000 -c:v libx264");
    std::unique_ptr<VideoFile> file = openOrFail(path);
    ASSERT_TRUE(file);
    const std::vector<VideoFrame> frames = readAll(*file);
    const std::vector<double> expected = probeTimesMs(path);
    ASSERT_EQ(frames.size(), expected.size());
    ASSERT_GT(frames.size(), 40u);
    for (std::size_t i = 0; i < frames.size(); ++i) {
        EXPECT_NEAR(frames[i].timeMs, expected[i] - expected[0], 0.5) << "frame " << i;
        if (i > 0) {
            EXPECT_GT(frames[i].timeMs, frames[i - 1].timeMs);
        }
    }
    EXPECT_NEAR(frames[31].timeMs - frames[30].timeMs, 40.0, 0.5);
    EXPECT_NEAR(frames[10].timeMs - frames[9].timeMs, 100.0, 0.5);
}

// A copy of `clean` named `name` with `length` bytes of a fixed pattern
// written over it at 1/4, 2/4 and 3/4 of its size.
std::string damagedCopy(const std::string& clean, const fs::path& name, int length) {
    fs::copy_file(clean, name, fs::copy_options::overwrite_existing);
    const std::uintmax_t size = fs::file_size(name);
    std::mt19937 pattern(7);
    std::fstream bytes(name, std::ios::in | std::ios::out | std::ios::binary);
    for (int stretch = 1; stretch <= 3; ++stretch) {
        bytes.seekp(static_cast<std::streamoff>(size * stretch / 4));
        for (int i = 0; i < length; ++i) bytes.put(static_cast<char>(pattern()));
    }
    return name.string();
}

// The frames ffprobe decodes from `file`.
long probedFrames(const std::string& file) {
    const std::string counted = run("ffprobe -v error -count_frames -select_streams v:0 -show_entries "
                                    "stream=nb_read_frames -of csv=p=0 '" + file + "'");
    return counted.empty() ? -1 : std::stol(counted);
}

TEST_F(VideoFileTest, ADamagedStreamIsReadToItsEndAndTheDamageReported) {
    const std::string damaged = damagedCopy(make("clean.ts", "-c:v libx264 -g 25 -f mpegts"), dir / "damaged.ts", 3000);
    std::unique_ptr<VideoFile> file = openOrFail(damaged);
    ASSERT_TRUE(file);
    const std::vector<VideoFrame> frames = readAll(*file);
    EXPECT_EQ(static_cast<long>(frames.size()), probedFrames(damaged));
    EXPECT_GE(file->damage().size(), 1u);
    for (const DamagedStretch& stretch : file->damage()) {
        EXPECT_GE(stretch.beforeFrame, 0);
        EXPECT_LE(stretch.beforeFrame, static_cast<std::int64_t>(frames.size()));
    }
    for (std::size_t i = 1; i < frames.size(); ++i) ASSERT_GT(frames[i].timeMs, frames[i - 1].timeMs);
}

// Bytes spoilt inside frames a container still delivers whole: no packet is
// lost, every frame decodes, and only the decoder knows that it concealed
// errors. Those frames are damage too, found the same way in every read (a
// decoder that flags them only now and then, as H.264's frame threads do,
// would make a report that changes from run to run).
TEST_F(VideoFileTest, FramesTheDecoderConcealedErrorsInAreDamageEveryTime) {
    const std::string clean = make("h264.mkv", "-c:v libx264 -g 25 -pix_fmt yuv420p");
    const std::string damaged = damagedCopy(clean, dir / "concealed.mkv", 200);
    constexpr int kReads = 5;
    std::vector<std::pair<std::int64_t, int>> firstDamage;
    for (int read = 0; read < kReads; ++read) {
        std::unique_ptr<VideoFile> file = openOrFail(damaged);
        ASSERT_TRUE(file);
        EXPECT_EQ(static_cast<long>(readAll(*file).size()), probedFrames(clean)) << "every frame is still scanned";
        EXPECT_FALSE(file->endedEarly());
        std::vector<std::pair<std::int64_t, int>> damage;
        for (const DamagedStretch& stretch : file->damage()) damage.emplace_back(stretch.beforeFrame, stretch.packets);
        ASSERT_FALSE(damage.empty()) << "read " << read;
        if (read == 0) firstDamage = damage;
        EXPECT_EQ(damage, firstDamage) << "read " << read;
    }
}

TEST_F(VideoFileTest, SkippingToATimeGivesTheFramesOfAWholeRead) {
    const std::string path = make("h264.mp4", "-c:v libx264 -bf 3 -pix_fmt yuv420p");
    std::unique_ptr<VideoFile> whole = openOrFail(path);
    ASSERT_TRUE(whole);
    const std::vector<VideoFrame> all = readAll(*whole);
    for (const double startMs : {0.0, 2350.0, 4000.0}) {
        std::unique_ptr<VideoFile> part = openOrFail(path);
        ASSERT_TRUE(part->skipTo(startMs));
        const std::vector<VideoFrame> rest = readAll(*part);
        std::size_t first = 0;
        while (all[first].timeMs < startMs) ++first;
        ASSERT_EQ(rest.size(), all.size() - first) << "from " << startMs << " ms";
        for (std::size_t i = 0; i < rest.size(); ++i) {
            ASSERT_EQ(rest[i].index, all[first + i].index);
            ASSERT_DOUBLE_EQ(rest[i].timeMs, all[first + i].timeMs);
            ASSERT_EQ(cv::norm(rest[i].picture, all[first + i].picture, cv::NORM_INF), 0.0);
        }
    }
}

TEST_F(VideoFileTest, WhatIsNotVideoIsRefusedWithAReason) {
    const std::string text = (dir / "notes.txt").string();
    std::ofstream(text) << "not a video\n";
    std::string error;
    EXPECT_FALSE(VideoFile::open(text, error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(VideoFile::open((dir / "missing.mp4").string(), error));
}

}  // namespace
}  // namespace tarvolen
