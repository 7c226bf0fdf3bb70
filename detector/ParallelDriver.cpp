// The only file of the detector that uses OpenMP.
#include "detector/ParallelDriver.h"

#if defined(_OPENMP)
#include <omp.h>
#endif

#include <algorithm>
#include <cstring>

#include "detector/MixtureModel.h"
#include "detector/ObjectExtraction.h"
#include "detector/WindowAverage.h"

namespace tarvolen {
namespace {

// Runs work(thread, threads) on every thread of a team of `numThreads`
// (0: the runtime's default). The num_threads clause, unlike
// omp_set_num_threads, leaves the runtime's default (and any OpenMP setting
// of a host program) in force when no count is requested.
// A build without OpenMP (the ThreadSanitizer build, whose runtime cannot
// see OpenMP's synchronisation) runs every team as one thread: the results
// are the same, since they are bit-identical for every thread count.
template <class Work>
void inTeam(int numThreads, const Work& work) {
#if defined(_OPENMP)
    if (numThreads == 1) {
        work(0, 1);
    } else if (numThreads > 0) {
#pragma omp parallel num_threads(numThreads)
        work(omp_get_thread_num(), omp_get_num_threads());
    } else {
#pragma omp parallel
        work(omp_get_thread_num(), omp_get_num_threads());
    }
#else
    (void)numThreads;
    work(0, 1);
#endif
}

// Share `thread` of `count` items split evenly over `threads`.
std::size_t shareBegin(int thread, int threads, std::size_t count) {
    return static_cast<std::size_t>(static_cast<unsigned __int128>(count) * static_cast<unsigned>(thread) /
                                    static_cast<unsigned>(threads));
}

BlockJob offsetJob(const BlockJob& job, std::size_t firstBlock, std::size_t blockCount) {
    const std::size_t pixel = firstBlock * kBlockPixels;
    BlockJob part = job;
    part.blocks = job.blocks + firstBlock;
    part.initialised = job.initialised + firstBlock;
    part.blockCount = blockCount;
    if (job.averaged != nullptr) part.averaged = job.averaged + pixel;
    if (job.sums != nullptr) part.sums = job.sums + pixel;
    if (job.gray != nullptr) {
        part.gray = job.gray + pixel;
        part.averagedOut = job.averagedOut + pixel;
    }
    if (job.roiMask != nullptr) part.roiMask = job.roiMask + pixel;
    part.eventMask = job.eventMask + pixel;
    return part;
}

// The last block of a frame whose size is not a multiple of 16 pixels runs on
// copies padded with zeros, so that no kernel reads or writes past a buffer.
void runPartialBlock(ModelKernel kernel, const BlockJob& block, std::size_t pixels) {
    alignas(64) std::uint8_t averaged[kBlockPixels] = {};
    alignas(64) std::uint8_t gray[kBlockPixels] = {};
    alignas(64) std::uint8_t roi[kBlockPixels] = {};
    alignas(64) std::uint8_t averagedOut[kBlockPixels] = {};
    alignas(64) std::uint8_t eventMask[kBlockPixels] = {};
    alignas(64) std::uint32_t sums[kBlockPixels] = {};
    BlockJob padded = block;
    if (block.averaged != nullptr) {
        std::memcpy(averaged, block.averaged, pixels);
        padded.averaged = averaged;
    }
    if (block.sums != nullptr) {
        std::memcpy(sums, block.sums, pixels * sizeof(std::uint32_t));
        padded.sums = sums;
    }
    if (block.gray != nullptr) {
        std::memcpy(gray, block.gray, pixels);
        padded.gray = gray;
        padded.averagedOut = averagedOut;
    }
    if (block.roiMask != nullptr) {
        std::memcpy(roi, block.roiMask, pixels);
        padded.roiMask = roi;
    }
    padded.eventMask = eventMask;
    runKernel(kernel, padded);
    std::memcpy(block.eventMask, eventMask, pixels);
    if (block.gray != nullptr) std::memcpy(block.averagedOut, averagedOut, pixels);
}

// Updates blocks [begin, end) of a frame of `pixels` pixels.
void updateBlockRange(ModelKernel kernel, const BlockJob& frame, std::size_t pixels, std::size_t begin,
                      std::size_t end) {
    const std::size_t wholeBlocks = pixels / kBlockPixels;
    const std::size_t wholeEnd = std::min(end, wholeBlocks);
    if (begin < wholeEnd) runKernel(kernel, offsetJob(frame, begin, wholeEnd - begin));
    if (end > wholeBlocks && begin <= wholeBlocks) {
        runPartialBlock(kernel, offsetJob(frame, wholeBlocks, 1), pixels - wholeBlocks * kBlockPixels);
    }
}

BlockJob frameJob(ModelStore& models, unsigned char* eventMask, const unsigned char* roiMask, float alpha,
                  float pixelDeviation) {
    BlockJob job{};
    job.blocks = models.blockData();
    job.initialised = models.initialisedBits();
    job.blockCount = models.blockCount();
    job.roiMask = roiMask;
    job.eventMask = eventMask;
    job.alpha = alpha;
    job.varianceFloor = pixelDeviation * pixelDeviation;
    return job;
}

std::size_t pixelCount(int width, int height) {
    return static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
}

}  // namespace

void updateModelBands(const ModelUpdateInput& input, ModelStore& models, unsigned char* eventMask) {
    BlockJob job = frameJob(models, eventMask, input.roiMask, input.alpha, input.pixelDeviation);
    job.averaged = input.averaged;
    const std::size_t pixels = pixelCount(input.width, input.height);
    inTeam(input.numThreads, [&](int t, int n) {
        updateBlockRange(input.kernel, job, pixels, shareBegin(t, n, job.blockCount),
                         shareBegin(t + 1, n, job.blockCount));
    });
}

void accumulateFrame(const unsigned char* gray, std::uint32_t* sums, std::size_t pixels, int numThreads,
                     bool startsWindow) {
    inTeam(numThreads, [&](int t, int n) {
        // Shares start on whole cache lines of the sums.
        const std::size_t begin = std::min(pixels, shareBegin(t, n, pixels) / kBlockPixels * kBlockPixels);
        const std::size_t end =
            t + 1 == n ? pixels
                       : std::min(pixels, shareBegin(t + 1, n, pixels) / kBlockPixels * kBlockPixels);
        if (startsWindow) {
            for (std::size_t i = begin; i < end; ++i) sums[i] = squaredLevel(gray[i]);
        } else {
            for (std::size_t i = begin; i < end; ++i) sums[i] += squaredLevel(gray[i]);
        }
    });
}

cv::Rect finishWindow(const WindowEnd& w) {
    BlockJob job = frameJob(*w.models, w.eventMask, w.roiMask, w.alpha, w.pixelDeviation);
    job.sums = w.sums;
    job.gray = w.gray;
    job.averagedOut = w.averaged;
    job.divisor = makeWindowDivisor(w.numFrames);
    const std::size_t pixels = pixelCount(w.width, w.height);
    cv::Rect setPixels;
    inTeam(w.numThreads, [&](int t, int n) {
        updateBlockRange(w.kernel, job, pixels, shareBegin(t, n, job.blockCount),
                         shareBegin(t + 1, n, job.blockCount));
        // The erosion of a row reads the row above, which another thread may
        // have updated. (A team of one runs outside any parallel region of
        // ours, where a barrier could bind to a caller's team.)
        if (n > 1) {
#pragma omp barrier
        }
        const cv::Rect band = erodeRows(w.eventMask, w.width, bandBegin(t, n, w.height),
                                        bandBegin(t + 1, n, w.height), w.erodedMask);
#pragma omp critical(tarvolen_window_bounds)
        setPixels |= band;
    });
    return setPixels;
}

}  // namespace tarvolen
