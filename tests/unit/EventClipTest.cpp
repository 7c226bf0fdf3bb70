// Event clips written for real: the pre-capture buffer's JPEG frames reach a
// Motion-JPEG clip as they were held, and any clip format plays back.
#include <chrono>
#include <thread>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "ContainerPackets.h"
#include "TestSupport.h"
#include "events/ClipChannel.h"
#include "events/FrameBuffer.h"
#include "events/LiveEventRecording.h"
#include "events/VideoClipSink.h"
#include "media/VideoFile.h"

namespace tarvolen {
namespace {


const cv::Size kSize{64, 48};
constexpr double kFps = 25.0;
constexpr int kHeldFrames = 6;
using test::levelOf;

// Noise over a level that tells the index: noise shows any second encoding.
cv::Mat stampedNoise(int index) { return test::stampedNoise(index, kSize); }

class EventClips : public test::TempFolderTest, public ::testing::WithParamInterface<ClipFormat> {
protected:

    // What the pre-capture buffer gives back once it has compressed every frame.
    std::vector<StoredFrame> compressedPreCapture() {
        FrameBufferLimits limits;
        limits.rawBytes = 0;
        FrameBuffer buffer(limits);
        for (int i = 0; i < kHeldFrames; ++i) buffer.push(i, stampedNoise(i));
        test::eventually([&] { return buffer.framesCompressed() >= kHeldFrames; });
        std::vector<StoredFrame> frames;
        for (StoredFrame f = buffer.pop(); !f.empty(); f = buffer.pop()) frames.push_back(std::move(f));
        return frames;
    }

    const std::string clip = file(std::string("event") + clipExtension(GetParam()));
};

TEST_P(EventClips, PreCaptureAndLiveFramesGoIntoTheClipInOrder) {
    const std::vector<StoredFrame> held = compressedPreCapture();
    ASSERT_EQ(held.size(), static_cast<std::size_t>(kHeldFrames));
    {
        ClipChannel channel(videoFileClipSinks(GetParam()), 64u << 20);
        channel.open(clip, kSize, kFps);
        for (const StoredFrame& frame : held) {
            ASSERT_FALSE(frame.jpeg.empty()) << "frame " << frame.index << " was not compressed in time";
            channel.write(frame);
        }
        // The frames of the event itself arrive raw.
        channel.write(StoredFrame{kHeldFrames, stampedNoise(kHeldFrames), {}});
        channel.close();
        channel.drain();
        EXPECT_EQ(channel.failure(), "");
        EXPECT_EQ(channel.clipsFinished(), 1);
    }
    const Packets packets = readPackets(clip);
    ASSERT_EQ(packets.video.size(), static_cast<std::size_t>(kHeldFrames + 1));
    if (GetParam() == ClipFormat::Avi) {
        EXPECT_EQ(packets.videoCodec, "mjpeg");
        for (int i = 0; i < kHeldFrames; ++i)
            EXPECT_TRUE(packets.video[i] == held[i].jpeg) << "frame " << i << " was not passed through";
    } else {
        EXPECT_EQ(packets.videoCodec, "h264");
    }
    std::string why;
    std::unique_ptr<VideoFile> file = VideoFile::open(clip, why);
    ASSERT_TRUE(file) << why;
    VideoFrame frame;
    int index = 0;
    for (; file->read(frame); ++index)
        EXPECT_NEAR(cv::mean(frame.picture)[0], levelOf(index), 6.0) << "frame " << index;
    EXPECT_EQ(index, kHeldFrames + 1);
}

TEST_P(EventClips, AreNamedAfterTheirFormat) {
    std::tm t{};
    t.tm_year = 124;
    t.tm_mon = 2;
    t.tm_mday = 5;
    t.tm_hour = 9;
    t.tm_min = 7;
    t.tm_sec = 3;
    EXPECT_EQ(eventClipFileName(t, GetParam()),
              std::string("event_05_03_2024_09_07_03") + clipExtension(GetParam()));
}

INSTANTIATE_TEST_SUITE_P(Formats, EventClips, ::testing::Values(ClipFormat::Avi, ClipFormat::Mp4),
                         [](const ::testing::TestParamInfo<ClipFormat>& c) {
                             return std::string(c.param == ClipFormat::Avi ? "avi" : "mp4");
                         });

// A writer slower than the frames come: what it was handed, raw or JPEG.
class SlowSink : public ClipSink {
public:
    explicit SlowSink(std::vector<StoredFrame>& got) : received(got) {}
    bool open(const std::string&, cv::Size, double) override { return true; }
    bool write(const cv::Mat&) override { return false; }
    bool writeStored(StoredFrame frame) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
        received.push_back(std::move(frame));
        return true;
    }
    bool finish() override { return true; }
    std::string failure() const override { return ""; }

private:
    std::vector<StoredFrame>& received;
};

TEST(ClipChannelBehind, FramesWaitJpegCompressedOnceTheWriterFallsBehind) {
    constexpr int kFrames = 40;
    const std::size_t rawFrame = kSize.area() * 3;
    std::vector<StoredFrame> received;  // the worker's until drain() returns
    ClipChannel channel([&received] { return std::make_unique<SlowSink>(received); }, 8 * rawFrame);
    channel.open("behind.avi", kSize, kFps);
    for (int i = 0; i < kFrames; ++i) channel.write(StoredFrame{i, stampedNoise(i), {}});
    channel.close();
    channel.drain();
    EXPECT_EQ(channel.failure(), "");
    ASSERT_EQ(received.size(), static_cast<std::size_t>(kFrames));
    std::size_t compressed = 0;
    for (int i = 0; i < kFrames; ++i) {
        EXPECT_EQ(received[i].index, i);
        if (received[i].jpeg.empty()) continue;
        ++compressed;
        EXPECT_TRUE(received[i].raw.empty());
        EXPECT_NEAR(cv::mean(received[i].image())[0], levelOf(i), 2.0) << "frame " << i;
    }
    // The first frames find the writer idle and go raw; the producer runs
    // far ahead of a writer taking 3 ms a frame, so most wait compressed.
    EXPECT_TRUE(received.front().jpeg.empty());
    EXPECT_EQ(compressed, channel.framesCompressedWhileBehind());
    EXPECT_GT(compressed, static_cast<std::size_t>(kFrames / 2));
}

}  // namespace
}  // namespace tarvolen
