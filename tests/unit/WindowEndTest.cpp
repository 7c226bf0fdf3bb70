// The window end's arithmetic and image steps against their plain
// definitions: the multiply-high average against integer division, the
// one-pass erosion against cv::erode, contours traced in the set part of
// the image against the whole image; and the Detector's prepare() and
// bufferBytesPerPixel().
#include <malloc.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <new>
#include <random>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "detector/Detector.h"
#include "detector/ObjectExtraction.h"
#include "detector/WindowAverage.h"

namespace tarvolen {
namespace {

constexpr std::uint32_t kMaxFrames = 16843009;  // the longest window num_frames accepts
constexpr std::uint32_t kMaxSum = 0xFFFFFFFFu;

::testing::AssertionResult dividesExactly(std::uint32_t sum, std::uint32_t frames, const WindowDivisor& d) {
    if (divideSum(sum, d) == sum / frames) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << sum << " / " << frames << " gave " << divideSum(sum, d);
}

// Every window length with the sums where a quotient changes: around 0, the
// divisor, and the largest multiple of it, and the largest sum.
TEST(WindowAverage, DivisionIsExactAtTheEdgesForEveryWindowLength) {
    for (std::uint32_t frames = 1; frames <= kMaxFrames; ++frames) {
        const WindowDivisor d = makeWindowDivisor(frames);
        const std::uint32_t lastMultiple = kMaxSum / frames * frames;
        for (std::uint32_t sum :
             {0u, 1u, frames - 1, frames, frames + 1, lastMultiple - 1, lastMultiple, kMaxSum}) {
            if (!dividesExactly(sum, frames, d)) {
                ASSERT_TRUE(dividesExactly(sum, frames, d));
            }
        }
    }
}

// Every sum a window can reach for the short windows, and random sums over
// the whole 32-bit range for lengths that stress the rounding (powers of two
// and their neighbours, primes, the default, the largest).
TEST(WindowAverage, DivisionIsExactForManySums) {
    for (std::uint32_t frames = 1; frames <= 200; ++frames) {
        const WindowDivisor d = makeWindowDivisor(frames);
        for (std::uint32_t sum = 0; sum <= 255 * frames + 300; ++sum)
            ASSERT_TRUE(dividesExactly(sum, frames, d));
    }
    std::vector<std::uint32_t> lengths = {30,    255,      641,        6700417,    65535,
                                          65537, 16843008, kMaxFrames, 4294967295u};
    for (std::uint32_t bit = 1; bit < 32; ++bit) {
        for (std::int64_t delta : {-1, 0, 1})
            lengths.push_back(static_cast<std::uint32_t>((std::int64_t{1} << bit) + delta));
    }
    std::mt19937 rng(11);
    std::uniform_int_distribution<std::uint32_t> anySum(0, kMaxSum);
    for (std::uint32_t frames : lengths) {
        const WindowDivisor d = makeWindowDivisor(frames);
        for (int i = 0; i < 200000; ++i) ASSERT_TRUE(dividesExactly(anySum(rng), frames, d));
        for (std::uint32_t sum = kMaxSum - 70000; sum != 0; ++sum)
            ASSERT_TRUE(dividesExactly(sum, frames, d));
    }
}

TEST(WindowAverage, SquaredLevelIsTheTruncatedSquareOverTwoHundredFiftyFive) {
    for (std::uint32_t g = 0; g < 256; ++g) EXPECT_EQ(squaredLevel(g), g * g / 255) << g;
}

// The reference erosion: cv::erode with a 2 x 2 rectangle anchored at its
// bottom-right cell and a constant border of the default (largest) value.
cv::Mat erodedByOpenCv(const cv::Mat& mask) {
    const cv::Mat element = cv::getStructuringElement(cv::MORPH_RECT, cv::Size(2, 2), cv::Point(1, 1));
    cv::Mat eroded;
    cv::erode(mask, eroded, element, cv::Point(-1, -1), 1, cv::BORDER_CONSTANT,
              cv::morphologyDefaultBorderValue());
    return eroded;
}

cv::Mat randomMask(int w, int h, std::mt19937& rng, int percentSet) {
    cv::Mat m(h, w, CV_8UC1);
    std::uniform_int_distribution<int> chance(0, 99);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) m.at<unsigned char>(y, x) = chance(rng) < percentSet ? 255 : 0;
    return m;
}

cv::Rect boundsOfSetPixels(const cv::Mat& m) {
    std::vector<cv::Point> set;
    cv::findNonZero(m, set);
    return set.empty() ? cv::Rect() : cv::boundingRect(set);
}

struct MaskSize {
    int w;
    int h;
};

class Erosion : public ::testing::TestWithParam<MaskSize> {};

TEST_P(Erosion, EqualsTheDocumentedOpenCvCall) {
    const MaskSize s = GetParam();
    std::mt19937 rng(static_cast<unsigned>(s.w * 1000 + s.h));
    for (int percent : {0, 30, 70, 95, 100}) {
        const cv::Mat mask = randomMask(s.w, s.h, rng, percent);
        cv::Mat eroded;
        erodeEventMask(mask, eroded);
        const cv::Mat expected = erodedByOpenCv(mask);
        ASSERT_EQ(cv::countNonZero(eroded != expected), 0) << percent << "% set";
        // The same, band by band, with the bounds of what is set.
        cv::Mat banded(s.h, s.w, CV_8UC1, cv::Scalar(7));
        cv::Rect bounds;
        for (int band = 0; band < 3; ++band) {
            bounds |= erodeRows(mask.data, s.w, band * s.h / 3, (band + 1) * s.h / 3, banded.data);
        }
        ASSERT_EQ(cv::countNonZero(banded != expected), 0) << percent << "% set";
        EXPECT_EQ(bounds, boundsOfSetPixels(expected)) << percent << "% set";
    }
    // Any byte values: each output is the minimum of its 2 x 2 block.
    cv::Mat levels(s.h, s.w, CV_8UC1);
    cv::randu(levels, 0, 256);
    cv::Mat eroded;
    erodeEventMask(levels, eroded);
    EXPECT_EQ(cv::countNonZero(eroded != erodedByOpenCv(levels)), 0);
}

// One 2 x 2 block anywhere leaves its bottom-right pixel (more at the top
// and left edges): the bounds must find what is left at every column, the
// last ones included.
TEST_P(Erosion, BoundsFindASinglePixelAnywhere) {
    const MaskSize s = GetParam();
    if (s.w < 2 || s.h < 2) GTEST_SKIP() << "no room for a 2 x 2 block";
    for (int y = 0; y + 1 < s.h; y += std::max(1, s.h / 5)) {
        for (int x = 0; x + 1 < s.w; ++x) {
            cv::Mat mask = cv::Mat::zeros(s.h, s.w, CV_8UC1);
            mask(cv::Rect(x, y, 2, 2)).setTo(255);
            cv::Mat eroded(s.h, s.w, CV_8UC1);
            const cv::Rect bounds = erodeRows(mask.data, s.w, 0, s.h, eroded.data);
            ASSERT_EQ(bounds, boundsOfSetPixels(erodedByOpenCv(mask))) << x << "," << y;
            if (x > 0 && y > 0) {
                ASSERT_EQ(bounds, cv::Rect(x + 1, y + 1, 1, 1)) << x << "," << y;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, Erosion,
                         ::testing::Values(MaskSize{1, 1}, MaskSize{1, 9}, MaskSize{9, 1}, MaskSize{2, 2},
                                           MaskSize{17, 5}, MaskSize{64, 33}, MaskSize{131, 70}));

TEST(ErosionInPlace, SourceAndDestinationMayBeOneImage) {
    std::mt19937 rng(4);
    cv::Mat mask = randomMask(23, 11, rng, 80);
    const cv::Mat expected = erodedByOpenCv(mask);
    erodeEventMask(mask, mask);
    EXPECT_EQ(cv::countNonZero(mask != expected), 0);
}

// Blobs of random sizes, some touching the image edges, some nested.
cv::Mat blobMask(int w, int h, std::mt19937& rng) {
    cv::Mat m = cv::Mat::zeros(h, w, CV_8UC1);
    std::uniform_int_distribution<int> x(-4, w), y(-4, h), side(1, 14), count(0, 12);
    for (int i = count(rng); i > 0; --i) {
        cv::rectangle(m, cv::Rect(x(rng), y(rng), side(rng), side(rng)), cv::Scalar(255), cv::FILLED);
    }
    for (int i = count(rng) / 3; i > 0; --i) {
        cv::circle(m, cv::Point(x(rng), y(rng)), side(rng), cv::Scalar(i % 2 ? 255 : 0), 1 + i % 3);
    }
    return m;
}

TEST(ContoursInTheSetPart, AreTheWholeImagesContoursInTheSameOrder) {
    std::mt19937 rng(8);
    std::vector<std::vector<cv::Point>> whole, part;
    std::vector<ObjectTrack> wholeCandidates, partCandidates;
    const ObjectSizeLimits limits{2, 2, 64, 64};
    int nonEmpty = 0;
    for (int i = 0; i < 300; ++i) {
        const int w = 1 + static_cast<int>(rng() % 90), h = 1 + static_cast<int>(rng() % 60);
        const cv::Mat mask = i % 3 == 0 ? randomMask(w, h, rng, 40) : blobMask(w, h, rng);
        cv::Mat eroded;
        erodeEventMask(mask, eroded);
        const cv::Rect bounds = boundsOfSetPixels(eroded);
        findCandidates(eroded, limits, whole, wholeCandidates);
        findCandidates(eroded, bounds, limits, part, partCandidates);
        ASSERT_EQ(part, whole) << "mask " << i;
        ASSERT_EQ(partCandidates.size(), wholeCandidates.size()) << "mask " << i;
        for (std::size_t k = 0; k < partCandidates.size(); ++k) {
            EXPECT_EQ(partCandidates[k].box, wholeCandidates[k].box);
        }
        nonEmpty += !whole.empty();
    }
    EXPECT_GT(nonEmpty, 100);
}

TEST(ContoursInTheSetPart, EmptyPartMeansNoContours) {
    std::vector<std::vector<cv::Point>> contours{{cv::Point(1, 1)}};
    std::vector<ObjectTrack> candidates{{cv::Rect(0, 0, 3, 3), 6}};
    findCandidates(cv::Mat::zeros(5, 5, CV_8UC1), cv::Rect(), {2, 2, 64, 64}, contours, candidates);
    EXPECT_TRUE(contours.empty());
    EXPECT_TRUE(candidates.empty());
}

using Bytes = std::vector<unsigned char>;

// Each window's average holds its own frames only: the sums of the window
// before, of a window cut short by a reset, or of one-frame windows never
// leak into it.
TEST(WindowSums, EachAverageHoldsOnlyItsOwnWindowsFrames) {
    constexpr int kW = 19, kH = 3;  // not a multiple of 16 pixels
    Detector d;
    ASSERT_TRUE(d.setParameter(Detector::kNumThreads, 2));
    ASSERT_TRUE(d.setParameter(Detector::kNumFrames, 3));
    const auto feed = [&](unsigned char level, int times) {
        const Bytes frame(kW * kH, level);
        for (int i = 0; i < times; ++i) ASSERT_TRUE(d.process(frame.data(), kW, kH, nullptr));
    };
    const auto average = [&] { return static_cast<int>(d.getAveragedFrame().data[kW * kH - 1]); };
    feed(255, 3);
    EXPECT_EQ(average(), 255);
    feed(128, 3);
    EXPECT_EQ(average(), 64);
    feed(255, 2);  // cut short
    d.reset();
    feed(100, 3);
    EXPECT_EQ(average(), 100 * 100 / 255);
    ASSERT_TRUE(d.setParameter(Detector::kNumFrames, 1));
    feed(200, 1);
    EXPECT_EQ(average(), 200 * 200 / 255);
    feed(50, 1);
    EXPECT_EQ(average(), 50 * 50 / 255);
    ASSERT_TRUE(d.setParameter(Detector::kNumFrames, 2));
    feed(255, 1);
    feed(0, 1);
    EXPECT_EQ(average(), 127);
    // A window shortened while it runs ends on the next call, over the new
    // length, as the sums stand.
    ASSERT_TRUE(d.setParameter(Detector::kNumFrames, 4));
    feed(255, 2);
    ASSERT_TRUE(d.setParameter(Detector::kNumFrames, 1));
    feed(255, 1);
    EXPECT_EQ(average(), (3 * 255) & 0xFF);  // 765 / 1, its low byte
}

TEST(DetectorPrepare, SizesBuffersAsTheFirstFrameWould) {
    constexpr int kW = 30, kH = 20;
    Detector prepared, plain;
    prepared.prepare(kW, kH);
    EXPECT_EQ(prepared.frameWidth(), kW);
    EXPECT_EQ(prepared.frameHeight(), kH);
    Bytes mask(kW * kH, 7);
    ASSERT_TRUE(prepared.copyEventMask(mask.data()));
    EXPECT_EQ(mask, Bytes(kW * kH, 0));
    for (Detector* d : {&prepared, &plain}) ASSERT_TRUE(d->setParameter(Detector::kNumFrames, 2));
    std::mt19937 rng(6);
    for (int i = 0; i < 40; ++i) {
        Bytes frame(kW * kH, i < 20 ? 30 : 200);
        for (int k = 0; k < 50; ++k) frame[rng() % frame.size()] = static_cast<unsigned char>(rng());
        ASSERT_TRUE(prepared.process(frame.data(), kW, kH, nullptr));
        ASSERT_TRUE(plain.process(frame.data(), kW, kH, nullptr));
        Bytes a(kW * kH), b(kW * kH);
        prepared.copyEventMask(a.data());
        plain.copyEventMask(b.data());
        ASSERT_EQ(a, b) << "frame " << i;
        ASSERT_EQ(prepared.getTracks().size(), plain.getTracks().size()) << "frame " << i;
    }
}

TEST(DetectorPrepare, TheCurrentSizeKeepsTheWindowAndANewOneRestartsIt) {
    constexpr int kW = 12, kH = 10;
    Detector d;
    ASSERT_TRUE(d.setParameter(Detector::kNumFrames, 2));
    ASSERT_TRUE(d.setParameter(Detector::kMinObjectWidth, 1));
    ASSERT_TRUE(d.setParameter(Detector::kMinObjectHeight, 1));
    const Bytes dark(kW * kH, 0);
    Bytes bright = dark;
    for (int r = 2; r < 8; ++r)
        for (int c = 2; c < 8; ++c) bright[r * kW + c] = 255;
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(d.process(dark.data(), kW, kH, nullptr));
    ASSERT_TRUE(d.process(bright.data(), kW, kH, nullptr));
    d.prepare(kW, kH);  // mid-window: changes nothing
    ASSERT_TRUE(d.process(bright.data(), kW, kH, nullptr));
    Bytes mask(kW * kH);
    ASSERT_TRUE(d.copyEventMask(mask.data()));
    EXPECT_EQ(mask, bright);
    ASSERT_EQ(d.getTracks().size(), 1u);
    // A new size: fresh models, a fresh window, the tracks kept.
    d.prepare(kW + 1, kH);
    EXPECT_EQ(d.frameWidth(), kW + 1);
    Bytes wider((kW + 1) * kH, 7);
    ASSERT_TRUE(d.copyEventMask(wider.data()));
    EXPECT_EQ(wider, Bytes((kW + 1) * kH, 0));
    EXPECT_EQ(d.getTracks().size(), 1u);
    // Sizes process() refuses are ignored.
    d.prepare(0, 5);
    d.prepare(5, -1);
    EXPECT_EQ(d.frameWidth(), kW + 1);
    EXPECT_EQ(d.frameHeight(), kH);
}

TEST(DetectorPrepare, AnUnallocatableSizeThrowsAndLeavesNoFrameSize) {
    Detector d;
    ASSERT_TRUE(d.setParameter(Detector::kNumFrames, 1));
    const Bytes frame(8 * 8, 255);
    d.prepare(8, 8);
    ASSERT_TRUE(d.process(frame.data(), 8, 8, nullptr));
    const int huge = std::numeric_limits<int>::max();
    EXPECT_THROW(d.prepare(huge, huge), std::bad_alloc);
    EXPECT_EQ(d.frameWidth(), 0);
    EXPECT_THROW(d.prepare(4000000, 4000000), std::bad_alloc);
    EXPECT_EQ(d.frameWidth(), 0);
    Bytes out(64);
    EXPECT_FALSE(d.copyEventMask(out.data()));
    d.prepare(8, 8);
    EXPECT_TRUE(d.copyEventMask(out.data()));
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kHeapIsInstrumented = true;
#else
constexpr bool kHeapIsInstrumented = false;
#endif

std::size_t heapBytesInUse() {
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

// What the buffers of a size really take, measured on the heap, against the
// figure the live program plans with: the figure may exceed the buffers by
// the contour finder's transient copy, never fall short of them.
TEST(DetectorMemory, BytesPerPixelCoverTheBuffersOfAFrameSize) {
    if (kHeapIsInstrumented) GTEST_SKIP() << "the sanitizer's allocator keeps its own books";
    constexpr int kW = 1000, kH = 700;
    constexpr std::size_t kPixels = std::size_t{kW} * kH;
    Detector d;
    const std::size_t before = heapBytesInUse();
    d.prepare(kW, kH);
    const std::size_t used = heapBytesInUse() - before;
    const std::size_t planned = Detector::bufferBytesPerPixel() * kPixels;
    EXPECT_LE(used, planned);
    EXPECT_GE(used + 2 * kPixels, planned) << "the figure overstates the buffers";
}

}  // namespace
}  // namespace tarvolen
