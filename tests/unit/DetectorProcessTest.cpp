#include <algorithm>
#include <cstdint>
#include <limits>
#include <new>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "detector/Detector.h"

namespace tarvolen {
namespace {

using Bytes = std::vector<unsigned char>;

class DetectorProcess : public ::testing::Test {
protected:
    static constexpr int kW = 24;
    static constexpr int kH = 16;

    Bytes frame(unsigned char value) const { return Bytes(kW * kH, value); }

    // Background 0 with a bright rectangle; with the squared transform 255
    // stays 255, so the rectangle is far outside the background's range.
    Bytes frameWithBlock(int x, int y, int w, int h) const {
        Bytes f = frame(0);
        for (int r = y; r < y + h; ++r)
            for (int c = x; c < x + w; ++c) f[r * kW + c] = 255;
        return f;
    }

    void feed(const Bytes& f, int times, const unsigned char* roi = nullptr) {
        for (int i = 0; i < times; ++i) ASSERT_TRUE(detector.process(f.data(), kW, kH, roi));
    }

    Bytes mask() const {
        Bytes m(kW * kH, 7);
        EXPECT_TRUE(detector.copyEventMask(m.data()));
        return m;
    }

    static int count(const Bytes& m) {
        int n = 0;
        for (unsigned char b : m) n += b == 255;
        return n;
    }

    Detector detector;
};

TEST_F(DetectorProcess, CopyBeforeFirstFrameFailsAndAfterItGivesZeros) {
    Bytes out(kW * kH, 7);
    EXPECT_FALSE(detector.copyEventMask(out.data()));
    EXPECT_EQ(out[0], 7);
    feed(frame(90), 1);
    EXPECT_EQ(mask(), Bytes(kW * kH, 0));
    EXPECT_FALSE(detector.copyEventMask(nullptr));
}

TEST_F(DetectorProcess, InvalidArgumentsAreRefusedWithoutEffect) {
    const Bytes f = frame(10);
    EXPECT_FALSE(detector.process(nullptr, kW, kH, nullptr));
    EXPECT_FALSE(detector.process(f.data(), 0, kH, nullptr));
    EXPECT_FALSE(detector.process(f.data(), kW, -3, nullptr));
    EXPECT_EQ(detector.frameWidth(), 0);
    Bytes out(kW * kH);
    EXPECT_FALSE(detector.copyEventMask(out.data()));
}

TEST_F(DetectorProcess, AveragesTheSquaredLevelOverTheWindow) {
    // Every byte value once: the transform is exact for all of them.
    Detector d;
    ASSERT_TRUE(d.setParameter(Detector::kNumFrames, 1));
    Bytes all(256);
    for (int g = 0; g < 256; ++g) all[g] = static_cast<unsigned char>(g);
    ASSERT_TRUE(d.process(all.data(), 16, 16, nullptr));
    for (int g = 0; g < 256; ++g) {
        const int expected = static_cast<int>((static_cast<float>(g) / 255.0f) * static_cast<float>(g));
        ASSERT_EQ(d.getAveragedFrame().data[g], expected) << g;
        ASSERT_EQ(d.getAveragedFrame().data[g], g * g / 255) << g;
    }
    // 255 and 0 alternating average to 127 (truncated), 128 gives 64.
    ASSERT_TRUE(d.setParameter(Detector::kNumFrames, 2));
    const Bytes white(256, 255), black(256, 0), mid(256, 128);
    ASSERT_TRUE(d.process(white.data(), 16, 16, nullptr));
    ASSERT_TRUE(d.process(black.data(), 16, 16, nullptr));
    EXPECT_EQ(d.getAveragedFrame().data[5], 127);
    ASSERT_TRUE(d.process(mid.data(), 16, 16, nullptr));
    ASSERT_TRUE(d.process(mid.data(), 16, 16, nullptr));
    EXPECT_EQ(d.getAveragedFrame().data[5], 64);
}

TEST_F(DetectorProcess, ModelChangesOnlyOnTheLastCallOfAWindow) {
    feed(frame(0), 30);  // first window: the first update never flags events
    EXPECT_EQ(count(mask()), 0);
    feed(frame(255), 29);
    EXPECT_EQ(count(mask()), 0);
    feed(frame(255), 1);
    EXPECT_EQ(count(mask()), kW * kH);
    // The mask holds until the next window ends.
    feed(frame(0), 29);
    EXPECT_EQ(count(mask()), kW * kH);
}

TEST_F(DetectorProcess, RegionOfInterestClearsEventsButStillUpdatesTheModel) {
    ASSERT_TRUE(detector.setParameter(Detector::kNumFrames, 1));
    Bytes roi(kW * kH, 0);
    for (int r = 0; r < kH; ++r)
        for (int c = 0; c < kW / 2; ++c) roi[r * kW + c] = 1;  // any non-zero byte is inside
    feed(frame(0), 3, roi.data());
    feed(frame(255), 1, roi.data());
    const Bytes m = mask();
    for (int r = 0; r < kH; ++r)
        for (int c = 0; c < kW; ++c) EXPECT_EQ(m[r * kW + c], c < kW / 2 ? 255 : 0) << r << "," << c;
    // Without a region the right half shows what its model learnt meanwhile:
    // after 36 updates at the new level it is background there too.
    feed(frame(255), 35, roi.data());
    feed(frame(255), 1, nullptr);
    EXPECT_EQ(count(mask()), 0);
}

TEST_F(DetectorProcess, NullRegionClearsNothing) {
    ASSERT_TRUE(detector.setParameter(Detector::kNumFrames, 1));
    feed(frame(0), 2);
    feed(frame(255), 1);
    EXPECT_EQ(count(mask()), kW * kH);
}

TEST_F(DetectorProcess, ResetForgetsModelTracksAndWindow) {
    ASSERT_TRUE(detector.setParameter(Detector::kNumFrames, 2));
    feed(frame(0), 4);
    feed(frameWithBlock(4, 4, 6, 6), 2);
    ASSERT_FALSE(detector.getConfirmedObjects().empty());
    ASSERT_GT(count(mask()), 0);
    detector.reset();
    EXPECT_TRUE(detector.getTracks().empty());
    EXPECT_EQ(count(mask()), 0);
    EXPECT_EQ(detector.frameWidth(), kW);
    // The window restarts: one call is not enough for an update, and the
    // update after it starts from empty models, so it flags nothing.
    feed(frameWithBlock(4, 4, 6, 6), 1);
    EXPECT_EQ(count(mask()), 0);
    feed(frame(0), 1);
    EXPECT_EQ(count(mask()), 0);
    EXPECT_TRUE(detector.getConfirmedObjects().empty());
}

TEST_F(DetectorProcess, ResetBeforeAnyFrameIsHarmless) {
    detector.reset();
    EXPECT_EQ(detector.frameWidth(), 0);
    feed(frame(3), 1);
    EXPECT_EQ(detector.frameWidth(), kW);
}

TEST_F(DetectorProcess, SizeChangeRestartsModelsButKeepsTracks) {
    ASSERT_TRUE(detector.setParameter(Detector::kNumFrames, 1));
    feed(frame(0), 2);
    feed(frameWithBlock(4, 4, 6, 6), 1);
    const std::vector<ObjectTrack> before = detector.getTracks();
    ASSERT_EQ(before.size(), 1u);
    const Bytes small(10 * 8, 255);
    ASSERT_TRUE(detector.process(small.data(), 10, 8, nullptr));
    EXPECT_EQ(detector.frameWidth(), 10);
    ASSERT_EQ(detector.getTracks().size(), 1u);
    EXPECT_EQ(detector.getTracks()[0].box, before[0].box);
    EXPECT_EQ(detector.getTracks()[0].score, before[0].score - 1);  // decayed, not dropped
    Bytes m(10 * 8, 7);
    ASSERT_TRUE(detector.copyEventMask(m.data()));
    EXPECT_EQ(m, Bytes(10 * 8, 0));  // fresh models: first update, no events
}

TEST_F(DetectorProcess, ConfirmationNeedsAScoreAboveTheCriterion) {
    ASSERT_TRUE(detector.setParameter(Detector::kNumFrames, 1));
    ASSERT_TRUE(detector.setParameter(Detector::kObjectDetectionCriterion, 6));
    feed(frame(0), 2);
    feed(frameWithBlock(4, 4, 6, 6), 1);
    ASSERT_EQ(detector.getTracks().size(), 1u);
    EXPECT_EQ(detector.getTracks()[0].score, 6);
    EXPECT_TRUE(detector.getConfirmedObjects().empty());
    feed(frameWithBlock(4, 4, 6, 6), 1);  // still an event: refreshed to 6 - 1 + 2
    ASSERT_EQ(detector.getConfirmedObjects().size(), 1u);
    EXPECT_EQ(detector.getConfirmedObjects()[0].score, 7);
    // Boxes bound the eroded region: the top row and left column are gone.
    EXPECT_EQ(detector.getConfirmedObjects()[0].box, cv::Rect(5, 5, 5, 5));
}

TEST_F(DetectorProcess, UnallocatableSizeThrowsAndLeavesNoFrameSize) {
    ASSERT_TRUE(detector.setParameter(Detector::kNumFrames, 1));
    feed(frame(0), 2);
    feed(frameWithBlock(4, 4, 6, 6), 1);
    const Bytes f = frame(0);
    const int huge = std::numeric_limits<int>::max();
    // The pixel count of this size overflows any byte count of its records.
    EXPECT_THROW(detector.process(f.data(), huge, huge, nullptr), std::bad_alloc);
    EXPECT_EQ(detector.frameWidth(), 0);
    Bytes out(kW * kH);
    EXPECT_FALSE(detector.copyEventMask(out.data()));
    EXPECT_EQ(detector.getTracks().size(), 1u);
    // Representable but far beyond any memory.
    EXPECT_THROW(detector.process(f.data(), 4000000, 4000000, nullptr), std::bad_alloc);
    EXPECT_EQ(detector.frameWidth(), 0);
    // Usable again afterwards.
    feed(frame(0), 1);
    EXPECT_TRUE(detector.copyEventMask(out.data()));
}

// Random frames with moving blocks, so that the model, the mask and the
// tracks all see some activity.
std::vector<Bytes> activityFrames(int w, int h, int count) {
    std::mt19937 rng(1234);
    std::uniform_int_distribution<int> noise(0, 40);
    std::vector<Bytes> frames;
    for (int i = 0; i < count; ++i) {
        Bytes f(static_cast<std::size_t>(w) * h);
        for (auto& b : f) b = static_cast<unsigned char>(60 + noise(rng));
        const int bx = (i * 5) % w, by = (i * 2) % h;
        for (int r = by; r < std::min(h, by + 6); ++r)
            for (int c = bx; c < std::min(w, bx + 6); ++c) f[r * w + c] = 250;
        frames.push_back(std::move(f));
    }
    return frames;
}

struct RunResult {
    std::vector<Bytes> masks;
    std::vector<std::vector<ObjectTrack>> tracks;
};

RunResult runWithThreads(int threads, int w, int h, const std::vector<Bytes>& frames, const Bytes* roi) {
    Detector d;
    EXPECT_TRUE(d.setParameter(Detector::kNumThreads, threads));
    EXPECT_TRUE(d.setParameter(Detector::kNumFrames, 2));
    RunResult result;
    for (const Bytes& f : frames) {
        EXPECT_TRUE(d.process(f.data(), w, h, roi ? roi->data() : nullptr));
        Bytes m(f.size());
        d.copyEventMask(m.data());
        result.masks.push_back(std::move(m));
        result.tracks.push_back(d.getTracks());
    }
    return result;
}

bool sameTracks(const std::vector<ObjectTrack>& a, const std::vector<ObjectTrack>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i].box != b[i].box || a[i].score != b[i].score) return false;
    }
    return true;
}

struct Geometry {
    int w;
    int h;
};

class ThreadCountIndependence : public ::testing::TestWithParam<Geometry> {};

TEST_P(ThreadCountIndependence, MasksAndTracksAreIdentical) {
    const Geometry g = GetParam();
    const std::vector<Bytes> frames = activityFrames(g.w, g.h, 80);
    Bytes roi(static_cast<std::size_t>(g.w) * g.h, 255);
    for (std::size_t i = 0; i < roi.size(); i += 5) roi[i] = 0;
    for (const Bytes* region : {static_cast<const Bytes*>(nullptr), static_cast<const Bytes*>(&roi)}) {
        const RunResult reference = runWithThreads(1, g.w, g.h, frames, region);
        int events = 0;
        for (const Bytes& m : reference.masks)
            for (unsigned char b : m) events += b != 0;
        ASSERT_GT(events, 0) << "the run must exercise the event path";
        for (int threads : {0, 2, 3, 32}) {
            const RunResult other = runWithThreads(threads, g.w, g.h, frames, region);
            for (std::size_t i = 0; i < frames.size(); ++i) {
                ASSERT_EQ(other.masks[i], reference.masks[i]) << threads << " threads, frame " << i;
                ASSERT_TRUE(sameTracks(other.tracks[i], reference.tracks[i]))
                    << threads << " threads, frame " << i;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Shapes, ThreadCountIndependence,
                         ::testing::Values(Geometry{37, 23}, Geometry{64, 3}, Geometry{9, 1}));

// Callers copy the mask only when the version moved: over a random run of
// frames, resets and size changes an unchanged version must mean an
// unchanged mask, and the frames between window ends must not move it.
TEST(DetectorMaskVersion, AnUnchangedVersionMeansAnUnchangedMask) {
    Detector detector;
    ASSERT_TRUE(detector.setParameter(Detector::kNumFrames, 3));
    std::mt19937 rng(11);
    int width = 24;
    int height = 16;
    Bytes copied;
    std::uint64_t copiedVersion = 0;
    int framesInWindow = 0;
    int versionMoves = 0;
    for (int step = 0; step < 600; ++step) {
        const std::uint64_t before = detector.eventMaskVersion();
        const unsigned op = rng() % 40;
        if (op == 0) {
            detector.reset();
            framesInWindow = 0;
        } else if (op == 1) {
            width = 16 + static_cast<int>(rng() % 3) * 8;
            if (width != detector.frameWidth()) framesInWindow = 0;  // a new size starts a new window
            detector.prepare(width, height);
        } else {
            Bytes f(static_cast<std::size_t>(width) * height, static_cast<unsigned char>(rng() % 40));
            const int x = static_cast<int>(rng() % (width - 6));
            const int y = static_cast<int>(rng() % (height - 6));
            for (int r = y; r < y + 6; ++r)
                for (int c = x; c < x + 6; ++c) f[r * width + c] = static_cast<unsigned char>(rng() % 256);
            ASSERT_TRUE(detector.process(f.data(), width, height, nullptr));
            if (++framesInWindow < 3) EXPECT_EQ(detector.eventMaskVersion(), before) << "step " << step;
            else framesInWindow = 0;
        }
        Bytes now(static_cast<std::size_t>(detector.frameWidth()) * detector.frameHeight());
        if (!detector.copyEventMask(now.data())) continue;
        if (detector.eventMaskVersion() == copiedVersion) {
            ASSERT_EQ(now, copied) << "step " << step;
        } else {
            ++versionMoves;
        }
        copied = now;
        copiedVersion = detector.eventMaskVersion();
    }
    EXPECT_GT(versionMoves, 150);
}

}  // namespace
}  // namespace tarvolen
