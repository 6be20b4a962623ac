// The confidence's row loops with 8-float vectors; this file alone of the
// confidence is built with -mavx2, and nothing here runs unless the CPU
// reports it.
#include "twl/stereo/kernels/ConfidenceKernels.h"

#include <immintrin.h>

namespace twl {
namespace {

using F = __m256;

F floatsOf8(const uint8_t *p) {
    return _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(p))));
}
F absolute(F v) {
    return _mm256_and_ps(v, _mm256_castsi256_ps(_mm256_set1_epi32(0x7fffffff)));
}
F select(F mask, F a, F b) {
    return _mm256_blendv_ps(b, a, mask);
}

void cueRow(const uint8_t *l, const uint8_t *r, const float *disparity, float scale, int w, float *residual,
            float *texture, float *dis, float *squared, float *valid) {
    int x = 0;
    if (w > 0) cuePixel(l, r, disparity, scale, w, x++, residual, texture, dis, squared, valid);
    const F zero = _mm256_setzero_ps(), unit = _mm256_set1_ps(1.0f), half = _mm256_set1_ps(0.5f);
    const F vscale = _mm256_set1_ps(scale), lanes = _mm256_setr_ps(0, 1, 2, 3, 4, 5, 6, 7);
    const __m256i last = _mm256_set1_epi32(w - 1), izero = _mm256_setzero_si256(),
                  ione = _mm256_set1_epi32(1), farthest = _mm256_set1_epi32(w - 4),
                  byte = _mm256_set1_epi32(0xFF);
    for (; x + 9 <= w; x += 8) { // x + 8 is read for the gradient
        _mm256_storeu_ps(
            texture + x,
            _mm256_mul_ps(absolute(_mm256_sub_ps(floatsOf8(l + x + 1), floatsOf8(l + x - 1))), half));
        const F dw = _mm256_mul_ps(_mm256_loadu_ps(disparity + x), vscale);
        const F ok = _mm256_cmp_ps(dw, zero, _CMP_GE_OQ);
        const F dv = select(ok, dw, zero);
        const F xr = _mm256_sub_ps(_mm256_add_ps(_mm256_set1_ps(float(x)), lanes), dv);
        const __m256i x0 = _mm256_max_epi32(izero, _mm256_min_epi32(last, _mm256_cvttps_epi32(xr)));
        const __m256i x1 = _mm256_min_epi32(last, _mm256_add_epi32(x0, ione));
        const F a = _mm256_max_ps(zero, _mm256_min_ps(unit, _mm256_sub_ps(xr, _mm256_cvtepi32_ps(x0))));
        F r0, r1;
        const __m256i nearEnd = _mm256_cmpgt_epi32(x0, farthest);
        if (_mm256_testz_si256(nearEnd, nearEnd)) {
            // Both neighbours in one gathered word each: x1 is x0 + 1, and
            // the word's four bytes lie inside the row.
            const __m256i words = _mm256_i32gather_epi32(reinterpret_cast<const int *>(r), x0, 1);
            r0 = _mm256_cvtepi32_ps(_mm256_and_si256(words, byte));
            r1 = _mm256_cvtepi32_ps(_mm256_and_si256(_mm256_srli_epi32(words, 8), byte));
        } else {
            alignas(32) int i0[8], i1[8];
            _mm256_store_si256(reinterpret_cast<__m256i *>(i0), x0);
            _mm256_store_si256(reinterpret_cast<__m256i *>(i1), x1);
            r0 = _mm256_setr_ps(r[i0[0]], r[i0[1]], r[i0[2]], r[i0[3]], r[i0[4]], r[i0[5]], r[i0[6]],
                                r[i0[7]]);
            r1 = _mm256_setr_ps(r[i1[0]], r[i1[1]], r[i1[2]], r[i1[3]], r[i1[4]], r[i1[5]], r[i1[6]],
                                r[i1[7]]);
        }
        const F diff = absolute(
            _mm256_sub_ps(floatsOf8(l + x), _mm256_add_ps(r0, _mm256_mul_ps(_mm256_sub_ps(r1, r0), a))));
        _mm256_storeu_ps(residual + x, select(ok, diff, zero));
        _mm256_storeu_ps(dis + x, dv);
        _mm256_storeu_ps(squared + x, _mm256_mul_ps(dv, dv));
        _mm256_storeu_ps(valid + x, select(ok, unit, zero));
    }
    for (; x < w; ++x)
        cuePixel(l, r, disparity, scale, w, x, residual, texture, dis, squared, valid);
}

void addRows(const float *const *rows, int offset, int w, float *out) {
    const float *a = rows[0] + offset, *b = rows[1] + offset, *c = rows[2] + offset, *d = rows[3] + offset,
                *e = rows[4] + offset;
    int x = 0;
    for (; x + 8 <= w; x += 8) {
        const F ab = _mm256_add_ps(_mm256_loadu_ps(a + x), _mm256_loadu_ps(b + x));
        const F abc = _mm256_add_ps(ab, _mm256_loadu_ps(c + x));
        const F abcd = _mm256_add_ps(abc, _mm256_loadu_ps(d + x));
        _mm256_storeu_ps(out + x, _mm256_add_ps(abcd, _mm256_loadu_ps(e + x)));
    }
    for (; x < w; ++x)
        out[x] = a[x] + b[x] + c[x] + d[x] + e[x];
}

void windowSums(const float *in, int w, float *out) {
    int x = 0;
    for (; x + 8 <= w; x += 8) {
        F s = _mm256_add_ps(_mm256_loadu_ps(in + x), _mm256_loadu_ps(in + x + 1));
        s = _mm256_add_ps(s, _mm256_loadu_ps(in + x + 2));
        s = _mm256_add_ps(s, _mm256_loadu_ps(in + x + 3));
        _mm256_storeu_ps(out + x, _mm256_add_ps(s, _mm256_loadu_ps(in + x + 4)));
    }
    for (; x < w; ++x)
        out[x] = in[x] + in[x + 1] + in[x + 2] + in[x + 3] + in[x + 4];
}

void scoreRow(const float *sums, int w, const float *disparity, float *confidence) {
    const float *residual = sums, *texture = sums + w, *dis = sums + 2 * w, *squared = sums + 3 * w,
                *valid = sums + 4 * w;
    const F zero = _mm256_setzero_ps(), one = _mm256_set1_ps(1.0f), half = _mm256_set1_ps(0.5f);
    const F hundred = _mm256_set1_ps(100.0f), twentyFifth = _mm256_set1_ps(1.0f / 25.0f);
    auto falloff = [&](F q) { // 1 / (1 + q + q q / 2), in that order
        return _mm256_div_ps(one,
                             _mm256_add_ps(_mm256_add_ps(one, q), _mm256_mul_ps(_mm256_mul_ps(half, q), q)));
    };
    int x = 0;
    for (; x + 8 <= w; x += 8) {
        const F count = _mm256_max_ps(_mm256_loadu_ps(valid + x), one), inv = _mm256_div_ps(one, count);
        const F meanCost = _mm256_mul_ps(_mm256_loadu_ps(residual + x), inv);
        const F meanTexture = _mm256_mul_ps(_mm256_loadu_ps(texture + x), twentyFifth);
        const F mean = _mm256_mul_ps(_mm256_loadu_ps(dis + x), inv);
        const F spread =
            _mm256_sqrt_ps(_mm256_max_ps(zero, _mm256_sub_ps(_mm256_mul_ps(_mm256_loadu_ps(squared + x), inv),
                                                             _mm256_mul_ps(mean, mean))));
        const F qc = _mm256_mul_ps(meanCost, _mm256_set1_ps(1.0f / 12.0f));
        const F qs = _mm256_mul_ps(spread, _mm256_set1_ps(1.0f / 1.5f));
        const F textured = _mm256_div_ps(meanTexture, _mm256_add_ps(meanTexture, _mm256_set1_ps(2.0f)));
        const F support = _mm256_add_ps(half, _mm256_mul_ps(_mm256_mul_ps(half, count), twentyFifth));
        F product = _mm256_mul_ps(hundred, falloff(qc));
        product = _mm256_mul_ps(_mm256_mul_ps(_mm256_mul_ps(product, textured), falloff(qs)), support);
        const F value = _mm256_max_ps(one, _mm256_min_ps(hundred, product));
        const F matched = _mm256_cmp_ps(_mm256_loadu_ps(disparity + x), zero, _CMP_GE_OQ);
        _mm256_storeu_ps(confidence + x, select(matched, value, zero));
    }
    for (; x < w; ++x)
        confidence[x] = disparity[x] >= 0.0f
                            ? confidenceScore(residual[x], texture[x], dis[x], squared[x], valid[x])
                            : 0.0f;
}

} // namespace

const ConfidenceKernels *avx2ConfidenceKernels() {
    static const ConfidenceKernels kernels = {"avx2", cueRow, addRows, windowSums, scoreRow};
    static const bool supported = __builtin_cpu_supports("avx2");
    return supported ? &kernels : nullptr;
}

} // namespace twl
