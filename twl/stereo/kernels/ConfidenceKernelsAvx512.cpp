// The confidence's cue row with 16-float vectors, for CPUs with AVX-512 and
// its byte permute; the window sums and the score stay with the AVX2
// kernels, which are bound by memory rather than by instructions. Built with
// the AVX-512 flags and without fused multiply-add, so that its floats are
// the baseline's.
#include "twl/stereo/kernels/ConfidenceKernels.h"

// GCC 12's AVX-512 header passes an undefined vector as the unused source
// of its unmasked conversions, and at -O3 warns about it once inlined.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

namespace twl {
namespace {

using F = __m512;

F floatsOf16(const uint8_t *p) {
    return _mm512_cvtepi32_ps(_mm512_cvtepu8_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p))));
}
// The bytes of a 64-byte window at sixteen indices (each below 64).
F bytesAt(__m512i window, __m512i index) {
    const __m512i bytes = _mm512_castsi128_si512(_mm512_cvtepi32_epi8(index));
    return _mm512_cvtepi32_ps(
        _mm512_cvtepu8_epi32(_mm512_castsi512_si128(_mm512_permutexvar_epi8(bytes, window))));
}

// The right image is read at each pixel's match, sixteen scattered bytes:
// where they lie within 64 bytes of each other (neighbouring pixels have
// much the same disparity) one permute of that stretch fetches them all, a
// third of the row's time that the scalar loads took.
void cueRow(const uint8_t *l, const uint8_t *r, const float *disparity, float scale, int w, float *residual,
            float *texture, float *dis, float *squared, float *valid) {
    int x = 0;
    if (w > 0) cuePixel(l, r, disparity, scale, w, x++, residual, texture, dis, squared, valid);
    const F zero = _mm512_setzero_ps(), unit = _mm512_set1_ps(1.0f), half = _mm512_set1_ps(0.5f);
    const F vscale = _mm512_set1_ps(scale),
            lanes = _mm512_setr_ps(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    const __m512i last = _mm512_set1_epi32(w - 1), izero = _mm512_setzero_si512(),
                  ione = _mm512_set1_epi32(1);
    for (; x + 17 <= w; x += 16) { // x + 16 is read for the gradient
        _mm512_storeu_ps(
            texture + x,
            _mm512_mul_ps(_mm512_abs_ps(_mm512_sub_ps(floatsOf16(l + x + 1), floatsOf16(l + x - 1))), half));
        const F dw = _mm512_mul_ps(_mm512_loadu_ps(disparity + x), vscale);
        const __mmask16 ok = _mm512_cmp_ps_mask(dw, zero, _CMP_GE_OQ);
        const F dv = _mm512_maskz_mov_ps(ok, dw);
        const F xr = _mm512_sub_ps(_mm512_add_ps(_mm512_set1_ps(float(x)), lanes), dv);
        const __m512i x0 = _mm512_max_epi32(izero, _mm512_min_epi32(last, _mm512_cvttps_epi32(xr)));
        const __m512i x1 = _mm512_min_epi32(last, _mm512_add_epi32(x0, ione));
        const F a = _mm512_max_ps(zero, _mm512_min_ps(unit, _mm512_sub_ps(xr, _mm512_cvtepi32_ps(x0))));
        const int base = std::min(_mm512_reduce_min_epi32(x0), w - 64);
        F r0, r1;
        if (base >= 0 && _mm512_reduce_max_epi32(x1) - base < 64) {
            const __m512i window = _mm512_loadu_si512(r + base), at = _mm512_set1_epi32(base);
            r0 = bytesAt(window, _mm512_sub_epi32(x0, at));
            r1 = bytesAt(window, _mm512_sub_epi32(x1, at));
        } else {
            alignas(64) int i0[16], i1[16];
            alignas(64) float f0[16], f1[16];
            _mm512_store_si512(i0, x0);
            _mm512_store_si512(i1, x1);
            for (int i = 0; i < 16; ++i)
                f0[i] = r[i0[i]], f1[i] = r[i1[i]];
            r0 = _mm512_load_ps(f0);
            r1 = _mm512_load_ps(f1);
        }
        const F diff = _mm512_abs_ps(
            _mm512_sub_ps(floatsOf16(l + x), _mm512_add_ps(r0, _mm512_mul_ps(_mm512_sub_ps(r1, r0), a))));
        _mm512_storeu_ps(residual + x, _mm512_maskz_mov_ps(ok, diff));
        _mm512_storeu_ps(dis + x, dv);
        _mm512_storeu_ps(squared + x, _mm512_mul_ps(dv, dv));
        _mm512_storeu_ps(valid + x, _mm512_maskz_mov_ps(ok, unit));
    }
    for (; x < w; ++x)
        cuePixel(l, r, disparity, scale, w, x, residual, texture, dis, squared, valid);
}

} // namespace

const ConfidenceKernels *avx512ConfidenceKernels() {
    static const bool supported = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                                  __builtin_cpu_supports("avx512vbmi") && avx2ConfidenceKernels();
    if (!supported) return nullptr;
    static const ConfidenceKernels kernels = [] {
        ConfidenceKernels k = *avx2ConfidenceKernels();
        k.name = "avx512";
        k.cueRow = cueRow;
        return k;
    }();
    return &kernels;
}

} // namespace twl
