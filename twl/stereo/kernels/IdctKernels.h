#pragma once
// The inverse transform of libjpeg-turbo's fast decode, to the bit as its
// SSE2 form computes it (16-bit arithmetic, products by their high half),
// several blocks at once, one in each 128-bit lane of AVX2 or AVX-512
// registers: libjpeg transforms a block at a time, and half of each of its
// steps is moving data about.

#include <cstdint>

namespace twl {

/// One block to transform: its 64 coefficients and the 64 multipliers that
/// dequantise and scale them (libjpeg's table for the fast transform), and
/// where its 8 x 8 samples go: `rows[i] + column` for row i.
struct IdctBlock {
    const int16_t *coefficients;
    const int16_t *multipliers;
    uint8_t *const *rows;
    unsigned column;
};

/// Transforms `blocks[0]` to `blocks[n - 1]`, n fixed by the kernel.
using IdctBlocks = void (*)(const IdctBlock *blocks);

/// Two blocks at once. Null where the CPU lacks AVX2 or VANTARO_SIMD asks
/// for the baseline (or scalar) build.
IdctBlocks avx2IdctPair();
/// Four blocks at once. Null where avx512RowKernelsRun says no (no AVX-512
/// BW, cores that run 64-byte operations as two halves, or VANTARO_SIMD
/// asking for a narrower build).
IdctBlocks avx512IdctQuad();

} // namespace twl
