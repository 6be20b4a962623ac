#pragma once
// A JPEG picture's luma and half-width chroma (2x1 or 2x2 sampled) to BGRA,
// to the bit as libjpeg-turbo's fast decode makes it: each chroma sample
// taken for both pixels it covers (no smoothing), libjpeg's integer colour
// conversion, alpha opaque. The decoder reads the planes itself so that the
// luma can be the eyes' grey as it is.

#include <algorithm>
#include <cstdint>

namespace twl {

/// One row: `width` pixels of luma, (width + 1) / 2 of each chroma.
using YccRow = void (*)(const uint8_t *luma, const uint8_t *cb, const uint8_t *cr, int width, uint8_t *bgra);

/// Thirty-two pixels a step; null where the CPU lacks AVX2 or VANTARO_SIMD
/// asks for the baseline (or scalar) build.
YccRow avx2YccRow();
/// Sixty-four pixels a step, the rest as avx2YccRow; null where
/// avx512RowKernelsRun says no.
YccRow avx512YccRow();

/// libjpeg's tables, as formulas: its constants are 1.402, 1.772, 0.34414
/// and 0.71414 in 16-bit fixed point, rounded half up.
inline void yccRow(const uint8_t *luma, const uint8_t *cb, const uint8_t *cr, int width, uint8_t *bgra) {
    for (int x = 0; x < width; ++x, bgra += 4) {
        const int b = cb[x >> 1] - 128, r = cr[x >> 1] - 128, y = luma[x];
        bgra[0] = uint8_t(std::clamp(y + ((116130 * b + 32768) >> 16), 0, 255));
        bgra[1] = uint8_t(std::clamp(y + ((-22554 * b - 46802 * r + 32768) >> 16), 0, 255));
        bgra[2] = uint8_t(std::clamp(y + ((91881 * r + 32768) >> 16), 0, 255));
        bgra[3] = 255;
    }
}

} // namespace twl
