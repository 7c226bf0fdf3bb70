#include <sys/mount.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "ContainerPackets.h"
#include "TestSupport.h"
#include "media/ClipWriter.h"
#include "media/Demuxer.h"
#include "media/PacketClip.h"
#include "media/StreamCut.h"
#include "media/VideoFile.h"

namespace tarvolen {
namespace {

namespace fs = std::filesystem;

constexpr double kFps = 25.0;
const cv::Size kSize{160, 120};

// Every frame decoded back, with its mean gray level.
std::vector<double> decodedLevels(const std::string& path) {
    std::vector<double> levels;
    std::string why;
    std::unique_ptr<VideoFile> file = VideoFile::open(path, why);
    if (!file) return levels;
    VideoFrame frame;
    while (file->read(frame)) levels.push_back(cv::mean(frame.picture)[0]);
    return levels;
}

using ClipWriterTest = test::TempFolderTest;

struct FormatCase {
    const char* name;
    ClipFormat format;
    const char* codec;
    double tolerance;  // of a frame's gray level after the round trip
};

class EveryFormat : public ClipWriterTest, public ::testing::WithParamInterface<FormatCase> {
protected:
    std::string clip() const { return file(std::string("clip") + clipExtension(GetParam().format)); }
};

TEST_P(EveryFormat, WritesEveryFrameInOrderAndThePacketsMatchTheFrames) {
    constexpr int kFrames = 40;  // many times the queue: the producer must wait, never drop
    {
        ClipWriter writer(GetParam().format);
        ASSERT_TRUE(writer.open(clip(), kFps, kSize)) << writer.failure();
        for (int i = 0; i < kFrames; ++i) ASSERT_TRUE(writer.write(test::stampedFrame(i, kSize))) << i;
        writer.finish();
        EXPECT_EQ(writer.framesWritten(), static_cast<std::uint64_t>(kFrames));
        EXPECT_EQ(writer.failure(), "");
        EXPECT_FALSE(writer.accepting());
    }
    const Packets packets = readPackets(clip());
    EXPECT_EQ(packets.videoCodec, GetParam().codec);
    EXPECT_EQ(packets.video.size(), static_cast<std::size_t>(kFrames));
    const std::vector<double> levels = decodedLevels(clip());
    ASSERT_EQ(levels.size(), static_cast<std::size_t>(kFrames));
    for (int i = 0; i < kFrames; ++i)
        EXPECT_NEAR(levels[i], cv::mean(test::stampedFrame(i, kSize))[0], GetParam().tolerance) << "frame " << i;
}

TEST_P(EveryFormat, JpegFramesBecomeTheirPictures) {
    ClipWriter writer(GetParam().format);
    ASSERT_TRUE(writer.open(clip(), kFps, kSize)) << writer.failure();
    for (int i = 0; i < 10; ++i) {
        std::vector<unsigned char> jpeg;
        ASSERT_TRUE(cv::imencode(".jpg", test::stampedFrame(i, kSize), jpeg));
        ASSERT_TRUE(writer.writeJpeg(std::move(jpeg)));
    }
    writer.finish();
    ASSERT_EQ(writer.failure(), "");
    // Only Motion-JPEG takes them as they are.
    EXPECT_EQ(writer.framesPassedThrough(), GetParam().format == ClipFormat::Avi ? 10u : 0u);
    const std::vector<double> levels = decodedLevels(clip());
    ASSERT_EQ(levels.size(), 10u);
    for (int i = 0; i < 10; ++i)
        EXPECT_NEAR(levels[i], cv::mean(test::stampedFrame(i, kSize))[0], GetParam().tolerance) << "frame " << i;
}

TEST_P(EveryFormat, AMissingFolderIsOneLineAndNoFile) {
    const std::string missing = file("no/such/clip") + clipExtension(GetParam().format);
    ClipWriter writer(GetParam().format);
    EXPECT_FALSE(writer.open(missing, kFps, kSize));
    EXPECT_EQ(writer.failure(), missing + ": its folder does not exist");
    EXPECT_FALSE(writer.write(test::stampedFrame(0, kSize)));
    EXPECT_FALSE(writer.writeJpeg({0xff, 0xd8}));
    writer.finish();
    EXPECT_FALSE(fs::exists(missing));
}

INSTANTIATE_TEST_SUITE_P(Formats, EveryFormat,
                         ::testing::Values(FormatCase{"avi", ClipFormat::Avi, "mjpeg", 3.0},
                                           FormatCase{"mp4", ClipFormat::Mp4, "h264", 8.0}),
                         [](const ::testing::TestParamInfo<FormatCase>& c) { return std::string(c.param.name); });

TEST_F(ClipWriterTest, MotionJpegTakesJpegBytesAsTheyAre) {
    const std::string clip = file("pass.avi");
    std::vector<std::vector<unsigned char>> sent;
    ClipWriter writer(ClipFormat::Avi);
    ASSERT_TRUE(writer.open(clip, kFps, kSize));
    for (int i = 0; i < 8; ++i) {
        std::vector<unsigned char> jpeg;
        // Another quality than the writer's own: a second encoding would show.
        ASSERT_TRUE(cv::imencode(".jpg", test::noiseFrame(kSize, i), jpeg, {cv::IMWRITE_JPEG_QUALITY, 37}));
        sent.push_back(jpeg);
        ASSERT_TRUE(writer.writeJpeg(std::move(jpeg)));
    }
    writer.finish();
    const Packets packets = readPackets(clip);
    ASSERT_EQ(packets.video.size(), sent.size());
    for (std::size_t i = 0; i < sent.size(); ++i) EXPECT_TRUE(packets.video[i] == sent[i]) << "frame " << i;
}

TEST_F(ClipWriterTest, AnEncoderThatCannotBeOpenedIsOneLine) {
    H264Settings missing;
    missing.encoder = "no-such-encoder";
    const std::string clip = file("missing.mp4");
    ClipWriter writer(ClipFormat::Mp4, missing);
    EXPECT_FALSE(writer.open(clip, kFps, kSize));
    EXPECT_EQ(writer.failure(), clip + ": the H.264 encoder no-such-encoder is not available");
    EXPECT_FALSE(writer.write(test::stampedFrame(0, kSize)));

    // libx264 itself refuses what it cannot encode.
    H264Settings wrong;
    wrong.preset = "no-such-preset";
    ClipWriter refused(ClipFormat::Mp4, wrong);
    EXPECT_FALSE(refused.open(file("refused.mp4"), kFps, kSize));
    EXPECT_NE(refused.failure().find("the H.264 encoder libx264 cannot be opened: "), std::string::npos)
        << refused.failure();
    EXPECT_EQ(refused.failure().find('\n'), std::string::npos);
}

TEST_F(ClipWriterTest, OddFrameSizesCannotBeH264) {
    const std::string clip = file("odd.mp4");
    ClipWriter writer(ClipFormat::Mp4);
    EXPECT_FALSE(writer.open(clip, kFps, cv::Size(161, 120)));
    EXPECT_EQ(writer.failure(), clip + ": H.264 clips need an even frame width and height (the frames are 161x120)");
    // Motion-JPEG has no such limit.
    ClipWriter avi(ClipFormat::Avi);
    EXPECT_TRUE(avi.open(file("odd.avi"), kFps, cv::Size(161, 121))) << avi.failure();
}

TEST_F(ClipWriterTest, AFrameOfAnotherSizeIsRefusedWithoutFailing) {
    ClipWriter writer(ClipFormat::Mp4);
    ASSERT_TRUE(writer.open(file("size.mp4"), kFps, kSize));
    EXPECT_FALSE(writer.write(test::stampedFrame(0, cv::Size(80, 60))));
    EXPECT_FALSE(writer.write(cv::Mat(kSize, CV_8UC1, cv::Scalar(0))));
    EXPECT_TRUE(writer.write(test::stampedFrame(0, kSize)));
    writer.finish();
    EXPECT_FALSE(writer.failed());
    EXPECT_EQ(writer.framesWritten(), 1u);
}

TEST(ClipFormats, AreNamedByWordOrExtension) {
    EXPECT_EQ(clipFormatNamed("avi"), ClipFormat::Avi);
    EXPECT_EQ(clipFormatNamed("mp4"), ClipFormat::Mp4);
    EXPECT_FALSE(clipFormatNamed("MP4").has_value());
    EXPECT_FALSE(clipFormatNamed("copy").has_value());
    EXPECT_EQ(clipFormatOfPath("a/b.c/clip.MP4"), ClipFormat::Mp4);
    EXPECT_EQ(clipFormatOfPath("{stem}.mask.avi"), ClipFormat::Avi);
    EXPECT_FALSE(clipFormatOfPath("clip.mov").has_value());
    EXPECT_FALSE(clipFormatOfPath("avi").has_value());
    EXPECT_FALSE(clipFormatOfPath("dir.avi/clip").has_value());
}

// A real small file system, mounted by the test: writing must stop before it
// is full and leave a playable file holding exactly the frames written.
class SmallFileSystem : public ClipWriterTest {
protected:
    void mountTmpfs(const char* options) {
        mountPoint = dir / "small";
        fs::create_directories(mountPoint);
        const bool mountedNow = mount("tarvolen-test", mountPoint.c_str(), "tmpfs", 0, options) == 0;
        TARVOLEN_REQUIRE(mountedNow, "cannot mount a tmpfs here (" << std::strerror(errno)
                                                                   << "); this case needs root or CAP_SYS_ADMIN");
        mounted = true;
    }
    void TearDown() override {
        if (mounted) umount2(mountPoint.c_str(), MNT_DETACH);
    }

    fs::path mountPoint;
    bool mounted = false;
};

class FullDisk : public SmallFileSystem, public ::testing::WithParamInterface<ClipFormat> {};

TEST_P(FullDisk, StopsBeforeItIsFullAndLeavesAPlayableFile) {
    // Room for H.264's look-ahead is kept at the raw frame size until the
    // file shows how big its frames are: 2 MB would end it at once.
    ASSERT_NO_FATAL_FAILURE(mountTmpfs("size=8m"));
    const cv::Size big(320, 240);
    const std::string clip = (mountPoint / (std::string("full") + clipExtension(GetParam()))).string();
    ClipWriter writer(GetParam());
    ASSERT_TRUE(writer.open(clip, kFps, big)) << writer.failure();
    int accepted = 0;
    constexpr int kEnough = 3000;  // noise frames of this size fill 8 MB long before, in either format
    while (accepted < kEnough && writer.write(test::noiseFrame(big, accepted))) ++accepted;
    ASSERT_LT(accepted, kEnough) << "the writer never gave up";
    writer.finish();
    EXPECT_NE(writer.failure().find(clip + ": the disk is nearly full ("), std::string::npos) << writer.failure();
    EXPECT_GT(writer.framesWritten(), 10u);
    EXPECT_EQ(decodedLevels(clip).size(), writer.framesWritten());
    EXPECT_EQ(readPackets(clip).video.size(), writer.framesWritten());
}

INSTANTIATE_TEST_SUITE_P(Formats, FullDisk, ::testing::Values(ClipFormat::Avi, ClipFormat::Mp4),
                         [](const ::testing::TestParamInfo<ClipFormat>& c) {
                             return std::string(c.param == ClipFormat::Avi ? "avi" : "mp4");
                         });

TEST_F(SmallFileSystem, AReadOnlyFolderIsOneLine) {
    ASSERT_NO_FATAL_FAILURE(mountTmpfs("size=1m,ro"));
    for (ClipFormat format : {ClipFormat::Avi, ClipFormat::Mp4}) {
        const std::string clip = (mountPoint / (std::string("ro") + clipExtension(format))).string();
        ClipWriter writer(format);
        EXPECT_FALSE(writer.open(clip, kFps, kSize));
        EXPECT_EQ(writer.failure(), clip + ": its file system is read-only");
    }
}

// Sources made by ffmpeg: H.264 with a keyframe every 10 frames, and sound.
class StreamCutTest : public ClipWriterTest {
protected:
    void makeSource(const std::string& name, bool withAudio, std::string& path) {
        path = file(name);
        const std::string audio = withAudio ? " -f lavfi -i sine=frequency=440:duration=4 -c:a aac" : "";
        const std::string command =
            "ffmpeg -v error -y -f lavfi -i testsrc=size=160x120:rate=25:duration=4" + audio +
            " -c:v libx264 -preset ultrafast -g 10 -keyint_min 10 -sc_threshold 0 -bf 0 -pix_fmt yuv420p '" + path +
            "' </dev/null";
        const bool made = std::system(command.c_str()) == 0;
        TARVOLEN_REQUIRE(made, "ffmpeg could not make the source (is ffmpeg installed?)");
    }
};

TEST_F(StreamCutTest, StartsOnTheKeyframeBeforeTheEventEndsAfterItAndKeepsTheSound) {
    std::string source;
    makeSource("source.mp4", true, source);
    if (HasFatalFailure() || IsSkipped()) return;
    EXPECT_EQ(streamCutExtension(source), ".mp4");
    const std::string clip = file("cut.mp4");
    // Frames 23 to 57 (at 25 fps): keyframes lie at 0, 10, 20, ... so the clip starts at frame 20.
    const StreamCutResult cut = cutStream(source, clip, 920.0, 2280.0);
    ASSERT_TRUE(cut.ok) << cut.failure;
    EXPECT_DOUBLE_EQ(cut.firstMs, 800.0);
    EXPECT_DOUBLE_EQ(cut.lastMs, 2280.0);
    EXPECT_EQ(cut.videoPackets, 38);
    EXPECT_TRUE(cut.hasAudio);

    const Packets packets = readPackets(clip);
    EXPECT_EQ(packets.videoCodec, "h264");
    EXPECT_EQ(packets.audioCodec, "aac");
    ASSERT_EQ(packets.video.size(), 38u);
    EXPECT_TRUE(packets.keyframes.front());
    // The source's own bytes: nothing was encoded again.
    const Packets original = readPackets(source);
    for (std::size_t i = 0; i < packets.video.size(); ++i)
        EXPECT_TRUE(packets.video[i] == original.video[20 + i]) << "packet " << i;
    EXPECT_EQ(decodedLevels(clip).size(), 38u);
}

TEST_F(StreamCutTest, AnEventOnAKeyframeStartsThereAndOneAtTheEndRunsToIt) {
    std::string source;
    makeSource("silent.mp4", false, source);
    if (HasFatalFailure() || IsSkipped()) return;
    const StreamCutResult onKey = cutStream(source, file("key.mkv"), 1600.0, 1640.0);
    ASSERT_TRUE(onKey.ok) << onKey.failure;
    EXPECT_DOUBLE_EQ(onKey.firstMs, 1600.0);
    EXPECT_DOUBLE_EQ(onKey.lastMs, 1640.0);
    EXPECT_FALSE(onKey.hasAudio);
    EXPECT_EQ(readPackets(file("key.mkv")).videoCodec, "h264");

    const StreamCutResult toEnd = cutStream(source, file("end.mp4"), 3900.0, 3960.0);
    ASSERT_TRUE(toEnd.ok) << toEnd.failure;
    EXPECT_DOUBLE_EQ(toEnd.firstMs, 3600.0);
    EXPECT_DOUBLE_EQ(toEnd.lastMs, 3960.0);
    EXPECT_EQ(decodedLevels(file("end.mp4")).size(), 10u);
}

// An RTSP session's first packet may come without a time. A clip starting on
// such a keyframe places it a frame before the next picture, whether the
// packets say their durations or the stream's rate has to.
class UntimedStart : public StreamCutTest, public ::testing::WithParamInterface<bool> {};

TEST_P(UntimedStart, PlacesTheKeyframeAFrameBeforeTheNextPicture) {
    const bool durationsKnown = GetParam();
    std::string source;
    makeSource("source.mp4", true, source);
    if (HasFatalFailure() || IsSkipped()) return;
    std::string why;
    const std::unique_ptr<Demuxer> in = Demuxer::open(source, DemuxOptions{}, why);
    ASSERT_TRUE(in) << why;
    const std::string clip = file("untimed.mp4");
    PacketClip out;
    ASSERT_EQ(out.open(clip, in->layout(), MuxerSettings{}), "");
    StreamPacket packet;
    int videoRead = 0;
    while (in->read(packet) == Demuxer::Read::Packet) {
        if (packet.kind == StreamKind::Video && (videoRead++ == 0 || !durationsKnown)) {
            AVPacket* stripped = av_packet_clone(packet.packet.get());
            ASSERT_NE(stripped, nullptr);
            if (videoRead == 1) stripped->pts = stripped->dts = AV_NOPTS_VALUE;
            if (!durationsKnown) stripped->duration = 0;
            packet.packet = sharePacket(*stripped);
            av_packet_free(&stripped);
            if (videoRead == 1) packet.mediaMs = std::nan("");
        }
        ASSERT_EQ(out.write(packet), "") << "packet " << videoRead;
    }
    ASSERT_EQ(out.finish(), "");
    EXPECT_DOUBLE_EQ(out.firstMs(), 0.0);
    const Packets packets = readPackets(clip);
    ASSERT_EQ(packets.video.size(), 100u);
    EXPECT_TRUE(packets.keyframes.front());
    for (std::size_t i = 0; i < packets.videoPtsMs.size(); ++i)
        ASSERT_DOUBLE_EQ(packets.videoPtsMs[i], 40.0 * static_cast<double>(i)) << "packet " << i;
    EXPECT_EQ(packets.audioCodec, "aac");
    EXPECT_EQ(decodedLevels(clip).size(), 100u);
}

INSTANTIATE_TEST_SUITE_P(Durations, UntimedStart, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& durations) {
                             return durations.param ? "Given" : "FromTheRate";
                         });

// The cut keeps the disk guard too: on a full disk the clip ends early,
// finished and playable, holding exactly the packets it counts.
class StreamCutFullDisk : public SmallFileSystem {};

TEST_F(StreamCutFullDisk, FinishesAPlayableClip) {
    // Lossless noise: some 20 MB, far more than the 2 MB file system holds.
    const std::string source = file("noise.mkv");
    const std::string command =
        "ffmpeg -v error -y -f lavfi -i nullsrc=size=320x240:rate=25:duration=4 -vf \"geq=random(1)*255:128:128\" "
        "-c:v libx264 -preset ultrafast -qp 0 -g 10 -pix_fmt yuv444p '" + source + "' </dev/null";
    const bool made = std::system(command.c_str()) == 0;
    TARVOLEN_REQUIRE(made, "ffmpeg could not make the source (is ffmpeg installed?)");
    ASSERT_NO_FATAL_FAILURE(mountTmpfs("size=2m"));
    const std::string clip = (mountPoint / "cut.mkv").string();
    const StreamCutResult cut = cutStream(source, clip, 0.0, 3960.0);
    EXPECT_FALSE(cut.ok);
    EXPECT_EQ(cut.failure.rfind(clip + ": the disk is nearly full (", 0), 0u) << cut.failure;
    EXPECT_GT(cut.videoPackets, 0);
    EXPECT_LT(cut.videoPackets, 100);
    EXPECT_EQ(decodedLevels(clip).size(), static_cast<std::size_t>(cut.videoPackets));
}

TEST_F(StreamCutTest, FailuresAreOneLineNamingTheClip) {
    const std::string clip = file("nothing.mkv");
    const StreamCutResult missing = cutStream(file("no-such-source.mp4"), clip, 0.0, 100.0);
    EXPECT_FALSE(missing.ok);
    EXPECT_EQ(missing.failure.rfind(clip + ": cannot open ", 0), 0u) << missing.failure;
    std::string source;
    makeSource("ok.mp4", false, source);
    if (HasFatalFailure() || IsSkipped()) return;
    const std::string unwritable = file("no/such/folder/cut.mp4");
    const StreamCutResult refused = cutStream(source, unwritable, 0.0, 100.0);
    EXPECT_FALSE(refused.ok);
    EXPECT_EQ(refused.failure.rfind(unwritable + ": it cannot be created: ", 0), 0u) << refused.failure;
    EXPECT_EQ(refused.failure.find('\n'), std::string::npos);
}

}  // namespace
}  // namespace tarvolen
