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

inline uint8_t greyOf(const uint8_t *bgra) {
    return uint8_t((3735 * bgra[0] + 19235 * bgra[1] + 9798 * bgra[2] + 16384) >> 15);
}

} // namespace twl
