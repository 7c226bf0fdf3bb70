// The detector's performance report. On gray frames of the sample clip,
// scaled to 768 x 576, 1920 x 1080 and 3840 x 2160, with 1 and 2 threads,
// it measures in one run:
//   - the floor: an in-place read-modify-write of a buffer as large as the
//     models, each thread over its own share, as the update splits them;
//   - per kernel: the model update alone (on the clip's real window
//     averages, in order, and on uniform noise, where every model line
//     changes) and the window-ending process() call (the last frame's
//     accumulation, average, update, erosion, contours, tracks), as ratios
//     to the floor; the cost per frame over whole windows at the defaults
//     (num_frames 30);
//   - the other process() calls (accumulation only);
//   - OpenCV's MOG2 apply() on the same frames with the same thread count,
//     and the detector's per-frame speed-up over it;
//   - the Detector's buffers and how far the resident memory peaks while it
//     runs, and while MOG2 runs.
// Frames are scaled outside the timed calls. Times are medians; every ratio
// comes from this one run. Prints Markdown.
//
// Usage: tarvolen_detector_report [clip] [repetitions]
#include <omp.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/video/background_segm.hpp>
#include <opencv2/videoio.hpp>

#include "detector/Detector.h"
#include "detector/ModelKernels.h"
#include "detector/ModelStore.h"
#include "detector/ParallelDriver.h"
#include "detector/WindowAverage.h"

namespace {

using tarvolen::Detector;
using tarvolen::ModelKernel;

constexpr int kWindow = 30;         // num_frames at the defaults
constexpr int kWarmUpWindows = 10;  // let the models settle, touch fresh pages
constexpr int kTimedWindows = 5;    // whole windows timed per kernel
constexpr int kMog2WarmUp = 10;     // MOG2 calls before timing
constexpr int kMog2Frames = 30;     // MOG2 calls timed
constexpr int kClipFrames = 450;    // frames read from the clip (15 windows)
constexpr int kNoiseFrames = 4;     // uniform noise frames, the worst case
constexpr double kMiB = 1024.0 * 1024.0;

const ModelKernel kKernels[] = {ModelKernel::kScalar, ModelKernel::kAvx2, ModelKernel::kAvx512};

using Clock = std::chrono::steady_clock;

double millisecondsOf(const std::function<void()>& work) {
    const auto start = Clock::now();
    work();
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> v) {
    if (v.empty()) return 0.0;
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2.0;
}

std::string firstLineWith(const char* path, const std::string& key) {
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(key, 0) == 0) return line;
    }
    return "";
}

std::string cpuModel() {
    const std::string line = firstLineWith("/proc/cpuinfo", "model name");
    const std::size_t colon = line.find(':');
    return colon == std::string::npos ? "unknown" : line.substr(colon + 2);
}

std::string loadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return one + ", " + five + ", " + fifteen;
}

double statusMiB(const std::string& key) {
    const std::string line = firstLineWith("/proc/self/status", key);
    return line.empty() ? 0.0 : std::atof(line.c_str() + key.size()) / 1024.0;
}

// How far the resident memory peaks above its level at the start while
// `work` runs, in MiB. The peak (VmHWM) is reset first where the kernel
// allows it; otherwise it is the process's lifetime peak.
double peakGrowthMiB(const std::function<void()>& work) {
    std::ofstream("/proc/self/clear_refs") << "5";
    const double before = statusMiB("VmRSS:");
    work();
    double peak = statusMiB("VmHWM:");
    if (peak == 0.0) {
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        peak = static_cast<double>(usage.ru_maxrss) / 1024.0;
    }
    return peak - before;
}

std::vector<cv::Mat> readGrayFrames(const std::string& path) {
    cv::VideoCapture capture(path);
    std::vector<cv::Mat> frames;
    cv::Mat colour;
    while (static_cast<int>(frames.size()) < kClipFrames && capture.read(colour)) {
        cv::Mat gray;
        cv::cvtColor(colour, gray, cv::COLOR_BGR2GRAY);
        frames.push_back(gray);
    }
    return frames;
}

// The averaged frame of each whole window of the clip, as the detector
// computes it, at the clip's size.
std::vector<cv::Mat> windowAverages(const std::vector<cv::Mat>& frames) {
    std::vector<cv::Mat> averages;
    const std::size_t n = frames[0].total();
    for (std::size_t first = 0; first + kWindow <= frames.size(); first += kWindow) {
        std::vector<std::uint32_t> sums(n, 0);
        for (std::size_t f = first; f < first + kWindow; ++f) {
            for (std::size_t i = 0; i < n; ++i) sums[i] += tarvolen::squaredLevel(frames[f].data[i]);
        }
        cv::Mat average(frames[0].size(), CV_8UC1);
        for (std::size_t i = 0; i < n; ++i) average.data[i] = static_cast<unsigned char>(sums[i] / kWindow);
        averages.push_back(average);
    }
    return averages;
}

// Scales clip frames to the measured size, one at a time, outside the timers.
class ScaledClip {
public:
    ScaledClip(const std::vector<cv::Mat>& frames, cv::Size size) : source(frames), target(size) {}
    const cv::Mat& next() {
        const cv::Mat& f = source[position++ % source.size()];
        if (f.size() == target) return f;
        cv::resize(f, scaledFrame, target, 0, 0, cv::INTER_LINEAR);
        return scaledFrame;
    }

private:
    const std::vector<cv::Mat>& source;
    cv::Size target;
    std::size_t position = 0;
    cv::Mat scaledFrame;
};

// The floor: one in-place read-modify-write pass over every byte of a model
// store (allocated as the detector allocates it), each thread over its own
// share of the blocks, as the model update splits them.
void readModifyWrite(tarvolen::ModelStore& store, int threads) {
    float* words = store.blockData()->components[0].weight;
    const std::size_t n = store.blockCount() * sizeof(tarvolen::ModelBlock) / sizeof(float);
    std::uint16_t* bits = store.initialisedBits();
    const std::size_t blocks = store.blockCount();
#pragma omp parallel num_threads(threads)
    {
        const std::size_t t = static_cast<std::size_t>(omp_get_thread_num());
        const std::size_t count = static_cast<std::size_t>(omp_get_num_threads());
        const std::size_t begin = blocks * t / count, end = blocks * (t + 1) / count;
        const std::size_t perBlock = n / blocks;
        for (std::size_t i = begin * perBlock; i < end * perBlock; ++i) words[i] += 1.0f;
        for (std::size_t b = begin; b < end; ++b) ++bits[b];
    }
}

// The floor: repeated passes over one store, as the update below makes
// repeated passes over its models, so that both meet the caches alike.
std::vector<double> floorSamples(std::size_t pixels, int threads, int repetitions) {
    tarvolen::ModelStore store(pixels);
    readModifyWrite(store, threads);  // touch the pages
    std::vector<double> times;
    for (int i = 0; i < repetitions; ++i)
        times.push_back(millisecondsOf([&] { readModifyWrite(store, threads); }));
    return times;
}

// The model update alone, fed `inputs` in order, after one pass over all of
// them has settled the models.
double updateMs(const std::vector<cv::Mat>& inputs, int threads, ModelKernel kernel, int repetitions) {
    const cv::Size size = inputs[0].size();
    tarvolen::ModelStore models(inputs[0].total());
    std::vector<unsigned char> mask(inputs[0].total());
    tarvolen::ModelUpdateInput input{nullptr, nullptr, size.width, size.height,
                                     0.01f,   10.0f,   threads,    kernel};
    std::size_t next = 0;
    const auto update = [&] {
        input.averaged = inputs[next++ % inputs.size()].data;
        tarvolen::updateModelBands(input, models, mask.data());
    };
    for (std::size_t i = 0; i < inputs.size(); ++i) update();
    std::vector<double> times;
    for (int i = 0; i < repetitions; ++i) times.push_back(millisecondsOf(update));
    return median(times);
}

struct DetectorTimes {
    double windowEndMs = 0;
    double accumulateMs = 0;
    double perFrameMs = 0;  // whole windows, divided by their frames
    double peakMiB = 0;
};

// Whole windows at the defaults (but the thread count), each call timed.
DetectorTimes timeDetector(const std::vector<cv::Mat>& clip, cv::Size size, int threads, ModelKernel kernel) {
    DetectorTimes result;
    ScaledClip frames(clip, size);
    result.peakMiB = peakGrowthMiB([&] {
        Detector detector;
        detector.forceKernel(kernel);
        detector.setParameter(Detector::kNumThreads, threads);
        detector.prepare(size.width, size.height);
        std::vector<double> windowEnds, accumulations, perFrame;
        for (int w = 0; w < kWarmUpWindows + kTimedWindows; ++w) {
            double total = 0;
            for (int f = 0; f < kWindow; ++f) {
                const cv::Mat& frame = frames.next();
                const double ms =
                    millisecondsOf([&] { detector.process(frame.data, size.width, size.height, nullptr); });
                total += ms;
                if (w < kWarmUpWindows) continue;
                (f + 1 == kWindow ? windowEnds : accumulations).push_back(ms);
            }
            if (w >= kWarmUpWindows) perFrame.push_back(total / kWindow);
        }
        result.windowEndMs = median(windowEnds);
        result.accumulateMs = median(accumulations);
        result.perFrameMs = median(perFrame);
    });
    return result;
}

// OpenCV's Gaussian-mixture background subtractor with its defaults.
double mog2Ms(const std::vector<cv::Mat>& clip, cv::Size size, int threads, double& peakMiB) {
    ScaledClip frames(clip, size);
    std::vector<double> times;
    cv::setNumThreads(threads);
    peakMiB = peakGrowthMiB([&] {
        cv::Ptr<cv::BackgroundSubtractorMOG2> mog2 = cv::createBackgroundSubtractorMOG2();
        cv::Mat foreground;
        for (int i = 0; i < kMog2WarmUp; ++i) mog2->apply(frames.next(), foreground);
        for (int i = 0; i < kMog2Frames; ++i) {
            const cv::Mat& frame = frames.next();
            times.push_back(millisecondsOf([&] { mog2->apply(frame, foreground); }));
        }
    });
    cv::setNumThreads(-1);
    return median(times);
}

std::string cell(double ms, double reference) {
    char text[64];
    std::snprintf(text, sizeof text, "%.2f ms (%.2fx)", ms, ms / reference);
    return text;
}

struct KernelRow {
    ModelKernel kernel;
    double updateMs;  // on the clip's window averages
    double noiseMs;   // on uniform noise: every model line changes
    DetectorTimes detector;
};

struct Row {
    cv::Size size;
    int threads = 0;
    double floorMs = 0;  // median
    double floorMinMs = 0;
    double floorMaxMs = 0;
    double mog2Ms = 0;
    double mog2PeakMiB = 0;
    double buffersMiB = 0;
    std::vector<KernelRow> kernels;
};

void printReport(const std::vector<Row>& rows, const std::string& loadBefore) {
    std::printf("nproc %u; CPU %s; kernel chosen for this CPU: %s; load average before %s, after %s\n\n",
                std::thread::hardware_concurrency(), cpuModel().c_str(),
                tarvolen::kernelName(tarvolen::bestKernel()), loadBefore.c_str(), loadAverage().c_str());
    std::printf(
        "| size | threads | kernel | model update (x floor) | window-ending call (x floor) | "
        "per frame at num_frames 30 | speed-up over MOG2 | model update on noise (x floor) |\n"
        "|---|---|---|---|---|---|---|---|\n");
    for (const Row& r : rows) {
        for (const KernelRow& k : r.kernels) {
            std::printf("| %dx%d | %d | %s | %s | %s | %.3f ms | %.1fx | %s |\n", r.size.width, r.size.height,
                        r.threads, tarvolen::kernelName(k.kernel), cell(k.updateMs, r.floorMs).c_str(),
                        cell(k.detector.windowEndMs, r.floorMs).c_str(), k.detector.perFrameMs,
                        r.mog2Ms / k.detector.perFrameMs, cell(k.noiseMs, r.floorMs).c_str());
        }
    }
    std::printf(
        "\n| size | threads | floor: RMW of the models' bytes, median (min-max) | accumulation call (%s) | "
        "MOG2 apply | "
        "Detector buffers (planned) | resident peak growth: Detector (%s) / MOG2 |\n"
        "|---|---|---|---|---|---|---|\n",
        tarvolen::kernelName(tarvolen::bestKernel()), tarvolen::kernelName(tarvolen::bestKernel()));
    for (const Row& r : rows) {
        const DetectorTimes* best = nullptr;
        for (const KernelRow& k : r.kernels) {
            if (k.kernel == tarvolen::bestKernel()) best = &k.detector;
        }
        std::printf("| %dx%d | %d | %.2f ms (%.2f-%.2f) | %.3f ms | %.2f ms | %.0f MiB | %.0f / %.0f MiB |\n",
                    r.size.width, r.size.height, r.threads, r.floorMs, r.floorMinMs, r.floorMaxMs,
                    best ? best->accumulateMs : 0.0, r.mog2Ms, r.buffersMiB, best ? best->peakMiB : 0.0,
                    r.mog2PeakMiB);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::string path = argc > 1 ? argv[1] : TARVOLEN_SAMPLE_VIDEO;
    const int repetitions = argc > 2 ? std::max(3, std::atoi(argv[2])) : 15;
    const std::vector<cv::Mat> clip = readGrayFrames(path);
    if (clip.size() < static_cast<std::size_t>(2 * kWindow)) {
        std::fprintf(stderr, "cannot read %d frames from %s\n", 2 * kWindow, path.c_str());
        return 1;
    }
    const std::vector<cv::Mat> clipAverages = windowAverages(clip);
    const std::string loadBefore = loadAverage();

    std::vector<Row> rows;
    for (const cv::Size size : {cv::Size(768, 576), cv::Size(1920, 1080), cv::Size(3840, 2160)}) {
        std::vector<cv::Mat> averages, noise;
        for (const cv::Mat& a : clipAverages) {
            cv::Mat s;
            cv::resize(a, s, size, 0, 0, cv::INTER_LINEAR);
            averages.push_back(s);
        }
        for (int i = 0; i < kNoiseFrames; ++i) {
            noise.emplace_back(size, CV_8UC1);
            cv::randu(noise.back(), 0, 256);
        }
        const std::size_t pixels = static_cast<std::size_t>(size.area());
        for (int threads : {1, 2}) {
            Row row;
            row.size = size;
            row.threads = threads;
            const std::vector<double> floors = floorSamples(pixels, threads, repetitions);
            row.floorMs = median(floors);
            row.floorMinMs = *std::min_element(floors.begin(), floors.end());
            row.floorMaxMs = *std::max_element(floors.begin(), floors.end());
            for (ModelKernel kernel : kKernels) {
                if (!tarvolen::kernelSupported(kernel)) continue;
                const int reps = kernel == ModelKernel::kScalar ? std::max(3, repetitions / 3) : repetitions;
                const double onClip = updateMs(averages, threads, kernel, reps);
                const double onNoise = updateMs(noise, threads, kernel, reps);
                row.kernels.push_back({kernel, onClip, onNoise, timeDetector(clip, size, threads, kernel)});
            }
            row.mog2Ms = mog2Ms(clip, size, threads, row.mog2PeakMiB);
            row.buffersMiB = static_cast<double>(Detector::bufferBytesPerPixel() * pixels) / kMiB;
            rows.push_back(row);
            std::fprintf(stderr, "%dx%d, %d thread(s) done\n", size.width, size.height, threads);
        }
    }
    printReport(rows, loadBefore);
    return 0;
}
