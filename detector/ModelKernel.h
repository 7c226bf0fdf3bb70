// The names of the model kernels, apart from their declarations: the public
// Detector header names them, and the SIMD kernels' own translation units
// must include nothing with inline code (see ModelKernels.h).
#pragma once

namespace tarvolen {

enum class ModelKernel { kScalar, kAvx2, kAvx512 };

}  // namespace tarvolen
