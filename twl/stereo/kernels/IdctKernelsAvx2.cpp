#include "twl/stereo/kernels/IdctKernels.h"

#include "twl/stereo/kernels/SimdChoice.h"

#include <immintrin.h>

namespace twl {
namespace {

// The constants in 8 fractional bits, shifted so that a product's high
// half, with the other factor taken 4 times, is the product: 1.414213562,
// 1.847759065, -(2.613125930 - 1) and 1.082392200.
constexpr int16_t kF1414 = 362 << 6, kF1847 = 473 << 6, kMF1613 = -413 * 64, kF1082 = 277 << 6;

__m256i times(__m256i x, int16_t constant) {
    return _mm256_mulhi_epi16(_mm256_slli_epi16(x, 2), _mm256_set1_epi16(constant));
}

// One pass of the transform over eight vectors (each the same row, or
// column, of both blocks), in place: libjpeg's fast algorithm, each product
// as its SSE2 form rounds it.
__attribute__((always_inline)) inline void pass(__m256i v[8]) {
    const __m256i tmp10 = _mm256_add_epi16(v[0], v[4]), tmp11 = _mm256_sub_epi16(v[0], v[4]);
    const __m256i tmp13 = _mm256_add_epi16(v[2], v[6]);
    const __m256i tmp12 = _mm256_sub_epi16(times(_mm256_sub_epi16(v[2], v[6]), kF1414), tmp13);
    const __m256i tmp0 = _mm256_add_epi16(tmp10, tmp13), tmp3 = _mm256_sub_epi16(tmp10, tmp13);
    const __m256i tmp1 = _mm256_add_epi16(tmp11, tmp12), tmp2 = _mm256_sub_epi16(tmp11, tmp12);

    const __m256i z13 = _mm256_add_epi16(v[5], v[3]), z10 = _mm256_sub_epi16(v[5], v[3]);
    const __m256i z11 = _mm256_add_epi16(v[1], v[7]), z12 = _mm256_sub_epi16(v[1], v[7]);
    const __m256i tmp7 = _mm256_add_epi16(z11, z13);
    const __m256i odd11 = times(_mm256_sub_epi16(z11, z13), kF1414);
    // z10 and z12 are taken 4 times before they are added, as the SSE2 form does.
    const __m256i z10x4 = _mm256_slli_epi16(z10, 2), z12x4 = _mm256_slli_epi16(z12, 2);
    const __m256i z5 = _mm256_mulhi_epi16(_mm256_add_epi16(z10x4, z12x4), _mm256_set1_epi16(kF1847));
    const __m256i odd12 =
        _mm256_add_epi16(_mm256_sub_epi16(_mm256_mulhi_epi16(z10x4, _mm256_set1_epi16(kMF1613)), z10), z5);
    const __m256i odd10 = _mm256_sub_epi16(_mm256_mulhi_epi16(z12x4, _mm256_set1_epi16(kF1082)), z5);
    const __m256i tmp6 = _mm256_sub_epi16(odd12, tmp7);
    const __m256i tmp5 = _mm256_sub_epi16(odd11, tmp6);
    const __m256i tmp4 = _mm256_add_epi16(odd10, tmp5);

    v[0] = _mm256_add_epi16(tmp0, tmp7);
    v[7] = _mm256_sub_epi16(tmp0, tmp7);
    v[1] = _mm256_add_epi16(tmp1, tmp6);
    v[6] = _mm256_sub_epi16(tmp1, tmp6);
    v[2] = _mm256_add_epi16(tmp2, tmp5);
    v[5] = _mm256_sub_epi16(tmp2, tmp5);
    v[4] = _mm256_add_epi16(tmp3, tmp4);
    v[3] = _mm256_sub_epi16(tmp3, tmp4);
}

// Rows to columns in each 128-bit half.
__attribute__((always_inline)) inline void transpose(__m256i v[8]) {
    const __m256i a0 = _mm256_unpacklo_epi16(v[0], v[1]), a1 = _mm256_unpackhi_epi16(v[0], v[1]);
    const __m256i a2 = _mm256_unpacklo_epi16(v[2], v[3]), a3 = _mm256_unpackhi_epi16(v[2], v[3]);
    const __m256i a4 = _mm256_unpacklo_epi16(v[4], v[5]), a5 = _mm256_unpackhi_epi16(v[4], v[5]);
    const __m256i a6 = _mm256_unpacklo_epi16(v[6], v[7]), a7 = _mm256_unpackhi_epi16(v[6], v[7]);
    const __m256i b0 = _mm256_unpacklo_epi32(a0, a2), b1 = _mm256_unpackhi_epi32(a0, a2);
    const __m256i b2 = _mm256_unpacklo_epi32(a1, a3), b3 = _mm256_unpackhi_epi32(a1, a3);
    const __m256i b4 = _mm256_unpacklo_epi32(a4, a6), b5 = _mm256_unpackhi_epi32(a4, a6);
    const __m256i b6 = _mm256_unpacklo_epi32(a5, a7), b7 = _mm256_unpackhi_epi32(a5, a7);
    v[0] = _mm256_unpacklo_epi64(b0, b4);
    v[1] = _mm256_unpackhi_epi64(b0, b4);
    v[2] = _mm256_unpacklo_epi64(b1, b5);
    v[3] = _mm256_unpackhi_epi64(b1, b5);
    v[4] = _mm256_unpacklo_epi64(b2, b6);
    v[5] = _mm256_unpackhi_epi64(b2, b6);
    v[6] = _mm256_unpacklo_epi64(b3, b7);
    v[7] = _mm256_unpackhi_epi64(b3, b7);
}

__m256i both(const int16_t *a, const int16_t *b) {
    return _mm256_inserti128_si256(
        _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i *>(a))),
        _mm_loadu_si128(reinterpret_cast<const __m128i *>(b)), 1);
}

void idctPairAvx2(const IdctBlock &a, const IdctBlock &b) {
    __m256i v[8];
    for (int r = 0; r < 8; ++r)
        v[r] = _mm256_mullo_epi16(both(a.coefficients + 8 * r, b.coefficients + 8 * r),
                                  both(a.multipliers + 8 * r, b.multipliers + 8 * r));
    pass(v); // down the columns
    transpose(v);
    pass(v); // along the rows
    transpose(v);
    // Descaled, saturated to signed bytes and centred (which wraps them to
    // 0-255 as libjpeg's range limit does): two rows of a block per half.
    const __m256i centre = _mm256_set1_epi8(char(-128));
    for (int r = 0; r < 8; r += 2) {
        const __m256i bytes = _mm256_add_epi8(
            _mm256_packs_epi16(_mm256_srai_epi16(v[r], 5), _mm256_srai_epi16(v[r + 1], 5)), centre);
        const __m128i lo = _mm256_castsi256_si128(bytes), hi = _mm256_extracti128_si256(bytes, 1);
        _mm_storel_epi64(reinterpret_cast<__m128i *>(a.rows[r] + a.column), lo);
        _mm_storel_epi64(reinterpret_cast<__m128i *>(a.rows[r + 1] + a.column), _mm_unpackhi_epi64(lo, lo));
        _mm_storel_epi64(reinterpret_cast<__m128i *>(b.rows[r] + b.column), hi);
        _mm_storel_epi64(reinterpret_cast<__m128i *>(b.rows[r + 1] + b.column), _mm_unpackhi_epi64(hi, hi));
    }
}

} // namespace

IdctPair avx2IdctPair() {
    return avx2RowKernelsRun() ? idctPairAvx2 : nullptr;
}

} // namespace twl
