#pragma once
// The inverse transform of libjpeg-turbo's fast decode, to the bit as its
// SSE2 form computes it (16-bit arithmetic, products by their high half),
// two blocks at once in the two halves of AVX2 registers: libjpeg transforms
// a block at a time, and half of each of its steps is moving data about.

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

using IdctPair = void (*)(const IdctBlock &a, const IdctBlock &b);

/// Null where the CPU lacks AVX2 or VANTARO_SIMD asks for the baseline (or
/// scalar) build.
IdctPair avx2IdctPair();

} // namespace twl
