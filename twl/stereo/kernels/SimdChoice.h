#pragma once

namespace twl {

/// Whether the row kernels built for AVX2 (grey, JPEG colour) run here: the
/// CPU has AVX2 and VANTARO_SIMD does not ask for the baseline (or scalar)
/// build. Compiled for the baseline, as it runs before anything is chosen.
bool avx2RowKernelsRun();

} // namespace twl
