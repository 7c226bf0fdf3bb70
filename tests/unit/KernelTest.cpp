// Every SIMD model kernel against the scalar reference: every field of every
// record (bit for bit, NaN payloads included), every event byte, the window
// averages and the eroded mask, over many windows of real and synthetic
// frames, at 1 and 2 threads.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <future>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include "Prerequisite.h"
#include "detector/Detector.h"
#include "detector/ModelKernels.h"
#include "detector/ModelStore.h"
#include "detector/ParallelDriver.h"

namespace tarvolen {
namespace {

using Bytes = std::vector<unsigned char>;

std::uint32_t bitsOf(float f) {
    std::uint32_t u;
    std::memcpy(&u, &f, sizeof u);
    return u;
}

::testing::AssertionResult sameRecord(const PixelModel& expected, const PixelModel& actual) {
    static const char* const kFields[] = {"weight", "mean", "variance", "rankKey"};
    for (int k = 0; k < kComponentsPerPixel; ++k) {
        const MixtureComponent& e = expected.components[k];
        const MixtureComponent& a = actual.components[k];
        const float ef[] = {e.weight, e.mean, e.variance, e.rankKey};
        const float af[] = {a.weight, a.mean, a.variance, a.rankKey};
        for (int f = 0; f < 4; ++f) {
            if (bitsOf(ef[f]) != bitsOf(af[f])) {
                return ::testing::AssertionFailure()
                       << "component " << k << " " << kFields[f] << ": expected " << ef[f] << " (0x"
                       << std::hex << bitsOf(ef[f]) << "), got " << af[f] << " (0x" << bitsOf(af[f]) << ")";
            }
        }
    }
    if (expected.initialised != actual.initialised) {
        return ::testing::AssertionFailure()
               << "initialised " << int{expected.initialised} << " vs " << int{actual.initialised};
    }
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult sameModels(const ModelStore& expected, const ModelStore& actual) {
    if (expected.pixelCount() != actual.pixelCount()) return ::testing::AssertionFailure() << "pixel counts";
    for (std::size_t i = 0; i < expected.pixelCount(); ++i) {
        const ::testing::AssertionResult same = sameRecord(expected.get(i), actual.get(i));
        if (!same) return ::testing::AssertionFailure() << "pixel " << i << ": " << same.message();
    }
    return ::testing::AssertionSuccess();
}

template <class T>
::testing::AssertionResult sameBytes(const std::vector<T>& expected, const std::vector<T>& actual,
                                     const char* what) {
    for (std::size_t i = 0; i < expected.size(); ++i) {
        if (expected[i] != actual[i]) {
            return ::testing::AssertionFailure()
                   << what << " differs at pixel " << i << ": " << +expected[i] << " vs " << +actual[i];
        }
    }
    return ::testing::AssertionSuccess();
}

// Settings of one averaging window.
struct Window {
    float alpha;
    float deviation;
    int frames;
    bool roi;
};

// The detector's per-pixel state and its window steps, driven with an
// explicit kernel and thread count.
class Pipeline {
public:
    Pipeline(int w, int h, ModelKernel k, int t)
        : width(w),
          height(h),
          kernel(k),
          threads(t),
          models(pixels()),
          sums(pixels()),
          averaged(pixels()),
          mask(pixels()),
          eroded(pixels()) {}

    std::size_t pixels() const { return static_cast<std::size_t>(width) * height; }

    // Feeds the frames of one window, as the detector does.
    void runWindow(const std::vector<const Bytes*>& frames, const Window& s, const Bytes* roi) {
        for (std::size_t i = 0; i + 1 < frames.size(); ++i) {
            accumulateFrame(frames[i]->data(), sums.data(), pixels(), threads, i == 0);
        }
        endWindow(*frames.back(), s, roi, frames.size() > 1);
    }

    // Ends a window with its last frame; earlierFrames: the sums hold the
    // window's other frames.
    void endWindow(const Bytes& gray, const Window& s, const Bytes* roi, bool earlierFrames) {
        WindowEnd end{};
        end.gray = gray.data();
        end.roiMask = s.roi && roi != nullptr ? roi->data() : nullptr;
        end.width = width;
        end.height = height;
        end.numFrames = static_cast<std::uint32_t>(s.frames);
        end.alpha = s.alpha;
        end.pixelDeviation = s.deviation;
        end.numThreads = threads;
        end.kernel = kernel;
        end.models = &models;
        end.sums = earlierFrames ? sums.data() : nullptr;
        end.averaged = averaged.data();
        end.eventMask = mask.data();
        end.erodedMask = eroded.data();
        bounds = finishWindow(end);
    }

    int width;
    int height;
    ModelKernel kernel;
    int threads;
    ModelStore models;
    std::vector<std::uint32_t> sums;
    Bytes averaged;
    Bytes mask;
    Bytes eroded;
    cv::Rect bounds;
};

::testing::AssertionResult samePipelines(const Pipeline& expected, const Pipeline& actual) {
    for (const auto& same :
         {sameBytes(expected.mask, actual.mask, "event mask"),
          sameBytes(expected.averaged, actual.averaged, "averaged frame"),
          sameBytes(expected.eroded, actual.eroded, "eroded mask"),
          sameBytes(expected.sums, actual.sums, "sums"), sameModels(expected.models, actual.models)}) {
        if (!same) return same;
    }
    if (expected.bounds != actual.bounds) return ::testing::AssertionFailure() << "bounds of the eroded mask";
    return ::testing::AssertionSuccess();
}

// Runs the scalar reference on one thread and `kernel` on `threads` threads
// through the same windows, comparing everything after each window. Returns
// the number of event bytes the reference produced.
std::size_t compareRuns(ModelKernel kernel, int threads, int w, int h, const std::vector<Bytes>& frames,
                        const std::vector<Window>& windows, const Bytes* roi) {
    Pipeline reference(w, h, ModelKernel::kScalar, 1);
    Pipeline candidate(w, h, kernel, threads);
    std::size_t next = 0, events = 0;
    for (std::size_t n = 0; n < windows.size(); ++n) {
        std::vector<const Bytes*> batch;
        for (int i = 0; i < windows[n].frames; ++i) batch.push_back(&frames[next++ % frames.size()]);
        reference.runWindow(batch, windows[n], roi);
        candidate.runWindow(batch, windows[n], roi);
        const ::testing::AssertionResult same = samePipelines(reference, candidate);
        EXPECT_TRUE(same) << kernelName(kernel) << ", " << threads << " threads, " << w << "x" << h
                          << ", window " << n;
        if (!same) break;
        for (unsigned char b : reference.mask) events += b != 0;
    }
    return events;
}

Bytes randomBytes(std::size_t n, std::mt19937& rng) {
    std::uniform_int_distribution<int> byte(0, 255);
    Bytes b(n);
    for (auto& v : b) v = static_cast<unsigned char>(byte(rng));
    return b;
}

Bytes randomRoi(std::size_t n, std::mt19937& rng) {
    Bytes roi = randomBytes(n, rng);
    for (auto& v : roi) v = v < 80 ? 0 : v;  // any non-zero byte is inside
    return roi;
}

// Frames in which most pixels hover around a level of their own, so that
// components match, with jumps and pure noise frames mixed in.
std::vector<Bytes> mixedFrames(std::size_t n, int count, std::mt19937& rng) {
    const Bytes base = randomBytes(n, rng);
    std::uniform_int_distribution<int> noise(-6, 6), chance(0, 99);
    std::vector<Bytes> frames;
    for (int f = 0; f < count; ++f) {
        if (f % 7 == 6) {
            frames.push_back(randomBytes(n, rng));
            continue;
        }
        Bytes frame(n);
        for (std::size_t i = 0; i < n; ++i) {
            const int jump = chance(rng) < 10 ? 120 : 0;
            frame[i] = static_cast<unsigned char>(std::clamp(base[i] + jump + noise(rng), 0, 255));
        }
        frames.push_back(std::move(frame));
    }
    return frames;
}

// Parameters that change from window to window, hostile ones included: a
// learning rate of 0, 1 and a denormal, deviation 0 and 255.
std::vector<Window> changingWindows(int count) {
    const float alphas[] = {0.01f, 0.2f, 0.0f, 1.0f, 1e-40f, 0.05f, 0.01f};
    const float deviations[] = {10.0f, 3.0f, 0.0f, 255.0f, 0.5f};
    const int frameCounts[] = {1, 2, 3, 1};
    std::vector<Window> windows;
    for (int i = 0; i < count; ++i) {
        windows.push_back({alphas[i % 7], deviations[(i / 3) % 5], frameCounts[i % 4], i % 5 >= 2});
    }
    return windows;
}

class SimdKernel : public ::testing::TestWithParam<std::tuple<ModelKernel, int>> {
protected:
    void SetUp() override {
        if (!kernelSupported(kernel())) {
            GTEST_SKIP() << "this CPU cannot run the " << kernelName(kernel()) << " kernel";
        }
    }
    ModelKernel kernel() const { return std::get<0>(GetParam()); }
    int threads() const { return std::get<1>(GetParam()); }
};

struct Size {
    int w;
    int h;
};

TEST_P(SimdKernel, MatchesTheReferenceOnSyntheticFramesOfOddSizes) {
    for (const Size size : {Size{1, 1}, Size{7, 3}, Size{17, 5}, Size{16, 2}, Size{45, 7}, Size{3, 40}}) {
        std::mt19937 rng(static_cast<unsigned>(size.w * 131 + size.h));
        const std::size_t n = static_cast<std::size_t>(size.w) * size.h;
        const std::vector<Bytes> frames = mixedFrames(n, 50, rng);
        const Bytes roi = randomRoi(n, rng);
        compareRuns(kernel(), threads(), size.w, size.h, frames, changingWindows(70), &roi);
    }
}

TEST_P(SimdKernel, MatchesTheReferenceOnUniformRandomFrames) {
    constexpr int kW = 53, kH = 11;  // not a multiple of 16 pixels
    std::mt19937 rng(77);
    std::vector<Bytes> frames;
    for (int i = 0; i < 40; ++i) frames.push_back(randomBytes(kW * kH, rng));
    const Bytes roi = randomRoi(kW * kH, rng);
    const std::vector<Window> windows(40, Window{0.01f, 10.0f, 1, true});
    EXPECT_GT(compareRuns(kernel(), threads(), kW, kH, frames, windows, &roi), 0u);
}

TEST_P(SimdKernel, MatchesTheReferenceAtTheDefaultsWithSteadyScenes) {
    constexpr int kW = 40, kH = 8;
    std::mt19937 rng(5);
    const std::vector<Bytes> frames = mixedFrames(kW * kH, 30, rng);
    const std::vector<Window> windows(60, Window{0.01f, 10.0f, 3, false});
    EXPECT_GT(compareRuns(kernel(), threads(), kW, kH, frames, windows, nullptr), 0u);
}

std::string sampleVideoPath() {
    if (const char* env = std::getenv("TARVOLEN_SAMPLE_VIDEO")) return env;
    return TARVOLEN_SAMPLE_VIDEO;
}

TEST_P(SimdKernel, MatchesTheReferenceOnTheRealClip) {
    const std::string path = sampleVideoPath();
    TARVOLEN_REQUIRE(std::filesystem::exists(path),
                     "sample clip " << path << " is absent; scripts/fetch-sample.sh fetches it");
    cv::VideoCapture capture(path);
    ASSERT_TRUE(capture.isOpened()) << path;
    // A quarter of the picture (where people walk) keeps the run short.
    const cv::Rect part(192, 144, 384, 288);
    std::vector<Bytes> frames;
    cv::Mat colour, gray;
    for (int i = 0; i < 60 && capture.read(colour); ++i) {
        cv::cvtColor(colour(part), gray, cv::COLOR_BGR2GRAY);
        frames.emplace_back(gray.data, gray.data + gray.total());
    }
    ASSERT_EQ(frames.size(), 60u);
    std::mt19937 rng(9);
    const Bytes roi = randomRoi(frames[0].size(), rng);
    std::vector<Window> windows(25, Window{0.01f, 10.0f, 2, false});
    windows[20] = {0.01f, 10.0f, 2, true};
    windows[21] = {0.3f, 4.0f, 1, true};
    windows[22] = {0.0f, 10.0f, 3, false};
    EXPECT_GT(compareRuns(kernel(), threads(), part.width, part.height, frames, windows, &roi), 0u);
}

std::string kernelCaseName(const ::testing::TestParamInfo<std::tuple<ModelKernel, int>>& info) {
    const ModelKernel k = std::get<0>(info.param);
    return std::string(k == ModelKernel::kAvx2 ? "Avx2" : "Avx512") + "_" +
           std::to_string(std::get<1>(info.param)) + "Threads";
}

INSTANTIATE_TEST_SUITE_P(Kernels, SimdKernel,
                         ::testing::Combine(::testing::Values(ModelKernel::kAvx2, ModelKernel::kAvx512),
                                            ::testing::Values(1, 2)),
                         kernelCaseName);

// Records no update would produce, built from values that stress the
// comparisons: signed zeros, denormals, infinities, NaN, ties.
float hostileValue(std::mt19937& rng) {
    static const float kValues[] = {0.0f,
                                    -0.0f,
                                    1.0f,
                                    0.5f,
                                    0.7f,
                                    0.01f,
                                    100.0f,
                                    6.25f,
                                    1e-40f,
                                    -1e-40f,
                                    -1.0f,
                                    255.0f,
                                    1e38f,
                                    std::numeric_limits<float>::infinity(),
                                    -std::numeric_limits<float>::infinity(),
                                    std::numeric_limits<float>::quiet_NaN(),
                                    -std::numeric_limits<float>::quiet_NaN()};
    std::uniform_int_distribution<int> pick(0, sizeof kValues / sizeof kValues[0] - 1);
    return kValues[pick(rng)];
}

class KernelOnHostileRecords : public ::testing::TestWithParam<ModelKernel> {};

TEST_P(KernelOnHostileRecords, MatchesTheReference) {
    if (!kernelSupported(GetParam()))
        GTEST_SKIP() << "this CPU cannot run the " << kernelName(GetParam()) << " kernel";
    constexpr std::size_t kPixels = 16 * 24;
    std::mt19937 rng(2024);
    std::uniform_int_distribution<int> bit(0, 1);
    const float alphas[] = {0.01f, 0.0f, 1.0f, 1e-40f, 0.7f};
    const float floors[] = {100.0f, 0.0f, 1e-40f, 65025.0f, 0.25f};
    for (int round = 0; round < 40; ++round) {
        ModelStore reference(kPixels), candidate(kPixels);
        for (std::size_t i = 0; i < kPixels; ++i) {
            PixelModel m;
            for (MixtureComponent& c : m.components) {
                c = {hostileValue(rng), hostileValue(rng), hostileValue(rng), hostileValue(rng)};
            }
            m.initialised = static_cast<std::uint8_t>(bit(rng));
            reference.set(i, m);
            candidate.set(i, m);
        }
        const Bytes values = randomBytes(kPixels, rng);
        const Bytes roi = randomRoi(kPixels, rng);
        Bytes expectedMask(kPixels, 7), actualMask(kPixels, 7);
        ModelUpdateInput input{
            values.data(),     round % 2 ? roi.data() : nullptr,   16, 24,
            alphas[round % 5], std::sqrt(floors[(round / 5) % 5]), 1,  ModelKernel::kScalar};
        updateModelBands(input, reference, expectedMask.data());
        input.kernel = GetParam();
        updateModelBands(input, candidate, actualMask.data());
        ASSERT_TRUE(sameModels(reference, candidate)) << "round " << round;
        ASSERT_TRUE(sameBytes(expectedMask, actualMask, "event mask")) << "round " << round;
    }
}

// The averaging step on sums far beyond what a window can add up (a window
// shortened after it began), where only the low byte of the quotient is
// kept, for awkward window lengths.
TEST_P(KernelOnHostileRecords, AveragesExtremeSumsLikeTheReference) {
    if (!kernelSupported(GetParam()))
        GTEST_SKIP() << "this CPU cannot run the " << kernelName(GetParam()) << " kernel";
    constexpr int kW = 37, kH = 3;
    constexpr std::size_t kPixels = kW * kH;
    std::mt19937 rng(31);
    std::uniform_int_distribution<std::uint32_t> anySum(0, 0xFFFFFFFFu);
    for (std::uint32_t frames : {1u, 2u, 3u, 7u, 30u, 255u, 256u, 257u, 65537u, 16843009u}) {
        Pipeline reference(kW, kH, ModelKernel::kScalar, 1), candidate(kW, kH, GetParam(), 2);
        for (std::size_t i = 0; i < kPixels; ++i) {
            // The largest ones wrap when the last frame is added, as 32-bit sums do.
            const std::uint32_t edge[] = {0xFFFFFFFFu, 0xFFFFFFFFu - 255u, frames - 1,
                                          frames,      frames * 255u,      anySum(rng)};
            reference.sums[i] = candidate.sums[i] = edge[i % 6];
        }
        const Bytes gray = randomBytes(kPixels, rng);
        const Window window{0.01f, 10.0f, static_cast<int>(frames), false};
        reference.endWindow(gray, window, nullptr, true);
        candidate.endWindow(gray, window, nullptr, true);
        ASSERT_TRUE(samePipelines(reference, candidate)) << frames << " frames";
    }
}

INSTANTIATE_TEST_SUITE_P(Kernels, KernelOnHostileRecords,
                         ::testing::Values(ModelKernel::kAvx2, ModelKernel::kAvx512),
                         [](const ::testing::TestParamInfo<ModelKernel>& testCase) {
                             return std::string(testCase.param == ModelKernel::kAvx2 ? "Avx2" : "Avx512");
                         });

// Forcing a kernel on a Detector reaches its model update: each gives the
// scalar reference's masks, averaged frames and tracks, across a reset and a
// size change.
struct DetectorRun {
    std::vector<Bytes> masks;
    std::vector<Bytes> averaged;
    std::vector<std::vector<ObjectTrack>> tracks;
};

// `forced` runs once the kernel is chosen, before the first frame.
DetectorRun runDetector(
    ModelKernel kernel, int threads, const std::function<void()>& forced = [] {}) {
    Detector d;
    EXPECT_TRUE(d.forceKernel(kernel));
    forced();
    EXPECT_TRUE(d.setParameter(Detector::kNumThreads, threads));
    EXPECT_TRUE(d.setParameter(Detector::kNumFrames, 2));
    DetectorRun run;
    std::mt19937 rng(3);
    for (int i = 0; i < 90; ++i) {
        const int w = i < 60 ? 41 : 23, h = i < 60 ? 19 : 9;
        if (i == 40) d.reset();
        Bytes frame(static_cast<std::size_t>(w) * h, 40);
        std::uniform_int_distribution<int> noise(0, 12);
        for (auto& b : frame) b = static_cast<unsigned char>(40 + noise(rng));
        for (int r = (i / 2) % (h - 4); r < (i / 2) % (h - 4) + 4; ++r)
            for (int c = i % (w - 5); c < i % (w - 5) + 5; ++c) frame[r * w + c] = 250;
        EXPECT_TRUE(d.process(frame.data(), w, h, nullptr));
        // Another Detector's choice, on this thread or another, must not
        // have replaced this one's.
        EXPECT_EQ(d.kernel(), kernel) << "frame " << i;
        Bytes mask(frame.size());
        EXPECT_TRUE(d.copyEventMask(mask.data()));
        run.masks.push_back(std::move(mask));
        const cv::Mat& avg = d.getAveragedFrame();
        run.averaged.emplace_back(avg.data, avg.data + avg.total());
        run.tracks.push_back(d.getTracks());
    }
    return run;
}

void expectSameRun(const DetectorRun& reference, const DetectorRun& run, ModelKernel kernel) {
    ASSERT_EQ(run.masks.size(), reference.masks.size()) << kernelName(kernel);
    for (std::size_t i = 0; i < reference.masks.size(); ++i) {
        ASSERT_EQ(run.masks[i], reference.masks[i]) << kernelName(kernel) << ", frame " << i;
        // Windows end on the odd frames (the reset and the size change come
        // on even ones); before that the average is unset.
        if (i % 2 == 1) {
            ASSERT_EQ(run.averaged[i], reference.averaged[i]) << kernelName(kernel) << ", frame " << i;
        }
        ASSERT_EQ(run.tracks[i].size(), reference.tracks[i].size()) << kernelName(kernel) << ", frame " << i;
        for (std::size_t t = 0; t < run.tracks[i].size(); ++t) {
            EXPECT_EQ(run.tracks[i][t].box, reference.tracks[i][t].box);
            EXPECT_EQ(run.tracks[i][t].score, reference.tracks[i][t].score);
        }
    }
}

TEST(ForcedKernels, GiveTheSameDetectorResults) {
    const DetectorRun reference = runDetector(ModelKernel::kScalar, 1);
    std::size_t events = 0;
    for (const Bytes& m : reference.masks)
        for (unsigned char b : m) events += b != 0;
    ASSERT_GT(events, 0u);
    for (ModelKernel kernel : {ModelKernel::kAvx2, ModelKernel::kAvx512}) {
        if (!kernelSupported(kernel)) {
            Detector d;
            EXPECT_FALSE(d.forceKernel(kernel));
            EXPECT_EQ(d.kernel(), bestKernel());
            continue;
        }
        for (int threads : {1, 2}) expectSameRun(reference, runDetector(kernel, threads), kernel);
    }
}

// Two detectors, each forced to its own kernel, running at the same time on
// two threads: neither choice leaks into the other, and both give the scalar
// reference. (A process-wide forced kernel made the last force win for
// every detector.)
TEST(ForcedKernels, TwoDetectorsOnTwoThreadsKeepTheirOwnKernels) {
    const ModelKernel wide = bestKernel();
    if (wide == ModelKernel::kScalar) GTEST_SKIP() << "this CPU runs the scalar kernel only";
    const DetectorRun reference = runDetector(ModelKernel::kScalar, 1);
    // Neither detector sees a frame before both have chosen their kernels.
    std::promise<void> scalarChosen;
    std::promise<void> wideChosen;
    std::shared_future<void> bothChosen[] = {scalarChosen.get_future().share(),
                                             wideChosen.get_future().share()};
    const auto rendezvous = [&bothChosen](std::promise<void>& mine) {
        return [&mine, &bothChosen] {
            mine.set_value();
            for (const std::shared_future<void>& chosen : bothChosen) chosen.wait();
        };
    };
    DetectorRun scalarRun;
    DetectorRun wideRun;
    std::thread scalarThread(
        [&] { scalarRun = runDetector(ModelKernel::kScalar, 1, rendezvous(scalarChosen)); });
    std::thread wideThread([&] { wideRun = runDetector(wide, 1, rendezvous(wideChosen)); });
    scalarThread.join();
    wideThread.join();
    expectSameRun(reference, scalarRun, ModelKernel::kScalar);
    expectSameRun(reference, wideRun, wide);
}

TEST(ForcedKernels, ScalarIsAlwaysAvailableAndTheDefaultIsTheWidest) {
    EXPECT_TRUE(kernelSupported(ModelKernel::kScalar));
    const ModelKernel widest = kernelSupported(ModelKernel::kAvx512) ? ModelKernel::kAvx512
                               : kernelSupported(ModelKernel::kAvx2) ? ModelKernel::kAvx2
                                                                     : ModelKernel::kScalar;
    EXPECT_EQ(bestKernel(), widest);
    Detector forced;
    Detector plain;
    EXPECT_EQ(plain.kernel(), widest);
    ASSERT_TRUE(forced.forceKernel(ModelKernel::kScalar));
    EXPECT_EQ(forced.kernel(), ModelKernel::kScalar);
    EXPECT_EQ(plain.kernel(), widest);  // untouched by the other detector's choice
    forced.clearForcedKernel();
    EXPECT_EQ(forced.kernel(), widest);
}

TEST(ModelStoreLayout, StartsAndClearsToTheEmptyModelAndKeepsEveryField) {
    ModelStore store(37);
    EXPECT_EQ(store.blockCount(), 3u);
    std::mt19937 rng(1);
    std::vector<PixelModel> written;
    for (std::size_t i = 0; i < store.pixelCount(); ++i) {
        EXPECT_TRUE(sameRecord(PixelModel{}, store.get(i)));
        PixelModel m;
        for (MixtureComponent& c : m.components) {
            c = {hostileValue(rng), hostileValue(rng), hostileValue(rng), hostileValue(rng)};
        }
        m.initialised = static_cast<std::uint8_t>(i % 2);
        store.set(i, m);
        written.push_back(m);
    }
    for (std::size_t i = 0; i < store.pixelCount(); ++i)
        EXPECT_TRUE(sameRecord(written[i], store.get(i))) << i;
    store.clear();
    for (std::size_t i = 0; i < store.pixelCount(); ++i)
        EXPECT_TRUE(sameRecord(PixelModel{}, store.get(i))) << i;
}

// A store handed over by a move belongs to its new owner alone: clearing or
// destroying the moved-from store must not touch it.
class ModelStoreMove : public ::testing::Test {
protected:
    static constexpr std::size_t kPixels = 37;
    static constexpr std::size_t kMarkedPixel = 20;
    void SetUp() override {
        marked.components[0] = {0.5f, 120.0f, 36.0f, 0.5f / 36.0f};
        marked.initialised = 1;
    }
    ModelStore markedStore() const {
        ModelStore store(kPixels);
        store.set(kMarkedPixel, marked);
        return store;
    }
    static void expectEmpty(ModelStore& store) {
        EXPECT_EQ(store.pixelCount(), 0u);
        EXPECT_EQ(store.blockCount(), 0u);
        EXPECT_EQ(store.blockData(), nullptr);
        EXPECT_EQ(store.initialisedBits(), nullptr);
    }
    PixelModel marked{};
};

TEST_F(ModelStoreMove, ConstructionLeavesTheSourceEmptyAndItsClearHarmless) {
    ModelStore source = markedStore();
    ModelStore target(std::move(source));
    source.clear();
    expectEmpty(source);
    ASSERT_EQ(target.pixelCount(), kPixels);
    EXPECT_TRUE(sameRecord(marked, target.get(kMarkedPixel)));
}

TEST_F(ModelStoreMove, AssignmentReplacesTheTargetsModelsAndLeavesTheSourceEmpty) {
    ModelStore source = markedStore();
    ModelStore target(5);
    target = std::move(source);
    source.clear();
    expectEmpty(source);
    ASSERT_EQ(target.pixelCount(), kPixels);
    EXPECT_TRUE(sameRecord(marked, target.get(kMarkedPixel)));
    EXPECT_TRUE(sameRecord(PixelModel{}, target.get(0)));
}

// Writes freed memory under a store that keeps pointers into what it gave
// away; AddressSanitizer reports it as a use after free.
TEST_F(ModelStoreMove, ClearingTheSourceAfterTheTargetIsGoneWritesNothing) {
    ModelStore source = markedStore();
    { const ModelStore target(std::move(source)); }
    source.clear();
    expectEmpty(source);
}

}  // namespace
}  // namespace tarvolen
