// The matcher's kernels with 64-byte vectors; this file alone is built with
// AVX-512 (F, BW, VL, BITALG for the byte popcount, VBMI for byte
// permutes), and nothing here runs unless the CPU reports all of them. The
// search range is padded to 64 lanes for it, so that a pixel's range of the
// modes (64, 96 -> 128, 176 -> 192) is one to three vectors: half the
// instructions of the AVX2 build for the same lanes.
#include "twl/stereo/kernels/MatcherAvx2.h"
#include "twl/stereo/kernels/MatcherKernelsImpl.h"

#include <immintrin.h>

// GCC 12 takes the undefined upper source of its own 512-bit extracts for an
// uninitialised value once they are inlined.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"

namespace twl {
namespace {

struct Avx512 {
    typedef __m512i vec;
    static constexpr int bytes = 64;
    static constexpr bool shiftsInRegisters = true;
    static constexpr int registers = 32;
    static vec zero() { return _mm512_setzero_si512(); }
    static vec set1(uint8_t v) { return _mm512_set1_epi8(char(v)); }
    static vec set1Word(const uint32_t *w) { return _mm512_set1_epi32(int(*w)); }
    static vec load(const void *p) { return _mm512_loadu_si512(p); }
    static void store(void *p, vec v) { _mm512_storeu_si512(p, v); }
    static void stream(void *p, vec v) { _mm512_stream_si512(static_cast<__m512i *>(p), v); }
    static void streamed() { _mm_sfence(); }
    static vec xor_(vec a, vec b) { return _mm512_xor_si512(a, b); }
    static vec or_(vec a, vec b) { return _mm512_or_si512(a, b); }
    static vec cmpgt8(vec a, vec b) { return _mm512_movm_epi8(_mm512_cmpgt_epi8_mask(a, b)); }
    // acc + value in the lanes where a > b (signed).
    static constexpr bool addsWhereGreater = true;
    static constexpr bool countsByNibbles = false; // a popcount instruction is quicker
    static vec addWhereGreater(vec acc, vec a, vec b, uint8_t value) {
        return _mm512_mask_add_epi8(acc, _mm512_cmpgt_epi8_mask(a, b), acc, _mm512_set1_epi8(char(value)));
    }
    static vec subsSigned8(vec a, vec b) { return _mm512_subs_epi8(a, b); }
    static vec add8(vec a, vec b) { return _mm512_add_epi8(a, b); }
    static vec sub8(vec a, vec b) { return _mm512_sub_epi8(a, b); }
    static vec adds8(vec a, vec b) { return _mm512_adds_epu8(a, b); }
    static vec subs8(vec a, vec b) { return _mm512_subs_epu8(a, b); }
    static vec min8(vec a, vec b) { return _mm512_min_epu8(a, b); }
    // The upper half (zero-masked: GCC 12 warns about the plain extract's undefined source).
    static __m256i high(vec v) { return _mm512_maskz_extracti64x4_epi64(0xFF, v, 1); }
    // The four quarters folded, pairs of bytes into 16-bit lanes, SSE4.1's minpos.
    static __m128i fold(vec v) {
        const __m256i h = _mm256_min_epu8(_mm512_castsi512_si256(v), high(v));
        const __m128i q = _mm_min_epu8(_mm256_castsi256_si128(h), _mm256_extracti128_si256(h, 1));
        return _mm_minpos_epu16(_mm_min_epu8(q, _mm_srli_epi16(q, 8)));
    }
    static uint8_t hmin8(vec v) { return uint8_t(_mm_cvtsi128_si32(fold(v))); }
    static constexpr bool decidesSixteen = true;
    static void decideSixteen(const RivalsOfSixteen &r, int x, int D, uint32_t *bestCost, int16_t *out) {
        decideSixteenPixels(r, x, D, bestCost, out);
    }
    // The rivals of sixteen pixels whose complete sums (N vectors each) lie
    // one after another from `s`. Counted one pixel at a time, each took
    // two shuffles to pair lanes with their numbers, a fold, a scalar
    // look-up and a broadcast from a byte. Here the sixteen minima are folded
    // together (each level of shuffles serves all pixels), their thresholds
    // looked up in a vector, and each pixel's minimum and threshold reach its
    // lanes as words from memory; the first lane at the minimum is found by a
    // compare. The threshold is stored as min(threshold, 256), which no sum
    // tells apart from it.
    static constexpr bool countsSixteen = true;
    template <int N>
    static void rivalsOfSixteen(const uint8_t *s, int D, const UniquenessThresholds &t,
                                RivalsOfSixteen &out) {
        constexpr int dp = N * 64;
        auto at = [&](int i, int k) { return load(s + size_t(i) * dp + size_t(k) * 64); };
        vec lowest[16];
        for (int i = 0; i < 16; ++i) {
            lowest[i] = at(i, 0);
            for (int k = 1; k < N; ++k)
                lowest[i] = _mm512_min_epu8(lowest[i], at(i, k));
        }
        // Pairs of pixels: each one's 64 lanes to 32, side by side.
        vec two[8], four[4], eight[2];
        for (int i = 0; i < 8; ++i)
            two[i] = _mm512_min_epu8(_mm512_shuffle_i64x2(lowest[2 * i], lowest[2 * i + 1], 0x44),
                                     _mm512_shuffle_i64x2(lowest[2 * i], lowest[2 * i + 1], 0xEE));
        // Fours: 16 lanes each, pixel 4 i + j in quarter j.
        for (int i = 0; i < 4; ++i)
            four[i] = _mm512_min_epu8(_mm512_shuffle_i64x2(two[2 * i], two[2 * i + 1], 0x88),
                                      _mm512_shuffle_i64x2(two[2 * i], two[2 * i + 1], 0xDD));
        // Eights: 8 lanes each; quarter j holds pixels j and 4 + j (8 + j
        // and 12 + j in the second).
        for (int i = 0; i < 2; ++i)
            eight[i] = _mm512_min_epu8(_mm512_unpacklo_epi64(four[2 * i], four[2 * i + 1]),
                                       _mm512_unpackhi_epi64(four[2 * i], four[2 * i + 1]));
        // Pixel i's 4 lanes into word i, then within the words: every byte
        // of word i is pixel i's minimum.
        const __m512i firstHalf =
            _mm512_setr_epi32(0, 4, 8, 12, 2, 6, 10, 14, 16, 20, 24, 28, 18, 22, 26, 30);
        const __m512i secondHalf = _mm512_add_epi32(firstHalf, _mm512_set1_epi32(1));
        vec m = _mm512_min_epu8(_mm512_permutex2var_epi32(eight[0], firstHalf, eight[1]),
                                _mm512_permutex2var_epi32(eight[0], secondHalf, eight[1]));
        m = _mm512_min_epu8(m, _mm512_rol_epi32(m, 16));
        m = _mm512_min_epu8(m, _mm512_rol_epi32(m, 8));
        // under[m] for every byte: a 128-entry table look-up either side of 128.
        const vec lowTable = _mm512_permutex2var_epi8(load(t.under), m, load(t.under + 64)),
                  highTable = _mm512_permutex2var_epi8(load(t.under + 128), m, load(t.under + 192));
        const vec under = _mm512_mask_blend_epi8(_mm512_movepi8_mask(m), lowTable, highTable);
        const __m512i byte = _mm512_set1_epi32(0xFF), mins = _mm512_and_si512(m, byte);
        _mm512_store_si512(out.m, mins);
        _mm512_store_si512(out.threshold,
                           _mm512_maskz_add_epi32(_mm512_test_epi32_mask(mins, mins),
                                                  _mm512_and_si512(under, byte), _mm512_set1_epi32(1)));
        alignas(64) uint32_t minWords[16], underWords[16];
        _mm512_store_si512(minWords, m);
        _mm512_store_si512(underWords, under);
        for (int i = 0; i < 16; ++i) {
            const uint8_t *pixel = s + size_t(i) * dp;
            const vec mv = _mm512_set1_epi32(int(minWords[i])), uv = _mm512_set1_epi32(int(underWords[i]));
            int best = 0, below = 0;
            for (int k = N - 1; k >= 0; --k) {
                const uint64_t eq = _mm512_cmpeq_epi8_mask(at(i, k), mv);
                uint64_t low = _mm512_cmple_epu8_mask(at(i, k), uv);
                const int inRange = D - k * 64;
                if (inRange < 64) low &= inRange <= 0 ? 0 : (uint64_t(1) << inRange) - 1;
                below += __builtin_popcountll(low);
                if (eq) best = k * 64 + __builtin_ctzll(eq);
            }
            out.best[i] = best;
            out.below[i] = below;
            out.sl[i] = pixel[best - 1];
            out.sr[i] = pixel[best + 1];
        }
    }
    // The minima of four vectors into out[0..3]: their quarters folded
    // together until quarter k holds vector k's sixteen candidates, then
    // within the quarters; about half the instructions of four folds.
    static constexpr bool foldsFour = true;
    static void hmin8x4(const vec (&v)[4], uint8_t *out) {
        const vec ab =
            _mm512_min_epu8(_mm512_shuffle_i64x2(v[0], v[1], 0x44), _mm512_shuffle_i64x2(v[0], v[1], 0xEE));
        const vec cd =
            _mm512_min_epu8(_mm512_shuffle_i64x2(v[2], v[3], 0x44), _mm512_shuffle_i64x2(v[2], v[3], 0xEE));
        vec q = _mm512_min_epu8(_mm512_shuffle_i64x2(ab, cd, 0x88), _mm512_shuffle_i64x2(ab, cd, 0xDD));
        q = _mm512_min_epu8(q, _mm512_shuffle_epi32(q, _MM_PERM_BADC));
        q = _mm512_min_epu8(q, _mm512_shuffle_epi32(q, _MM_PERM_CDAB));
        q = _mm512_min_epu8(q, _mm512_srli_epi32(q, 16));
        q = _mm512_min_epu8(q, _mm512_srli_epi16(q, 8));
        const vec firsts =
            _mm512_castsi128_si512(_mm_setr_epi8(0, 16, 32, 48, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0));
        const uint32_t four =
            uint32_t(_mm_cvtsi128_si32(_mm512_castsi512_si128(_mm512_permutexvar_epi8(firsts, q))));
        std::memcpy(out, &four, 4);
    }
    static constexpr bool packedArgmin = true;
    // (minimum << 8) | the first lane holding it, as in the AVX2 build.
    template <int N> static int argmin(const vec (&v)[N]) {
        static_assert(N <= 4, "lane numbers are bytes");
        const vec lanes = _mm512_set_epi8(63, 62, 61, 60, 59, 58, 57, 56, 55, 54, 53, 52, 51, 50, 49, 48, 47,
                                          46, 45, 44, 43, 42, 41, 40, 39, 38, 37, 36, 35, 34, 33, 32, 31, 30,
                                          29, 28, 27, 26, 25, 24, 23, 22, 21, 20, 19, 18, 17, 16, 15, 14, 13,
                                          12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
        vec lowest = _mm512_set1_epi16(-1);
        for (int k = 0; k < N; ++k) {
            const vec index = _mm512_add_epi8(lanes, _mm512_set1_epi8(char(64 * k)));
            lowest = _mm512_min_epu16(lowest, _mm512_min_epu16(_mm512_unpacklo_epi8(index, v[k]),
                                                               _mm512_unpackhi_epi8(index, v[k])));
        }
        const __m256i h = _mm256_min_epu16(_mm512_castsi512_si256(lowest), high(lowest));
        const __m128i q = _mm_min_epu16(_mm256_castsi256_si128(h), _mm256_extracti128_si256(h, 1));
        return _mm_cvtsi128_si32(_mm_minpos_epu16(q)) & 0xFFFF;
    }
    static int lane0(vec v) { return _mm_cvtsi128_si32(_mm512_castsi512_si128(v)) & 0xFF; }
    static vec minAll8(vec v) { return _mm512_broadcastb_epi8(fold(v)); }
    static vec popcount8(vec v) { return _mm512_popcnt_epi8(v); }
    static vec cmpeq8(vec a, vec b) { return _mm512_movm_epi8(_mm512_cmpeq_epi8_mask(a, b)); }
    static uint64_t eqMask(vec a, vec b) { return _mm512_cmpeq_epi8_mask(a, b); }
    static uint64_t leMask(vec a, vec b) { return _mm512_cmple_epu8_mask(a, b); }
    static vec reverse8(vec v) {
        const vec backwards = _mm512_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17,
                                              18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32, 33,
                                              34, 35, 36, 37, 38, 39, 40, 41, 42, 43, 44, 45, 46, 47, 48, 49,
                                              50, 51, 52, 53, 54, 55, 56, 57, 58, 59, 60, 61, 62, 63);
        return _mm512_permutexvar_epi8(backwards, v);
    }
    static int hsum8(vec v) {
        const vec s = _mm512_sad_epu8(v, zero());
        const __m256i h = _mm256_add_epi64(_mm512_castsi512_si256(s), high(s));
        const __m128i q = _mm_add_epi64(_mm256_castsi256_si128(h), _mm256_extracti128_si256(h, 1));
        return _mm_cvtsi128_si32(q) + _mm_extract_epi16(q, 4);
    }
    static uint64_t movemask8(vec v) { return _mm512_movepi8_mask(v); }
    // Lane d of the result is lane d - 1 of v, lane 0 the last of `before`:
    // one permute of the two vectors' 128 bytes.
    static vec shiftUp(vec v, vec before) {
        const vec from = _mm512_set_epi8(62, 61, 60, 59, 58, 57, 56, 55, 54, 53, 52, 51, 50, 49, 48, 47, 46,
                                         45, 44, 43, 42, 41, 40, 39, 38, 37, 36, 35, 34, 33, 32, 31, 30, 29,
                                         28, 27, 26, 25, 24, 23, 22, 21, 20, 19, 18, 17, 16, 15, 14, 13, 12,
                                         11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0, char(127));
        return _mm512_permutex2var_epi8(v, from, before);
    }
    // Lane d of the result is lane d + 1 of v; the last lane the first of `after`.
    static vec shiftDown(vec v, vec after) {
        const vec from = _mm512_set_epi8(char(64), 63, 62, 61, 60, 59, 58, 57, 56, 55, 54, 53, 52, 51, 50, 49,
                                         48, 47, 46, 45, 44, 43, 42, 41, 40, 39, 38, 37, 36, 35, 34, 33, 32,
                                         31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21, 20, 19, 18, 17, 16, 15,
                                         14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1);
        return _mm512_permutex2var_epi8(v, from, after);
    }
};

template <> struct LeftRightCheck<Avx512> : Avx2LeftRightCheck {};

// 32-byte vectors with AVX-512's byte popcount and mask compares, for the
// ranges that 64-byte vectors would pad further (96 -> 128).
struct Avx2Vl : Avx2 {
    static constexpr int registers = 32; // AVX-512 VL reaches ymm16-31
    // Four vectors' minima as in the 64-byte build: halves, then quarters,
    // then within the quarters.
    static constexpr bool foldsFour = true;
    static void hmin8x4(const vec (&v)[4], uint8_t *out) {
        const vec ab = _mm256_min_epu8(_mm256_permute2x128_si256(v[0], v[1], 0x20),
                                       _mm256_permute2x128_si256(v[0], v[1], 0x31));
        const vec cd = _mm256_min_epu8(_mm256_permute2x128_si256(v[2], v[3], 0x20),
                                       _mm256_permute2x128_si256(v[2], v[3], 0x31));
        vec q = _mm256_min_epu8(_mm256_unpacklo_epi64(ab, cd), _mm256_unpackhi_epi64(ab, cd));
        q = _mm256_min_epu8(q, _mm256_shuffle_epi32(q, 0xB1));
        q = _mm256_min_epu8(q, _mm256_srli_epi32(q, 16));
        q = _mm256_min_epu8(q, _mm256_srli_epi16(q, 8));
        // v[0] in byte 0, v[1] in 16, v[2] in 8, v[3] in 24.
        const vec firsts = _mm256_setr_epi8(0, 16, 8, 24, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                            0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
        const uint32_t four = uint32_t(_mm256_cvtsi256_si32(_mm256_permutexvar_epi8(firsts, q)));
        std::memcpy(out, &four, 4);
    }
    static vec popcount8(vec v) { return _mm256_popcnt_epi8(v); }
    static constexpr bool countsByNibbles = false; // a popcount instruction is quicker
    static vec cmpgt8(vec a, vec b) { return _mm256_movm_epi8(_mm256_cmpgt_epi8_mask(a, b)); }
    static constexpr bool addsWhereGreater = true;
    static vec addWhereGreater(vec acc, vec a, vec b, uint8_t value) {
        return _mm256_mask_add_epi8(acc, _mm256_cmpgt_epi8_mask(a, b), acc, _mm256_set1_epi8(char(value)));
    }
    static uint32_t eqMask(vec a, vec b) { return _mm256_cmpeq_epi8_mask(a, b); }
    static uint32_t leMask(vec a, vec b) { return _mm256_cmple_epu8_mask(a, b); }
    // Lanes at most `under` in three vectors, of the third only the first
    // `inThird` (1 to 32): the first two masks counted as one.
    static int atMostOfThree(const vec (&v)[3], vec under, int inThird) {
        const __mmask64 both =
            _mm512_kunpackd(_mm256_cmple_epu8_mask(v[1], under), _mm256_cmple_epu8_mask(v[0], under));
        const __mmask32 range = inThird >= 32 ? ~0u : (1u << inThird) - 1;
        return int(_mm_popcnt_u64(_cvtmask64_u64(both))) +
               _mm_popcnt_u32(_cvtmask32_u32(_mm256_mask_cmple_epu8_mask(range, v[2], under)));
    }
};

template <> struct LeftRightCheck<Avx2Vl> : Avx2LeftRightCheck {};

} // namespace

const MatcherKernels *avx512MatcherKernels() {
    static const MatcherKernels kernels = {"avx512",
                                           64,
                                           true,
                                           censusT<Avx512>,
                                           costRowT<Avx512>,
                                           pathRowT<Avx512>,
                                           finishRowT<Avx512>,
                                           finishRowPairT<Avx512>,
                                           costPathRowT<Avx512>,
                                           costPathAlongRowsT<Avx512>,
                                           alongRowsAtOnceT<Avx512>};
    static const bool supported = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt") &&
                                  __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl") &&
                                  __builtin_cpu_supports("avx512bitalg") &&
                                  __builtin_cpu_supports("avx512vbmi");
    return supported ? &kernels : nullptr;
}

const MatcherKernels *avx512NarrowMatcherKernels() {
    static const MatcherKernels kernels = {"avx512-256",
                                           32,
                                           true,
                                           censusT<Avx2Vl>,
                                           costRowT<Avx2Vl>,
                                           pathRowT<Avx2Vl>,
                                           finishRowT<Avx2Vl>,
                                           finishRowPairT<Avx2Vl>,
                                           costPathRowT<Avx2Vl>,
                                           costPathAlongRowsT<Avx2Vl>,
                                           alongRowsAtOnceT<Avx2Vl>};
    return avx512MatcherKernels() ? &kernels : nullptr;
}

} // namespace twl
