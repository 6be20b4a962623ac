// The matcher's kernels with 32-byte vectors; this file alone is built with
// -mavx2 -mpopcnt, and nothing here runs unless the CPU reports both.
#include "twl/MatcherKernelsImpl.h"

#include <immintrin.h>

namespace twl {
namespace {

struct Avx2 {
    typedef __m256i vec;
    static constexpr int bytes = 32;
    static constexpr bool shiftsInRegisters = true;
    static vec zero() { return _mm256_setzero_si256(); }
    static vec set1(uint8_t v) { return _mm256_set1_epi8(char(v)); }
    static vec load(const void *p) { return _mm256_loadu_si256(static_cast<const __m256i *>(p)); }
    static void store(void *p, vec v) { _mm256_storeu_si256(static_cast<__m256i *>(p), v); }
    static vec xor_(vec a, vec b) { return _mm256_xor_si256(a, b); }
    static vec or_(vec a, vec b) { return _mm256_or_si256(a, b); }
    static vec cmpgt8(vec a, vec b) { return _mm256_cmpgt_epi8(a, b); }
    static vec subsSigned8(vec a, vec b) { return _mm256_subs_epi8(a, b); }
    static vec add8(vec a, vec b) { return _mm256_add_epi8(a, b); }
    static vec sub8(vec a, vec b) { return _mm256_sub_epi8(a, b); }
    static vec adds8(vec a, vec b) { return _mm256_adds_epu8(a, b); }
    static vec subs8(vec a, vec b) { return _mm256_subs_epu8(a, b); }
    static vec min8(vec a, vec b) { return _mm256_min_epu8(a, b); }
    // Pairs of bytes into 16-bit lanes (the high byte zero), then SSE4.1's minpos.
    static uint8_t hmin8(vec v) {
        __m128i h = _mm_min_epu8(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
        h = _mm_min_epu8(h, _mm_srli_epi16(h, 8));
        return uint8_t(_mm_cvtsi128_si32(_mm_minpos_epu16(h)));
    }
    // (minimum << 8) | the first lane holding it, of N vectors (N <= 8): each
    // sum widened to 16 bits above its lane number, so that one minimum of
    // words, finished by SSE4.1's minpos, finds both.
    static constexpr bool packedArgmin = true;
    template <int N> static int argmin(const vec (&v)[N]) {
        static_assert(N <= 8, "lane numbers are bytes");
        const vec lanes = _mm256_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18,
                                           19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31);
        vec lowest = _mm256_set1_epi16(-1);
        for (int k = 0; k < N; ++k) {
            const vec index = _mm256_add_epi8(lanes, _mm256_set1_epi8(char(32 * k)));
            lowest = _mm256_min_epu16(lowest, _mm256_min_epu16(_mm256_unpacklo_epi8(index, v[k]),
                                                               _mm256_unpackhi_epi8(index, v[k])));
        }
        const __m128i h = _mm_min_epu16(_mm256_castsi256_si128(lowest), _mm256_extracti128_si256(lowest, 1));
        return _mm_cvtsi128_si32(_mm_minpos_epu16(h)) & 0xFFFF;
    }
    static int lane0(vec v) { return _mm_cvtsi128_si32(_mm256_castsi256_si128(v)) & 0xFF; }
    // The minimum of all lanes, in every lane: the halves folded, pairs of
    // bytes into 16-bit lanes, SSE4.1's minpos, spread back out (fewer
    // instructions than rotating the vector through all its lanes).
    static vec minAll8(vec v) {
        __m128i h = _mm_min_epu8(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
        h = _mm_min_epu8(h, _mm_srli_epi16(h, 8));
        return _mm256_broadcastb_epi8(_mm_minpos_epu16(h));
    }
    static vec popcount8(vec v) {
        const vec table = _mm256_setr_epi8(0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4, 0, 1, 1, 2, 1, 2,
                                           2, 3, 1, 2, 2, 3, 2, 3, 3, 4);
        const vec low = _mm256_set1_epi8(0x0F);
        return _mm256_add_epi8(_mm256_shuffle_epi8(table, _mm256_and_si256(v, low)),
                               _mm256_shuffle_epi8(table, _mm256_and_si256(_mm256_srli_epi16(v, 4), low)));
    }
    static vec cmpeq8(vec a, vec b) { return _mm256_cmpeq_epi8(a, b); }
    static int hsum8(vec v) {
        const vec s = _mm256_sad_epu8(v, zero());
        const __m128i h = _mm_add_epi64(_mm256_castsi256_si128(s), _mm256_extracti128_si256(s, 1));
        return _mm_cvtsi128_si32(h) + _mm_extract_epi16(h, 4);
    }
    static int movemask8(vec v) { return _mm256_movemask_epi8(v); }
    static vec shiftUp(vec v, vec before) {
        return _mm256_alignr_epi8(v, _mm256_permute2x128_si256(before, v, 0x21), 15);
    }
    static vec shiftDown(vec v, vec after) {
        return _mm256_alignr_epi8(_mm256_permute2x128_si256(v, after, 0x21), v, 1);
    }
};

} // namespace

const MatcherKernels *avx2MatcherKernels() {
    static const MatcherKernels kernels = {"avx2", censusT<Avx2>, costRowT<Avx2>, pathRowT<Avx2>,
                                           finishRowT<Avx2>};
    static const bool supported = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt");
    return supported ? &kernels : nullptr;
}

} // namespace twl
