// The one place that chooses a model kernel from what the CPU offers.
#include "detector/ModelKernels.h"

namespace tarvolen {
namespace {

bool cpuHas(ModelKernel kernel) {
#if defined(TARVOLEN_X86_KERNELS)
    // Also checks that the operating system saves the wide registers.
    __builtin_cpu_init();
    switch (kernel) {
        case ModelKernel::kScalar:
            return true;
        case ModelKernel::kAvx2:
            return __builtin_cpu_supports("avx2");
        case ModelKernel::kAvx512:
            return __builtin_cpu_supports("avx512f");
    }
    return false;
#else
    return kernel == ModelKernel::kScalar;
#endif
}

ModelKernel widestSupported() {
    if (cpuHas(ModelKernel::kAvx512)) return ModelKernel::kAvx512;
    if (cpuHas(ModelKernel::kAvx2)) return ModelKernel::kAvx2;
    return ModelKernel::kScalar;
}

// Written only by forceKernel / clearForcedKernel, which run between
// detector calls on the calling thread.
bool forced = false;
ModelKernel forcedKernel = ModelKernel::kScalar;

}  // namespace

bool kernelSupported(ModelKernel kernel) { return cpuHas(kernel); }

ModelKernel activeKernel() {
    static const ModelKernel best = widestSupported();
    return forced ? forcedKernel : best;
}

bool forceKernel(ModelKernel kernel) {
    if (!kernelSupported(kernel)) return false;
    forced = true;
    forcedKernel = kernel;
    return true;
}

void clearForcedKernel() { forced = false; }

const char* kernelName(ModelKernel kernel) {
    switch (kernel) {
        case ModelKernel::kScalar:
            return "scalar";
        case ModelKernel::kAvx2:
            return "AVX2";
        case ModelKernel::kAvx512:
            return "AVX-512";
    }
    return "?";
}

void runKernel(ModelKernel kernel, const BlockJob& job) {
    if (!kernelSupported(kernel)) kernel = ModelKernel::kScalar;
    switch (kernel) {
#if defined(TARVOLEN_X86_KERNELS)
        case ModelKernel::kAvx512:
            updateBlocksAvx512(job);
            return;
        case ModelKernel::kAvx2:
            updateBlocksAvx2(job);
            return;
#endif
        default:
            updateBlocksScalar(job);
            return;
    }
}

}  // namespace tarvolen
