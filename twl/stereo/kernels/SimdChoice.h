#pragma once

namespace twl {

/// Whether the row kernels built for AVX2 (grey, JPEG colour) run here: the
/// CPU has AVX2 and VANTARO_SIMD does not ask for the baseline (or scalar)
/// build. Compiled for the baseline, as it runs before anything is chosen.
bool avx2RowKernelsRun();

/// Whether the row kernels built for AVX-512 run here: the CPU has AVX-512
/// BW, runs 64-byte operations whole (not as two halves, as Zen 4 does;
/// VANTARO_SIMD=avx512 says it does) and VANTARO_SIMD asks for no narrower
/// build.
bool avx512RowKernelsRun();

} // namespace twl
