#pragma once
// BGRA to grey with OpenCV's weights and rounding, so the same bytes as its
// conversion: (3735 B + 19235 G + 9798 R + 16384) >> 15. OpenCV's took 0.57 ms
// an eye at HD1080 on one core, for a few instructions a pixel.

#include <cstdint>

namespace twl {

using GreyRow = void (*)(const uint8_t *bgra, int width, uint8_t *grey);

/// Thirty-two pixels a step; null where the CPU lacks AVX2 or VANTARO_SIMD
/// asks for the baseline (or scalar) build.
GreyRow avx2GreyRow();

/// Two thirds of a grey image's size by area, a row pair at a time: from
/// rows a, b and c, `top` and `bottom` for the first blocks of two pixels
/// (three source columns each), thirty-two blocks a step. Returns how many
/// it made; the caller makes the rest.
using TwoThirdsRows = int (*)(const uint8_t *a, const uint8_t *b, const uint8_t *c, int blocks, uint8_t *top,
                              uint8_t *bottom);

/// Null where the CPU lacks AVX2 or VANTARO_SIMD asks for the baseline (or scalar) build.
TwoThirdsRows avx2TwoThirdsRows();

inline uint8_t greyOf(const uint8_t *bgra) {
    return uint8_t((3735 * bgra[0] + 19235 * bgra[1] + 9798 * bgra[2] + 16384) >> 15);
}

} // namespace twl
