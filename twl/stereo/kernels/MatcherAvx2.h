#pragma once
// The AVX2 vector interface and the left-right check in AVX2 lanes, for the
// builds compiled with AVX2 (MatcherKernelsAvx2.cpp, MatcherKernelsAvx512.cpp).

#include "twl/stereo/kernels/MatcherKernelsImpl.h"

#include <immintrin.h>

namespace twl {
namespace {

// The decisions of sixteen pixels once their rivals are counted, eight
// 32-bit lanes at a time: what decideFrom does for each, by compares and
// blends, with the parabola's table gathered. One pixel at a time, its
// chain of selects and look-ups took two fifths of the AVX2 build's second
// pass at 64 disparities. The AVX-512 builds decide with these 32-byte
// vectors too: among the 32-byte build's loops a 64-byte multiply and
// gather cost it time (640 x 360 x 96 up to 7 % less without them).
inline void decideSixteenPixels(const RivalsOfSixteen &r, int x, int D, uint32_t *bestCost, int16_t *out) {
    const __m256i zero = _mm256_setzero_si256(), one = _mm256_set1_epi32(1);
    for (int h = 0; h < 16; h += 8) {
        auto field = [&](const int32_t *f) {
            return _mm256_load_si256(reinterpret_cast<const __m256i *>(f + h));
        };
        const __m256i m = field(r.m), best = field(r.best), below = field(r.below),
                      threshold = field(r.threshold), sl = field(r.sl), sr = field(r.sr);
        // Masks are -1 where true: the lanes allowed under the threshold
        // are counted down from zero.
        const __m256i alsoLow =
            _mm256_and_si256(_mm256_cmpgt_epi32(best, zero), _mm256_cmpgt_epi32(threshold, sl));
        const __m256i alsoHigh =
            _mm256_and_si256(_mm256_cmpgt_epi32(_mm256_set1_epi32(D), _mm256_add_epi32(best, one)),
                             _mm256_cmpgt_epi32(threshold, sr));
        const __m256i allowed = _mm256_sub_epi32(
            zero, _mm256_add_epi32(_mm256_add_epi32(_mm256_cmpgt_epi32(threshold, m), alsoLow), alsoHigh));
        const __m256i counted = _mm256_and_si256(below, _mm256_cmpgt_epi32(threshold, zero));
        const __m256i unique = _mm256_cmpeq_epi32(counted, allowed);
        const __m256i denom = _mm256_min_epi32(
            _mm256_max_epi32(_mm256_sub_epi32(_mm256_add_epi32(sl, sr), _mm256_add_epi32(m, m)), one),
            _mm256_set1_epi32(510));
        const __m256i eighths = _mm256_i32gather_epi32(kEighths.of, denom, 4);
        const __m256i whole = _mm256_slli_epi32(best, 4);
        const __m256i refined = _mm256_add_epi32(
            whole, _mm256_srai_epi32(_mm256_add_epi32(_mm256_mullo_epi32(_mm256_sub_epi32(sl, sr), eighths),
                                                      _mm256_set1_epi32(1 << 15)),
                                     16));
        const __m256i atEnd = _mm256_or_si256(_mm256_cmpeq_epi32(best, zero),
                                              _mm256_cmpeq_epi32(best, _mm256_set1_epi32(D - 1)));
        const __m256i value = _mm256_blendv_epi8(refined, whole, atEnd);
        const __m256i xs =
            _mm256_add_epi32(_mm256_set1_epi32(x + h), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
        const __m256i refused = _mm256_andnot_si256(unique, _mm256_set1_epi32(-1));
        const __m256i result = _mm256_blendv_epi8(value, _mm256_set1_epi32(-16),
                                                  _mm256_or_si256(_mm256_cmpgt_epi32(best, xs), refused));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(bestCost + h), m);
        const __m256i packed = _mm256_permute4x64_epi64(_mm256_packs_epi32(result, result), 0x08);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + h), _mm256_castsi256_si128(packed));
    }
}

struct Avx2 {
    typedef __m256i vec;
    static constexpr int bytes = 32;
    static constexpr bool shiftsInRegisters = true;
    static constexpr int registers = 16;
    static vec zero() { return _mm256_setzero_si256(); }
    static vec set1(uint8_t v) { return _mm256_set1_epi8(char(v)); }
    static vec set1Word(const uint32_t *w) { return _mm256_set1_epi32(int(*w)); }
    static vec load(const void *p) { return _mm256_loadu_si256(static_cast<const __m256i *>(p)); }
    static void store(void *p, vec v) { _mm256_storeu_si256(static_cast<__m256i *>(p), v); }
    static void stream(void *p, vec v) { _mm256_stream_si256(static_cast<__m256i *>(p), v); }
    static void streamed() { _mm_sfence(); }
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
    static constexpr bool foldsFour = false;
    static constexpr bool decidesSixteen = true;
    static void decideSixteen(const RivalsOfSixteen &r, int x, int D, uint32_t *bestCost, int16_t *out) {
        decideSixteenPixels(r, x, D, bestCost, out);
    }
    static constexpr bool countsSixteen = false;
    static constexpr bool addsWhereGreater = false;
    // A cost vector's bits counted by nibble tables: six shuffles and five
    // adds, where a popcount by table after an exclusive or took 23
    // instructions. The whole matcher on a real pair took 0.90-0.91 of the
    // time at 96 disparities, 0.94-0.98 at 64 and 128 (paired runs, Zen 3).
    static constexpr bool countsByNibbles = true;
    static vec broadcast16(const uint8_t *p) {
        return _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i *>(p)));
    }
    static vec shuffle8(vec table, vec index) { return _mm256_shuffle_epi8(table, index); }
    // `n` bytes (a multiple of 32) into their low and high nibbles.
    static void nibbles(const uint8_t *in, int n, uint8_t *low, uint8_t *high) {
        const vec mask = _mm256_set1_epi8(0x0F);
        for (int i = 0; i < n; i += 32) {
            const vec v = load(in + i);
            store(low + i, _mm256_and_si256(v, mask));
            store(high + i, _mm256_and_si256(_mm256_srli_epi16(v, 4), mask));
        }
    }
    // The nibbles of a census row's planes times 16 (offsets of rows of
    // sixteen bytes), a pixel's six in eight bytes: low and high nibble of
    // plane 0, of plane 1, of plane 2, two zeros.
    static void nibbleOffsets(const uint8_t *census, int planeStride, int width, uint8_t *out) {
        static_assert(kCensusPlanes == 3, "three planes to a pixel's eight bytes");
        const __m128i high = _mm_set1_epi8(char(0xF0)), zero = _mm_setzero_si128();
        for (int x = 0; x < width; x += 16) {
            __m128i lo[3], hi[3];
            for (int p = 0; p < 3; ++p) {
                const __m128i v =
                    _mm_loadu_si128(reinterpret_cast<const __m128i *>(census + p * planeStride + x));
                lo[p] = _mm_and_si128(_mm_slli_epi16(v, 4), high);
                hi[p] = _mm_and_si128(v, high);
            }
            for (int h = 0; h < 2; ++h) {
                const __m128i a = h ? _mm_unpackhi_epi8(lo[0], hi[0]) : _mm_unpacklo_epi8(lo[0], hi[0]),
                              b = h ? _mm_unpackhi_epi8(lo[1], hi[1]) : _mm_unpacklo_epi8(lo[1], hi[1]),
                              c = h ? _mm_unpackhi_epi8(lo[2], hi[2]) : _mm_unpacklo_epi8(lo[2], hi[2]);
                const __m128i ab[2] = {_mm_unpacklo_epi16(a, b), _mm_unpackhi_epi16(a, b)},
                              c0[2] = {_mm_unpacklo_epi16(c, zero), _mm_unpackhi_epi16(c, zero)};
                for (int j = 0; j < 2; ++j) {
                    __m128i *to = reinterpret_cast<__m128i *>(out + 8 * (x + 8 * h + 4 * j));
                    _mm_storeu_si128(to, _mm_unpacklo_epi32(ab[j], c0[j]));
                    _mm_storeu_si128(to + 1, _mm_unpackhi_epi32(ab[j], c0[j]));
                }
            }
        }
    }
    // (minimum << 8) | the first lane holding it, of N vectors (N <= 8): each
    // sum widened to 16 bits above its lane number, so that one minimum of
    // words, finished by SSE4.1's minpos, finds both.
    static constexpr bool packedArgmin = true;
    template <int N> static int argmin(const vec (&v)[N]) {
        static_assert(N <= 8, "lane numbers are bytes");
        const vec lanes = _mm256_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18,
                                           19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31);
        vec lowest = _mm256_min_epu16(_mm256_unpacklo_epi8(lanes, v[0]), _mm256_unpackhi_epi8(lanes, v[0]));
        for (int k = 1; k < N; ++k) {
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
    static vec reverse8(vec v) {
        const vec within = _mm256_setr_epi8(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 15, 14, 13,
                                            12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
        return _mm256_permute4x64_epi64(_mm256_shuffle_epi8(v, within), 0x4E);
    }
    static int hsum8(vec v) {
        const vec s = _mm256_sad_epu8(v, zero());
        const __m128i h = _mm_add_epi64(_mm256_castsi256_si128(s), _mm256_extracti128_si256(s, 1));
        return _mm_cvtsi128_si32(h) + _mm_extract_epi16(h, 4);
    }
    static int movemask8(vec v) { return _mm256_movemask_epi8(v); }
    static uint32_t eqMask(vec a, vec b) { return uint32_t(_mm256_movemask_epi8(_mm256_cmpeq_epi8(a, b))); }
    static uint32_t leMask(vec a, vec b) { return eqMask(_mm256_min_epu8(a, b), a); }
    static vec shiftUp(vec v, vec before) {
        return _mm256_alignr_epi8(v, _mm256_permute2x128_si256(before, v, 0x21), 15);
    }
    static vec shiftDown(vec v, vec after) {
        return _mm256_alignr_epi8(_mm256_permute2x128_si256(v, after, 0x21), v, 1);
    }
};

// The left-right check eight pixels at a time: each pixel's offer to the
// right pixel it matched is made in vector lanes, leaving one minimum per
// pixel to scalar code (lanes may offer to the same right pixel), and the
// right pixels' answers are gathered. What the plain loops do, in the same
// order of offers.
struct Avx2LeftRightCheck {
    static void run(const uint32_t *bestCost, int width, uint32_t *rightBest, int16_t *disparity16) {
        if (width <= 0) return;
        std::fill(rightBest, rightBest + width, ~0u);
        const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
        auto load = [&](int x, __m256i &v, __m256i &d, __m256i &xr) {
            v = _mm256_cvtepi16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(disparity16 + x)));
            d = _mm256_srai_epi32(_mm256_add_epi32(v, _mm256_set1_epi32(8)), 4);
            xr = _mm256_sub_epi32(_mm256_add_epi32(_mm256_set1_epi32(x), lanes), d);
        };
        const int whole = width / 8 * 8;
        for (int x = 0; x < whole; x += 8) {
            __m256i v, d, xr;
            load(x, v, d, xr);
            // Invalid pixels and those matched past the left edge offer ~0.
            const __m256i refused = _mm256_or_si256(_mm256_srai_epi32(v, 31), _mm256_srai_epi32(xr, 31));
            const __m256i cost = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(bestCost + x));
            alignas(32) int32_t at[8];
            alignas(32) uint32_t offer[8];
            _mm256_store_si256(
                reinterpret_cast<__m256i *>(at),
                _mm256_min_epi32(_mm256_max_epi32(xr, _mm256_setzero_si256()), _mm256_set1_epi32(width - 1)));
            _mm256_store_si256(reinterpret_cast<__m256i *>(offer),
                               _mm256_or_si256(_mm256_or_si256(_mm256_slli_epi32(cost, 16), d), refused));
            for (int i = 0; i < 8; ++i)
                rightBest[at[i]] = std::min(rightBest[at[i]], offer[i]);
        }
        leftRightOffers(bestCost, whole, width, rightBest, disparity16);
        for (int x = 0; x < whole; x += 8) {
            __m256i v, d, xr;
            load(x, v, d, xr);
            const __m256i valid = _mm256_cmpgt_epi32(_mm256_min_epi32(v, xr), _mm256_set1_epi32(-1));
            const __m256i answer =
                _mm256_mask_i32gather_epi32(_mm256_setzero_si256(), reinterpret_cast<const int *>(rightBest),
                                            _mm256_max_epi32(xr, _mm256_setzero_si256()), valid, 4);
            const __m256i off =
                _mm256_abs_epi32(_mm256_sub_epi32(_mm256_and_si256(answer, _mm256_set1_epi32(0xFFFF)), d));
            const __m256i keep = _mm256_andnot_si256(_mm256_cmpgt_epi32(off, _mm256_set1_epi32(1)), valid);
            const __m256i out = _mm256_blendv_epi8(_mm256_set1_epi32(-16), v, keep);
            const __m256i packed = _mm256_permute4x64_epi64(_mm256_packs_epi32(out, out), 0x08);
            _mm_storeu_si128(reinterpret_cast<__m128i *>(disparity16 + x), _mm256_castsi256_si128(packed));
        }
        leftRightVerdicts(whole, width, rightBest, disparity16);
    }
};

} // namespace
} // namespace twl
