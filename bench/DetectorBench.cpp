// Detector throughput on a frame of the sample clip's size (768 x 576).
// Compare the ratios printed in one run; absolute times depend on the machine.
#include <random>
#include <vector>

#include <benchmark/benchmark.h>

#include "detector/Detector.h"
#include "detector/ParallelDriver.h"

namespace {

constexpr int kWidth = 768;   // px
constexpr int kHeight = 576;  // px

std::vector<unsigned char> noisyFrame(unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> level(0, 255);
    std::vector<unsigned char> f(static_cast<std::size_t>(kWidth) * kHeight);
    for (auto& b : f) b = static_cast<unsigned char>(level(rng));
    return f;
}

// A call inside an averaging window: accumulation only.
void BM_AccumulateOnly(benchmark::State& state) {
    tarvolen::Detector d;
    d.setParameter(tarvolen::Detector::kNumFrames, 16843009);
    const auto frame = noisyFrame(1);
    for (auto _ : state) d.process(frame.data(), kWidth, kHeight, nullptr);
    state.SetItemsProcessed(state.iterations() * kWidth * kHeight);
}
BENCHMARK(BM_AccumulateOnly);

// Every call closes a window: accumulation, model update and extraction.
void BM_FullUpdate(benchmark::State& state) {
    tarvolen::Detector d;
    d.setParameter(tarvolen::Detector::kNumFrames, 1);
    d.setParameter(tarvolen::Detector::kNumThreads, static_cast<double>(state.range(0)));
    const std::vector<unsigned char> frames[2] = {noisyFrame(1), noisyFrame(2)};
    std::size_t i = 0;
    for (auto _ : state) d.process(frames[i++ & 1].data(), kWidth, kHeight, nullptr);
    state.SetItemsProcessed(state.iterations() * kWidth * kHeight);
}
BENCHMARK(BM_FullUpdate)->Arg(1)->Arg(2)->UseRealTime();

// The per-pixel model update alone, one thread.
void BM_ModelUpdateOnly(benchmark::State& state) {
    const auto frame = noisyFrame(3);
    tarvolen::ModelStore models(frame.size());
    std::vector<unsigned char> mask(frame.size());
    const tarvolen::ModelUpdateInput input{frame.data(), nullptr, kWidth, kHeight,
                                           0.01f,        10.0f,   1,      tarvolen::bestKernel()};
    for (auto _ : state) tarvolen::updateModelBands(input, models, mask.data());
    state.SetItemsProcessed(state.iterations() * kWidth * kHeight);
}
BENCHMARK(BM_ModelUpdateOnly);

}  // namespace

BENCHMARK_MAIN();
