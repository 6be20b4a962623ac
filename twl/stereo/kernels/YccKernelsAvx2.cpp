#include "twl/stereo/kernels/YccKernels.h"

#include "twl/stereo/kernels/SimdChoice.h"

#include <immintrin.h>

namespace twl {
namespace {

// (w * c + 32768) >> 16 for sixteen 16-bit values c, with w a 16-bit
// weight: each value paired with 2, and w with 16384, one multiply-add.
__m256i weighted(__m256i c, __m256i weightAndHalf) {
    const __m256i two = _mm256_set1_epi16(2);
    const __m256i lo = _mm256_srai_epi32(_mm256_madd_epi16(_mm256_unpacklo_epi16(c, two), weightAndHalf), 16);
    const __m256i hi = _mm256_srai_epi32(_mm256_madd_epi16(_mm256_unpackhi_epi16(c, two), weightAndHalf), 16);
    return _mm256_packs_epi32(lo, hi);
}

__m256i weights(int16_t w, int16_t second) {
    return _mm256_set1_epi32(int32_t(uint32_t(uint16_t(second)) << 16 | uint16_t(w)));
}

// Each of sixteen chroma terms twice, for the two pixels it covers: the
// first sixteen pixels' (first) and the last sixteen's.
__m256i firstPixels(__m256i c) {
    return _mm256_permute2x128_si256(_mm256_unpacklo_epi16(c, c), _mm256_unpackhi_epi16(c, c), 0x20);
}
__m256i lastPixels(__m256i c) {
    return _mm256_permute2x128_si256(_mm256_unpacklo_epi16(c, c), _mm256_unpackhi_epi16(c, c), 0x31);
}

void yccRowAvx2(const uint8_t *luma, const uint8_t *cb, const uint8_t *cr, int width, uint8_t *bgra) {
    const __m256i centre = _mm256_set1_epi16(128);
    // The weights above 1 split as whole multiples of 65536 plus a 16-bit
    // rest: 1.402 = 1 + 26345 / 65536, 1.772 = 2 - 14942 / 65536, and
    // -0.71414 = -1 + 18734 / 65536 (whole multiples shift out exactly).
    const __m256i red = weights(26345, 16384), blue = weights(-14942, 16384), green = weights(-22554, 18734);
    const __m256i half = _mm256_set1_epi32(32768), alpha = _mm256_set1_epi8(char(0xff));
    int x = 0;
    for (; x + 32 <= width; x += 32) {
        auto centred = [&](const uint8_t *chroma) {
            const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(chroma + x / 2));
            return _mm256_sub_epi16(_mm256_cvtepu8_epi16(bytes), centre);
        };
        const __m256i b = centred(cb), r = centred(cr);
        const __m256i toRed = _mm256_add_epi16(r, weighted(r, red));
        const __m256i toBlue = _mm256_add_epi16(_mm256_add_epi16(b, b), weighted(b, blue));
        const __m256i greenLo = _mm256_madd_epi16(_mm256_unpacklo_epi16(b, r), green);
        const __m256i greenHi = _mm256_madd_epi16(_mm256_unpackhi_epi16(b, r), green);
        const __m256i toGreen =
            _mm256_sub_epi16(_mm256_packs_epi32(_mm256_srai_epi32(_mm256_add_epi32(greenLo, half), 16),
                                                _mm256_srai_epi32(_mm256_add_epi32(greenHi, half), 16)),
                             r);
        const __m256i y = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(luma + x));
        const __m256i y0 = _mm256_cvtepu8_epi16(_mm256_castsi256_si128(y));
        const __m256i y1 = _mm256_cvtepu8_epi16(_mm256_extracti128_si256(y, 1));
        // Saturated to bytes; the packs leave pixels 0-7 and 16-23 in the
        // low 128 bits, 8-15 and 24-31 in the high.
        auto channel = [&](__m256i term) {
            return _mm256_packus_epi16(_mm256_add_epi16(y0, firstPixels(term)),
                                       _mm256_add_epi16(y1, lastPixels(term)));
        };
        const __m256i B = channel(toBlue), G = channel(toGreen), R = channel(toRed);
        const __m256i bgLo = _mm256_unpacklo_epi8(B, G), bgHi = _mm256_unpackhi_epi8(B, G);
        const __m256i raLo = _mm256_unpacklo_epi8(R, alpha), raHi = _mm256_unpackhi_epi8(R, alpha);
        const __m256i p0 = _mm256_unpacklo_epi16(bgLo, raLo), p1 = _mm256_unpackhi_epi16(bgLo, raLo);
        const __m256i p2 = _mm256_unpacklo_epi16(bgHi, raHi), p3 = _mm256_unpackhi_epi16(bgHi, raHi);
        auto *out = reinterpret_cast<__m256i *>(bgra + 4 * x);
        _mm256_storeu_si256(out, _mm256_permute2x128_si256(p0, p1, 0x20));
        _mm256_storeu_si256(out + 1, _mm256_permute2x128_si256(p0, p1, 0x31));
        _mm256_storeu_si256(out + 2, _mm256_permute2x128_si256(p2, p3, 0x20));
        _mm256_storeu_si256(out + 3, _mm256_permute2x128_si256(p2, p3, 0x31));
    }
    yccRow(luma + x, cb + x / 2, cr + x / 2, width - x, bgra + 4 * x);
}

} // namespace

YccRow avx2YccRow() {
    return avx2RowKernelsRun() ? yccRowAvx2 : nullptr;
}

} // namespace twl
