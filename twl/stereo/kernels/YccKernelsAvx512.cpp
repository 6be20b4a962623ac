#include "twl/stereo/kernels/SimdChoice.h"
#include "twl/stereo/kernels/YccKernels.h"

#include <immintrin.h>

// GCC 12 takes the undefined source of its own 512-bit unpacks for an
// uninitialised value once they are inlined.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"

namespace twl {
namespace {

// The AVX2 row's steps on 64 pixels: the same products, to the bit.
__m512i weighted(__m512i c, __m512i weightAndHalf) {
    const __m512i two = _mm512_set1_epi16(2);
    const __m512i lo = _mm512_srai_epi32(_mm512_madd_epi16(_mm512_unpacklo_epi16(c, two), weightAndHalf), 16);
    const __m512i hi = _mm512_srai_epi32(_mm512_madd_epi16(_mm512_unpackhi_epi16(c, two), weightAndHalf), 16);
    return _mm512_packs_epi32(lo, hi);
}

__m512i weights(int16_t w, int16_t second) {
    return _mm512_set1_epi32(int32_t(uint32_t(uint16_t(second)) << 16 | uint16_t(w)));
}

// 128-bit lanes `first` and `first + 1` of `a` and `b`, in the order a, b, a, b.
__m512i lanes(__m512i a, __m512i b, int first) {
    const int q = 2 * first;
    return _mm512_permutex2var_epi64(
        a, _mm512_setr_epi64(q, q + 1, q + 8, q + 9, q + 2, q + 3, q + 10, q + 11), b);
}

void yccRowAvx512(const uint8_t *luma, const uint8_t *cb, const uint8_t *cr, int width, uint8_t *bgra) {
    const __m512i centre = _mm512_set1_epi16(128);
    const __m512i red = weights(26345, 16384), blue = weights(-14942, 16384), green = weights(-22554, 18734);
    const __m512i half = _mm512_set1_epi32(32768), alpha = _mm512_set1_epi8(char(0xff));
    int x = 0;
    for (; x + 64 <= width; x += 64) {
        auto centred = [&](const uint8_t *chroma) {
            const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(chroma + x / 2));
            return _mm512_sub_epi16(_mm512_cvtepu8_epi16(bytes), centre);
        };
        const __m512i b = centred(cb), r = centred(cr);
        const __m512i toRed = _mm512_add_epi16(r, weighted(r, red));
        const __m512i toBlue = _mm512_add_epi16(_mm512_add_epi16(b, b), weighted(b, blue));
        const __m512i greenLo = _mm512_madd_epi16(_mm512_unpacklo_epi16(b, r), green);
        const __m512i greenHi = _mm512_madd_epi16(_mm512_unpackhi_epi16(b, r), green);
        const __m512i toGreen =
            _mm512_sub_epi16(_mm512_packs_epi32(_mm512_srai_epi32(_mm512_add_epi32(greenLo, half), 16),
                                                _mm512_srai_epi32(_mm512_add_epi32(greenHi, half), 16)),
                             r);
        const __m512i y = _mm512_loadu_si512(luma + x);
        const __m512i y0 = _mm512_cvtepu8_epi16(_mm512_castsi512_si256(y));
        const __m512i y1 = _mm512_cvtepu8_epi16(_mm512_extracti64x4_epi64(y, 1));
        // Each chroma term twice, for the two pixels it covers: pixels 0-31
        // (the low lanes' terms), then 32-63. The packs leave pixels 8i to
        // 8i + 7 and 32 + 8i to 32 + 8i + 7 in lane i.
        auto channel = [&](__m512i term) {
            const __m512i lo = _mm512_unpacklo_epi16(term, term), hi = _mm512_unpackhi_epi16(term, term);
            return _mm512_packus_epi16(_mm512_add_epi16(y0, lanes(lo, hi, 0)),
                                       _mm512_add_epi16(y1, lanes(lo, hi, 2)));
        };
        const __m512i B = channel(toBlue), G = channel(toGreen), R = channel(toRed);
        const __m512i bgLo = _mm512_unpacklo_epi8(B, G), bgHi = _mm512_unpackhi_epi8(B, G);
        const __m512i raLo = _mm512_unpacklo_epi8(R, alpha), raHi = _mm512_unpackhi_epi8(R, alpha);
        const __m512i p0 = _mm512_unpacklo_epi16(bgLo, raLo), p1 = _mm512_unpackhi_epi16(bgLo, raLo);
        const __m512i p2 = _mm512_unpacklo_epi16(bgHi, raHi), p3 = _mm512_unpackhi_epi16(bgHi, raHi);
        auto *out = reinterpret_cast<__m512i *>(bgra + 4 * x);
        _mm512_storeu_si512(out, lanes(p0, p1, 0));
        _mm512_storeu_si512(out + 1, lanes(p0, p1, 2));
        _mm512_storeu_si512(out + 2, lanes(p2, p3, 0));
        _mm512_storeu_si512(out + 3, lanes(p2, p3, 2));
    }
    static const YccRow narrower = avx2YccRow();
    narrower(luma + x, cb + x / 2, cr + x / 2, width - x, bgra + 4 * x);
}

} // namespace

YccRow avx512YccRow() {
    return avx512RowKernelsRun() && avx2YccRow() ? yccRowAvx512 : nullptr;
}

} // namespace twl
