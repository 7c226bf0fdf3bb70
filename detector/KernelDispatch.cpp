// The one place that chooses a model kernel from what the CPU offers.
#include "detector/ModelKernels.h"

namespace tarvolen {
namespace {

struct CpuFeatures {
    bool avx2 = false;
    bool avx512f = false;
};

CpuFeatures askCpu() {
    CpuFeatures features;
#if defined(TARVOLEN_X86_KERNELS)
    // Also checks that the operating system saves the wide registers.
    __builtin_cpu_init();
    features.avx2 = __builtin_cpu_supports("avx2");
    features.avx512f = __builtin_cpu_supports("avx512f");
#endif
    return features;
}

// Asked once: every worker of every model update checks its kernel, and the
// answer cannot change while the process runs. A function-local static is
// initialised exactly once even when several threads get here first.
const CpuFeatures& cpuFeatures() {
    static const CpuFeatures features = askCpu();
    return features;
}

ModelKernel widestSupported() {
    if (kernelSupported(ModelKernel::kAvx512)) return ModelKernel::kAvx512;
    if (kernelSupported(ModelKernel::kAvx2)) return ModelKernel::kAvx2;
    return ModelKernel::kScalar;
}

}  // namespace

bool kernelSupported(ModelKernel kernel) {
    switch (kernel) {
        case ModelKernel::kScalar:
            return true;
        case ModelKernel::kAvx2:
            return cpuFeatures().avx2;
        case ModelKernel::kAvx512:
            return cpuFeatures().avx512f;
    }
    return false;
}

ModelKernel bestKernel() {
    static const ModelKernel best = widestSupported();
    return best;
}

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
