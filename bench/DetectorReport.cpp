// The detector's performance report: on gray frames of the sample clip,
// scaled to 768 x 576, 1920 x 1080 and 3840 x 2160, with 1 and 2 threads,
// it measures in one run
//   - the floor: an in-place read-modify-write of a buffer as large as the
//     models, split over the same threads;
//   - the model update with each kernel the CPU has, as a ratio to the floor;
//   - the window-ending process() call (last frame's accumulation, average,
//     update, erosion, contours, tracks), as a ratio to the floor;
//   - the other process() calls (accumulation only) and the cost per frame
//     over whole windows at the defaults (30 frames);
//   - OpenCV's MOG2 apply() on the same frames with the same thread count,
//     and the detector's speed-up over it;
//   - the Detector's buffers and the peak resident memory.
// Times are medians; ratios come from the same run. Prints Markdown.
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

constexpr int kClipFrames = 60;      // frames read from the clip and cycled
constexpr int kDefaultWindow = 30;   // num_frames at the defaults
constexpr int kMeasuredWindows = 4;  // whole windows timed per configuration
constexpr int kMog2Frames = 30;      // MOG2 calls timed per configuration
constexpr double kMiB = 1024.0 * 1024.0;

using Clock = std::chrono::steady_clock;

double millisecondsOf(const std::function<void()>& work) {
    const auto start = Clock::now();
    work();
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2.0;
}

double medianOf(int repetitions, const std::function<void()>& work) {
    std::vector<double> times;
    for (int i = 0; i < repetitions; ++i) times.push_back(millisecondsOf(work));
    return median(times);
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

double statusMiB(const char* key) {
    const std::string line = firstLineWith("/proc/self/status", key);
    return line.empty() ? 0.0 : std::atof(line.c_str() + std::string(key).size()) / 1024.0;
}

// How far the resident memory peaks above its level at the start while
// `work` runs, in MiB. The peak (VmHWM) is reset first where the kernel
// allows it; otherwise the process's lifetime peak is reported as is.
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

std::vector<cv::Mat> scaled(const std::vector<cv::Mat>& frames, cv::Size size) {
    std::vector<cv::Mat> out;
    for (const cv::Mat& f : frames) {
        cv::Mat s;
        if (f.size() == size) {
            s = f.clone();
        } else {
            cv::resize(f, s, size, 0, 0, cv::INTER_LINEAR);
        }
        out.push_back(s);
    }
    return out;
}

// The squared, rescaled levels of a frame: what a window of identical frames
// averages to, a realistic input for the model update alone.
cv::Mat squaredLevels(const cv::Mat& gray) {
    cv::Mat out(gray.size(), CV_8UC1);
    for (std::size_t i = 0; i < gray.total(); ++i)
        out.data[i] = static_cast<unsigned char>(tarvolen::squaredLevel(gray.data[i]));
    return out;
}

// The floor: one in-place read-modify-write pass over `words`, each thread
// over its own contiguous share, as the model update splits its blocks.
void readModifyWrite(std::vector<std::uint32_t>& words, int threads) {
    std::uint32_t* p = words.data();
    const std::size_t n = words.size();
#pragma omp parallel num_threads(threads)
    {
        const std::size_t t = static_cast<std::size_t>(omp_get_thread_num());
        const std::size_t count = static_cast<std::size_t>(omp_get_num_threads());
        const std::size_t end = n * (t + 1) / count;
        for (std::size_t i = n * t / count; i < end; ++i) p[i] += 1;
    }
}

struct Row {
    cv::Size size;
    int threads = 0;
    double floorMs = 0;
    double updateMs[3] = {0, 0, 0};  // per kernel, 0 when unsupported
    double windowEndMs = 0;          // active kernel
    double accumulateMs = 0;
    double perFrameMs = 0;  // whole windows at the defaults, divided by their frames
    double mog2Ms = 0;
    double detectorBuffersMiB = 0;  // bufferBytesPerPixel() x pixels
    double detectorPeakMiB = 0;     // resident growth while the Detector runs
    double mog2PeakMiB = 0;
};

const ModelKernel kKernels[] = {ModelKernel::kScalar, ModelKernel::kAvx2, ModelKernel::kAvx512};

double modelUpdateMs(const std::vector<cv::Mat>& averaged, int threads, ModelKernel kernel, int repetitions) {
    const cv::Size size = averaged[0].size();
    tarvolen::ModelStore models(averaged[0].total());
    std::vector<unsigned char> mask(averaged[0].total());
    tarvolen::ModelUpdateInput input{nullptr, nullptr, size.width, size.height,
                                     0.01f,   10.0f,   threads,    kernel};
    std::size_t next = 0;
    const auto update = [&] {
        input.averaged = averaged[next++ % averaged.size()].data;
        tarvolen::updateModelBands(input, models, mask.data());
    };
    for (int i = 0; i < 6; ++i) update();  // touch the pages, build up some components
    return medianOf(repetitions, update);
}

// Feeds whole windows at the defaults (num_frames 30) and times each call.
void timeDetector(const std::vector<cv::Mat>& frames, int threads, Row& row) {
    Detector detector;
    detector.setParameter(Detector::kNumThreads, threads);
    const cv::Size size = frames[0].size();
    detector.prepare(size.width, size.height);
    std::vector<double> windowEnds, accumulations, windows;
    std::size_t next = 0;
    for (int w = 0; w < kMeasuredWindows + 1; ++w) {
        double windowTotal = 0;
        for (int f = 0; f < kDefaultWindow; ++f) {
            const cv::Mat& frame = frames[next++ % frames.size()];
            const double ms =
                millisecondsOf([&] { detector.process(frame.data, size.width, size.height, nullptr); });
            windowTotal += ms;
            if (w == 0) continue;  // the first window touches fresh pages
            (f + 1 == kDefaultWindow ? windowEnds : accumulations).push_back(ms);
        }
        if (w > 0) windows.push_back(windowTotal / kDefaultWindow);
    }
    row.windowEndMs = median(windowEnds);
    row.accumulateMs = median(accumulations);
    row.perFrameMs = median(windows);
}

// OpenCV's Gaussian-mixture background subtractor with its defaults.
double mog2Ms(const std::vector<cv::Mat>& frames, int threads) {
    cv::setNumThreads(threads);
    cv::Ptr<cv::BackgroundSubtractorMOG2> mog2 = cv::createBackgroundSubtractorMOG2();
    cv::Mat foreground;
    std::size_t next = 0;
    for (int i = 0; i < 5; ++i) mog2->apply(frames[next++ % frames.size()], foreground);
    const double ms = medianOf(kMog2Frames, [&] { mog2->apply(frames[next++ % frames.size()], foreground); });
    cv::setNumThreads(-1);
    return ms;
}

std::string ratioCell(double ms, double floorMs) {
    if (ms <= 0) return "n/a";
    char cell[64];
    std::snprintf(cell, sizeof cell, "%.1f ms (%.2fx)", ms, ms / floorMs);
    return cell;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string clip = argc > 1 ? argv[1] : TARVOLEN_SAMPLE_VIDEO;
    const int repetitions = argc > 2 ? std::max(3, std::atoi(argv[2])) : 11;
    const std::vector<cv::Mat> clipFrames = readGrayFrames(clip);
    if (clipFrames.empty()) {
        std::fprintf(stderr, "cannot read frames from %s\n", clip.c_str());
        return 1;
    }
    const std::string loadBefore = loadAverage();

    std::vector<Row> rows;
    for (const cv::Size size : {cv::Size(768, 576), cv::Size(1920, 1080), cv::Size(3840, 2160)}) {
        const std::vector<cv::Mat> frames = scaled(clipFrames, size);
        std::vector<cv::Mat> averaged;
        for (const cv::Mat& f : frames) averaged.push_back(squaredLevels(f));
        const std::size_t pixels = frames[0].total();
        const tarvolen::ModelStore shape(pixels);
        const std::size_t modelBytes =
            shape.blockCount() * (sizeof(tarvolen::ModelBlock) + sizeof(std::uint16_t));
        for (int threads : {1, 2}) {
            Row row;
            row.size = size;
            row.threads = threads;
            std::vector<std::uint32_t> floorBuffer(modelBytes / sizeof(std::uint32_t), 1);
            readModifyWrite(floorBuffer, threads);
            row.floorMs = medianOf(repetitions, [&] { readModifyWrite(floorBuffer, threads); });
            floorBuffer = {};
            for (int k = 0; k < 3; ++k) {
                if (!tarvolen::kernelSupported(kKernels[k])) continue;
                const int reps =
                    kKernels[k] == ModelKernel::kScalar ? std::max(3, repetitions / 3) : repetitions;
                row.updateMs[k] = modelUpdateMs(averaged, threads, kKernels[k], reps);
            }
            row.detectorPeakMiB = peakGrowthMiB([&] { timeDetector(frames, threads, row); });
            row.mog2PeakMiB = peakGrowthMiB([&] { row.mog2Ms = mog2Ms(frames, threads); });
            row.detectorBuffersMiB = static_cast<double>(Detector::bufferBytesPerPixel() * pixels) / kMiB;
            rows.push_back(row);
            std::fprintf(stderr, "%dx%d, %d thread(s) done\n", size.width, size.height, threads);
        }
    }

    std::printf("nproc %u; CPU %s; kernel in use: %s; load average before %s, after %s\n\n",
                std::thread::hardware_concurrency(), cpuModel().c_str(),
                tarvolen::kernelName(tarvolen::activeKernel()), loadBefore.c_str(), loadAverage().c_str());
    std::printf(
        "| size | threads | floor (RMW of the model's bytes) | update scalar | update AVX2 | update AVX-512 "
        "| window-ending call | accumulation call | per frame at num_frames 30 | MOG2 apply | speed-up "
        "over MOG2 | Detector buffers (planned) | peak RSS growth: Detector / MOG2 |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|---|---|---|---|\n");
    for (const Row& r : rows) {
        std::printf(
            "| %dx%d | %d | %.1f ms | %s | %s | %s | %s | %.2f ms | %.2f ms | %.1f ms | %.1fx | %.0f MiB | "
            "%.0f / %.0f MiB |\n",
            r.size.width, r.size.height, r.threads, r.floorMs, ratioCell(r.updateMs[0], r.floorMs).c_str(),
            ratioCell(r.updateMs[1], r.floorMs).c_str(), ratioCell(r.updateMs[2], r.floorMs).c_str(),
            ratioCell(r.windowEndMs, r.floorMs).c_str(), r.accumulateMs, r.perFrameMs, r.mog2Ms,
            r.mog2Ms / r.perFrameMs, r.detectorBuffersMiB, r.detectorPeakMiB, r.mog2PeakMiB);
    }
    return 0;
}
