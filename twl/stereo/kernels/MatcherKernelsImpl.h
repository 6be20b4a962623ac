#pragma once
// Kernel bodies written once over a small vector interface (V: load, store,
// saturating byte arithmetic, compare masks...). MatcherKernelsSse2.cpp and
// MatcherKernelsAvx2.cpp include this with their own vector types and
// compiler flags; the per-pixel scalar pieces here are shared with the
// reference so that the edges of every row are treated identically.

#include "twl/stereo/kernels/MatcherKernels.h"

#include <emmintrin.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <type_traits>

namespace twl {
namespace {

// The x86-64 baseline: 16 bytes, SSE2 only (no byte shuffles, no POPCNT).
struct Sse2 {
    typedef __m128i vec;
    static constexpr int bytes = 16;
    // Neighbouring lanes by two shifts and an or cost more here than
    // reloading them, even from bytes just stored.
    static constexpr bool shiftsInRegisters = false;
    static constexpr int registers = 16;
    static vec zero() { return _mm_setzero_si128(); }
    static vec set1(uint8_t v) { return _mm_set1_epi8(char(v)); }
    static vec load(const void *p) { return _mm_loadu_si128(static_cast<const __m128i *>(p)); }
    static void store(void *p, vec v) { _mm_storeu_si128(static_cast<__m128i *>(p), v); }
    static void stream(void *p, vec v) { _mm_stream_si128(static_cast<__m128i *>(p), v); }
    static void streamed() { _mm_sfence(); }
    static vec xor_(vec a, vec b) { return _mm_xor_si128(a, b); }
    static vec or_(vec a, vec b) { return _mm_or_si128(a, b); }
    static vec cmpgt8(vec a, vec b) { return _mm_cmpgt_epi8(a, b); }
    static vec subsSigned8(vec a, vec b) { return _mm_subs_epi8(a, b); }
    static vec add8(vec a, vec b) { return _mm_add_epi8(a, b); }
    static vec sub8(vec a, vec b) { return _mm_sub_epi8(a, b); }
    static vec adds8(vec a, vec b) { return _mm_adds_epu8(a, b); }
    static vec subs8(vec a, vec b) { return _mm_subs_epu8(a, b); }
    static vec min8(vec a, vec b) { return _mm_min_epu8(a, b); }
    static uint8_t hmin8(vec v) {
        v = _mm_min_epu8(v, _mm_srli_si128(v, 8));
        v = _mm_min_epu8(v, _mm_srli_si128(v, 4));
        v = _mm_min_epu8(v, _mm_srli_si128(v, 2));
        v = _mm_min_epu8(v, _mm_srli_si128(v, 1));
        return uint8_t(_mm_cvtsi128_si32(v));
    }
    static constexpr bool packedArgmin = false;
    static constexpr bool foldsFour = false;
    static constexpr bool decidesSixteen = false;
    static constexpr bool countsSixteen = false;
    static constexpr bool addsWhereGreater = false;
    static constexpr bool countsByNibbles = false;
    static int lane0(vec v) { return _mm_cvtsi128_si32(v) & 0xFF; }
    // The minimum of all lanes, in every lane.
    static vec minAll8(vec v) {
        v = _mm_min_epu8(v, _mm_shuffle_epi32(v, 0x4E));
        v = _mm_min_epu8(v, _mm_shuffle_epi32(v, 0xB1));
        v = _mm_min_epu8(v, _mm_shufflelo_epi16(_mm_shufflehi_epi16(v, 0xB1), 0xB1));
        return _mm_min_epu8(v, _mm_or_si128(_mm_srli_epi16(v, 8), _mm_slli_epi16(v, 8)));
    }
    static vec popcount8(vec v) {
        v = _mm_sub_epi8(v, _mm_and_si128(_mm_srli_epi16(v, 1), _mm_set1_epi8(0x55)));
        v = _mm_add_epi8(_mm_and_si128(v, _mm_set1_epi8(0x33)),
                         _mm_and_si128(_mm_srli_epi16(v, 2), _mm_set1_epi8(0x33)));
        return _mm_and_si128(_mm_add_epi8(v, _mm_srli_epi16(v, 4)), _mm_set1_epi8(0x0F));
    }
    static vec cmpeq8(vec a, vec b) { return _mm_cmpeq_epi8(a, b); }
    // Sum of all byte lanes.
    static int hsum8(vec v) {
        const vec s = _mm_sad_epu8(v, zero());
        return _mm_cvtsi128_si32(s) + _mm_extract_epi16(s, 4);
    }
    static int movemask8(vec v) { return _mm_movemask_epi8(v); }
    // Bit d set where lane d of a equals, or is at most, that of b.
    static uint32_t eqMask(vec a, vec b) { return uint32_t(_mm_movemask_epi8(_mm_cmpeq_epi8(a, b))); }
    static uint32_t leMask(vec a, vec b) { return eqMask(_mm_min_epu8(a, b), a); }
    // The lanes in reverse order: words, then the bytes within each.
    static vec reverse8(vec v) {
        v = _mm_shuffle_epi32(v, 0x1B);
        v = _mm_shufflehi_epi16(_mm_shufflelo_epi16(v, 0xB1), 0xB1);
        return _mm_or_si128(_mm_srli_epi16(v, 8), _mm_slli_epi16(v, 8));
    }
    // Byte lane d of the result is lane d - 1 of v; lane 0 the last of `before`.
    static vec shiftUp(vec v, vec before) {
        return _mm_or_si128(_mm_slli_si128(v, 1), _mm_srli_si128(before, 15));
    }
    // Byte lane d of the result is lane d + 1 of v; the last lane the first of `after`.
    static vec shiftDown(vec v, vec after) {
        return _mm_or_si128(_mm_srli_si128(v, 1), _mm_slli_si128(after, 15));
    }
};

struct CensusOffset {
    int dx, dy;
};

struct CensusTable {
    CensusOffset at[kCensusBits];
    constexpr CensusTable() : at() {
        int j = 0;
        for (int dy = -kCensusRadiusY; dy <= kCensusRadiusY; ++dy)
            for (int dx = -kCensusRadiusX; dx <= kCensusRadiusX; ++dx)
                if ((dx + dy) % 2 != 0) at[j++] = {dx, dy};
    }
};
constexpr CensusTable kCensus;

// One census word of the pixel at `p` (biased grey) into the planes.
inline void censusPixel(const uint8_t *p, int stride, uint8_t *planes, int planeStride) {
    uint8_t bytes[kCensusPlanes] = {};
    const int8_t centre = int8_t(*p);
    for (int j = 0; j < kCensusBits; ++j) {
        const CensusOffset o = kCensus.at[j];
        const int8_t n = int8_t(p[o.dy * stride + o.dx]);
        if (n < centre - kCensusThreshold) bytes[j >> 3] |= uint8_t(1u << (j & 7));
    }
    for (int k = 0; k < kCensusPlanes; ++k)
        planes[k * planeStride] = bytes[k];
}

// 8 / n in 16-bit fixed point for every denominator a parabola through
// byte sums can have: a division here cost more than the rest of the decision.
struct EighthsTable {
    int32_t of[511];
    constexpr EighthsTable() : of() {
        for (int n = 1; n < 511; ++n)
            of[n] = ((8 << 16) + n / 2) / n;
    }
};
constexpr EighthsTable kEighths;

// The decision for one pixel once its best disparity and whether that is
// unique are known: -16 where invalid, else 1/16 pixel with a parabola
// through the sums sl, sb, sr at best - 1, best, best + 1 (at the ends of
// the range the outer one is not used, whatever it holds). Selects, not
// branches: which way it goes is not predictable.
inline int16_t decide(int best, int x, int D, bool unique, int sl, int sb, int sr) {
    const int denom = std::clamp(sl + sr - 2 * sb, 1, 510);
    const int refined = best * 16 + (((sl - sr) * kEighths.of[denom] + (1 << 15)) >> 16);
    const int value = best == 0 || best == D - 1 ? best * 16 : refined;
    return int16_t(best > x || !unique ? -16 : value);
}

// Left-right check: each right pixel keeps the left pixel that reached it
// with the lowest sum (the first on ties); a left pixel stays valid when the
// right pixel it matched holds a disparity within one pixel of its own. A
// right pixel holds sum << 16 | disparity of its best match: the least such
// word is the lowest sum and, of equal sums, the first left pixel to reach
// it (the smallest disparity), so one minimum replaces a compare and two
// selects. `rightBest` holds width words, all ~0 before the first offer.
// Offers of left pixels [from, width):
inline void leftRightOffers(const uint32_t *bestCost, int from, int width, uint32_t *rightBest,
                            const int16_t *disparity16) {
    for (int x = from; x < width; ++x) {
        const int v = disparity16[x], d = (v + 8) >> 4, xr = std::clamp(x - d, 0, width - 1);
        const bool offered = (v >= 0) & (x - d >= 0);
        rightBest[xr] = std::min(rightBest[xr], offered ? bestCost[x] << 16 | uint32_t(d) : ~0u);
    }
}

// Once all offers are made, the verdict on left pixels [from, width):
inline void leftRightVerdicts(int from, int width, const uint32_t *rightBest, int16_t *disparity16) {
    for (int x = from; x < width; ++x) {
        const int v = disparity16[x], d = (v + 8) >> 4, xr = x - d;
        const bool keep = v >= 0 && xr >= 0 && std::abs(int(rightBest[std::max(xr, 0)] & 0xFFFF) - d) <= 1;
        disparity16[x] = int16_t(keep ? v : -16);
    }
}

inline void leftRightCheck(const uint32_t *bestCost, int width, uint32_t *rightBest, int16_t *disparity16) {
    std::fill(rightBest, rightBest + std::max(width, 0), ~0u);
    leftRightOffers(bestCost, 0, width, rightBest, disparity16);
    leftRightVerdicts(0, width, rightBest, disparity16);
}

// The check as a build runs it: the plain loops above unless the build has
// its own (which must give the same result).
template <class V> struct LeftRightCheck {
    static void run(const uint32_t *bestCost, int width, uint32_t *rightBest, int16_t *disparity16) {
        leftRightCheck(bestCost, width, rightBest, disparity16);
    }
};

// For every byte sum m of a winner: ceil(m * 100 / (100 - uniqueness)), the
// lowest sum a rival may have, and the highest it must not (that less one,
// clamped to a byte, as a vector compare wants it). A table: the arithmetic
// sat in every pixel's chain of dependent steps. Kept per thread and rebuilt
// only when the uniqueness changes (rebuilt for every row, its divisions
// added up to a few percent of the matcher).
struct UniquenessThresholds {
    int uniqueness = -1;
    uint16_t lowestRival[256];
    uint8_t under[256];
    static const UniquenessThresholds &of(int uniqueness) {
        thread_local UniquenessThresholds t;
        if (t.uniqueness != uniqueness) {
            const int divisor = 100 - uniqueness;
            for (int m = 0; m < 256; ++m) {
                t.lowestRival[m] = uint16_t((m * 100 + divisor - 1) / divisor);
                t.under[m] = uint8_t(std::clamp(int(t.lowestRival[m]) - 1, 0, 255));
            }
            t.uniqueness = uniqueness;
        }
        return t;
    }
};

// The census of V::bytes pixels, one plane at a time: each bit shifted in
// from the top (a doubling) and set by subtracting the compare's -1, so that
// one accumulator is live and the unrolled loop keeps everything in registers.
// Builds with mask registers add the bit's value where the compare's mask is
// set instead: two instructions a bit rather than four.
// Mirrored, the lanes are reversed and stored from the other end of the row.
// Aligned vectors are streamed past the caches: the planes were last read a
// frame ago, so an ordinary store would first fetch each line from memory
// (a cold MiB took 137 us to store, 56 us streamed); the passes read each
// row in order, which the prefetchers follow.
template <class V, bool Mirrored>
__attribute__((always_inline)) inline void censusLanes(const uint8_t *const (&rows)[2 * kCensusRadiusY + 1],
                                                       int x, int width, uint8_t *out, int planeStride) {
    typedef typename V::vec vec;
    const vec c = V::subsSigned8(V::load(rows[kCensusRadiusY] + x), V::set1(kCensusThreshold));
#pragma GCC unroll 8
    for (int k = 0; k < kCensusPlanes; ++k) {
        vec acc = V::zero();
#pragma GCC unroll 8
        for (int b = 7; b >= 0; --b) {
            const int j = 8 * k + b;
            if (j >= kCensusBits) continue;
            const CensusOffset o = kCensus.at[j];
            const vec n = V::load(rows[o.dy + kCensusRadiusY] + x + o.dx);
            if constexpr (V::addsWhereGreater)
                acc = V::addWhereGreater(acc, c, n, uint8_t(1 << b));
            else
                acc = V::sub8(V::add8(acc, acc), V::cmpgt8(c, n));
        }
        uint8_t *to = out + k * planeStride + (Mirrored ? width - x - V::bytes : x);
        const vec bits = Mirrored ? V::reverse8(acc) : acc;
        if (uintptr_t(to) % V::bytes)
            V::store(to, bits);
        else
            V::stream(to, bits);
    }
}

template <class V, bool Mirrored>
void censusRowsT(const uint8_t *biased, int stride, int width, int y0, int y1, uint8_t *planes,
                 int planeStride, int rowStride) {
    for (int y = y0; y < y1; ++y) {
        const uint8_t *row = biased + size_t(y) * stride;
        const uint8_t *rows[2 * kCensusRadiusY + 1];
        for (int dy = -kCensusRadiusY; dy <= kCensusRadiusY; ++dy)
            rows[dy + kCensusRadiusY] = row + std::ptrdiff_t(dy) * stride;
        uint8_t *out = planes + size_t(y) * rowStride;
        int x = 0;
        for (; x + V::bytes <= width; x += V::bytes)
            censusLanes<V, Mirrored>(rows, x, width, out, planeStride);
        for (; x < width; ++x)
            censusPixel(row + x, stride, out + (Mirrored ? width - 1 - x : x), planeStride);
    }
    V::streamed();
}

template <class V>
void censusT(const uint8_t *biased, int stride, int width, int y0, int y1, bool mirrored, uint8_t *planes,
             int planeStride, int rowStride) {
    if (mirrored)
        censusRowsT<V, true>(biased, stride, width, y0, y1, planes, planeStride, rowStride);
    else
        censusRowsT<V, false>(biased, stride, width, y0, y1, planes, planeStride, rowStride);
}

// Calls body with std::integral_constant<int, N> for the ranges the modes
// use (N = Dp / V::bytes), with N = 0 for any other.
template <class V, class Body> void withVectorCount(int Dp, const Body &body) {
    switch (Dp % V::bytes ? 0 : Dp / V::bytes) {
    case 1:
        return body(std::integral_constant<int, 1>());
    case 2:
        return body(std::integral_constant<int, 2>());
    case 3:
        return body(std::integral_constant<int, 3>());
    case 4:
        return body(std::integral_constant<int, 4>());
    case 6:
        return body(std::integral_constant<int, 6>());
    default:
        return body(std::integral_constant<int, 0>());
    }
}

// 255 from lane `first` of a vector on, 0 before it (first in [0, bytes]).
template <class V> inline typename V::vec lanesFrom(int first) {
    struct Ramp {
        uint8_t at[128];
        constexpr Ramp() : at() {
            for (int i = 64; i < 128; ++i)
                at[i] = 255;
        }
    };
    alignas(64) static constexpr Ramp ramp;
    return V::load(ramp.at + 64 - first);
}

// 255 in lane 0 only, and in the last lane only.
template <class V> struct EdgeLanes { typename V::vec low, high; };

template <class V> inline EdgeLanes<V> edgeLanes() {
    return {V::xor_(lanesFrom<V>(0), lanesFrom<V>(1)), lanesFrom<V>(V::bytes - 1)};
}

// The lanes of a pixel's cost vector `acc` past its right image's edge
// and past the range set as costLanes (below) describes.
template <class V>
__attribute__((always_inline)) inline typename V::vec boundLanes(typename V::vec acc, typename V::vec beyond,
                                                                 bool edge, int inside,
                                                                 typename V::vec outside, bool padded) {
    if (padded) acc = V::or_(acc, beyond);
    if (edge) {
        const typename V::vec outsideLanes = lanesFrom<V>(std::clamp(inside, 0, V::bytes));
        acc = V::or_(V::or_(V::subs8(acc, outsideLanes), V::min8(outsideLanes, outside)), beyond);
    }
    return acc;
}

// One vector of a pixel's Hamming costs, disparities d .. d + bytes - 1:
// `right` is the mirrored right census at d, `l` the left pixel's census
// bytes each spread over a vector. Lanes past the range come in `beyond`
// (255: they never win). In the first D pixels, disparities past x (no
// right pixel; lanes from `inside` = x + 1 - d on) cost kOutsideCost, set
// by masks where a loop had stored D * D / 2 bytes a row one by one (at 128
// disparities, as much work as a fifth of the row's vectors).
// Where `padded` is false, `beyond` is known to be all zero (only the last
// vector of a pixel can hold lanes past the range) and costs nothing.
template <class V>
__attribute__((always_inline)) inline typename V::vec
costLanes(const uint8_t *right, const typename V::vec *l, int planeStride, typename V::vec beyond, bool edge,
          int inside, typename V::vec outside, bool padded = true) {
    auto bits = [&](int p) { return V::popcount8(V::xor_(V::load(right + p * planeStride), l[p])); };
    // At most kCensusBits: the sum needs no saturation; 255 lanes past the range are or-ed in.
    typename V::vec acc = bits(0);
    for (int p = 1; p < kCensusPlanes; ++p)
        acc = V::add8(acc, bits(p));
    return boundLanes<V>(acc, beyond, edge, inside, outside, padded);
}

// The bits set in n ^ i for every pair of nibbles. A left pixel's census
// nibble picks a row of sixteen counts and a byte shuffle looks each right
// pixel's nibble up in it: the Hamming distance without the exclusive or
// and the split into nibbles that a popcount by table needs for every
// vector (the right census is split once a row).
struct NibbleCounts {
    alignas(16) uint8_t of[16][16];
    constexpr NibbleCounts() : of() {
        for (int n = 0; n < 16; ++n)
            for (int i = 0; i < 16; ++i)
                of[n][i] = uint8_t(((n ^ i) & 1) + ((n ^ i) >> 1 & 1) + ((n ^ i) >> 2 & 1) + ((n ^ i) >> 3));
    }
};
constexpr NibbleCounts kNibbleCounts;

// costLanes from the right census split into 2 * kCensusPlanes nibble
// planes (kNibblePlaneStride apart; low nibbles of plane p in 2p, high in
// 2p + 1) and the left pixel's rows of kNibbleCounts for the same nibbles.
template <class V>
__attribute__((always_inline)) inline typename V::vec
nibbleCostLanes(const uint8_t *rightNibbles, const typename V::vec *counts, typename V::vec beyond, bool edge,
                int inside, typename V::vec outside, bool padded) {
    typename V::vec acc = V::shuffle8(counts[0], V::load(rightNibbles));
    for (int q = 1; q < 2 * kCensusPlanes; ++q)
        acc = V::add8(acc, V::shuffle8(counts[q], V::load(rightNibbles + q * kNibblePlaneStride)));
    return boundLanes<V>(acc, beyond, edge, inside, outside, padded);
}

// Lanes past D (255) in each of a pixel's vectors, with the range known at
// compile time where N > 0 (N vectors).
template <class V, int N> struct PastLanes {
    typename V::vec at[N > 0 ? N : 1];
    int D;
    explicit PastLanes(int D) : at(), D(D) {
        for (int k = 0; k < N; ++k)
            at[k] = of(k * V::bytes);
    }
    typename V::vec of(int d) const { return lanesFrom<V>(std::clamp(D - d, 0, V::bytes)); }
    __attribute__((always_inline)) typename V::vec operator()(int d) const {
        return N > 0 ? at[d / V::bytes] : of(d);
    }
};

// Costs of one row: the left pixel's census bytes are spread over a vector
// once per pixel.
template <class V, int N>
void costRowN(const uint8_t *left, const uint8_t *rightMirrored, int planeStride, int width, int D, int Dp,
              uint8_t *cost) {
    typedef typename V::vec vec;
    const int dp = N > 0 ? N * V::bytes : Dp;
    const PastLanes<V, N> past(D);
    const vec outside = V::set1(kOutsideCost);
    for (int x = 0; x < width; ++x) {
        const uint8_t *r = rightMirrored + (width - 1 - x);
        uint8_t *c = cost + size_t(x) * dp;
        vec l[kCensusPlanes];
        for (int k = 0; k < kCensusPlanes; ++k)
            l[k] = V::set1(left[x + k * planeStride]);
        const bool edge = x + 1 < D;
        for (int d = 0; d < dp; d += V::bytes)
            V::store(c + d, costLanes<V>(r + d, l, planeStride, past(d), edge, x + 1 - d, outside));
    }
}

template <class V>
void costRowT(const uint8_t *left, const uint8_t *rightMirrored, int planeStride, int width, int D, int Dp,
              uint8_t *cost) {
    withVectorCount<V>(Dp, [&](auto n) {
        costRowN<V, decltype(n)::value>(left, rightMirrored, planeStride, width, D, Dp, cost);
    });
}

// total = sums + l (saturating); `sums` may be `total` itself.
template <class V>
__attribute__((always_inline)) inline void addTo(const uint8_t *sums, uint8_t *total, typename V::vec l) {
    V::store(total, V::adds8(V::load(sums), l));
}

// One vector of a path step from the previous row's costs in memory.
// `low` and `high` are 255 in the lanes whose neighbour d - 1 or d + 1 does
// not exist (lane 0 of the first vector, the last lane of the last one) and 0
// elsewhere: whatever lies next to the pixel's costs in memory then never
// counts, so path rows need no guard bytes between pixels.
template <class V>
__attribute__((always_inline)) inline typename V::vec
stepFrom(typename V::vec cost, const uint8_t *prev, typename V::vec mp, typename V::vec bound,
         typename V::vec p1, typename V::vec low, typename V::vec high) {
    const typename V::vec here = V::load(prev), below = V::or_(V::load(prev - 1), low),
                          above = V::or_(V::load(prev + 1), high);
    const typename V::vec t = V::min8(V::min8(here, bound), V::adds8(V::min8(below, above), p1));
    return V::adds8(cost, V::subs8(t, mp));
}

// The same step with its costs stored (and kept, and summed, where given).
template <class V>
__attribute__((always_inline)) inline typename V::vec
pathLanes(typename V::vec cost, const uint8_t *prev, typename V::vec mp, typename V::vec bound,
          typename V::vec p1, uint8_t *out, uint8_t *keep, typename V::vec lowest, const uint8_t *sums,
          uint8_t *total, typename V::vec low, typename V::vec high) {
    const typename V::vec l = stepFrom<V>(cost, prev, mp, bound, p1, low, high);
    V::store(out, l);
    if (keep) V::stream(keep, l);
    if (total) addTo<V>(sums, total, l);
    return V::min8(lowest, l);
}

// One path step for a pixel, its costs added to `sums` into `total` when
// given (the two may be one); returns its new costs' minimum in every lane
// that still holds one (folding the lanes is left to the caller).
template <class V, class CostAt>
__attribute__((always_inline)) inline typename V::vec
pathLowestOf(const CostAt &costAt, const uint8_t *prev, uint8_t prevMin, int Dp, int P1, int P2, uint8_t *out,
             uint8_t *keep, const uint8_t *sums, uint8_t *total, const EdgeLanes<V> &edges) {
    // min(255, prevMin + P2) as a saturating add, without a trip through a scalar register.
    const typename V::vec mp = V::set1(prevMin), bound = V::adds8(mp, V::set1(uint8_t(P2)));
    typename V::vec lowest = V::set1(255);
    for (int d = 0; d < Dp; d += V::bytes)
        lowest = pathLanes<V>(costAt(d), prev + d, mp, bound, V::set1(uint8_t(P1)), out + d,
                              keep ? keep + d : nullptr, lowest, sums + d, total ? total + d : nullptr,
                              d == 0 ? edges.low : V::zero(), d + V::bytes == Dp ? edges.high : V::zero());
    return lowest;
}

// The same from costs in memory.
template <class V>
__attribute__((always_inline)) inline typename V::vec
pathLowest(const uint8_t *cost, const uint8_t *prev, uint8_t prevMin, int Dp, int P1, int P2, uint8_t *out,
           uint8_t *keep, const uint8_t *sums, uint8_t *total, const EdgeLanes<V> &edges) {
    return pathLowestOf<V>([cost](int d) { return V::load(cost + d); }, prev, prevMin, Dp, P1, P2, out, keep,
                           sums, total, edges);
}

// The same step; returns the minimum of its new costs.
template <class V>
__attribute__((always_inline)) inline uint8_t
pathPixel(const uint8_t *cost, const uint8_t *prev, uint8_t prevMin, int Dp, int P1, int P2, uint8_t *out,
          uint8_t *keep, const uint8_t *sums, uint8_t *total, const EdgeLanes<V> &edges) {
    return V::hmin8(pathLowest<V>(cost, prev, prevMin, Dp, P1, P2, out, keep, sums, total, edges));
}

template <class V>
__attribute__((always_inline)) inline uint8_t startPixel(const uint8_t *cost, int Dp, uint8_t *out,
                                                         uint8_t *keep, const uint8_t *sums, uint8_t *total) {
    typename V::vec lowest = V::set1(255);
    for (int d = 0; d < Dp; d += V::bytes) {
        const typename V::vec c = V::load(cost + d);
        if (out) V::store(out + d, c);
        if (keep) V::stream(keep + d, c);
        if (total) addTo<V>(sums + d, total + d, c);
        lowest = V::min8(lowest, c);
    }
    return V::hmin8(lowest);
}

// A vertical path's row from a previous one, with its range known at
// compile time where N > 0 (N vectors), and whether it keeps and sums known
// too: the loops over the lanes unroll and no test is left in them.
// `costsOf(x)` gives pixel x's costs a vector at a time (`(d) -> vec`).
template <class V, int N, bool Keep, bool Sum, class CostsOf>
__attribute__((always_inline)) inline void
pathRowFrom(const CostsOf &costsOf, const uint8_t *prev, const uint8_t *prevMin, int width, int Dp, int P1,
            int P2, uint8_t *out, uint8_t *outMin, uint8_t *keep, const uint8_t *sums, uint8_t *total) {
    const int dp = N > 0 ? N * V::bytes : Dp;
    const EdgeLanes<V> edges = edgeLanes<V>();
    // `sums` (a kept path row, where the matcher sums) comes from memory
    // rather than from cache, and is asked for this far ahead.
    constexpr size_t ahead = 4096;
    auto fetchSums = [&](int x, int pixels) {
        if (Sum)
            for (int i = 0; i < pixels * dp; i += 64)
                __builtin_prefetch(sums + size_t(x) * dp + ahead + size_t(i));
    };
    auto step = [&](int x) __attribute__((always_inline)) {
        const size_t at = size_t(x) * dp;
        return pathLowestOf<V>(costsOf(x), prev + at, prevMin[x], dp, P1, P2, out + at,
                               Keep ? keep + at : nullptr, Sum ? sums + at : nullptr,
                               Sum ? total + at : nullptr, edges);
    };
    int x = 0;
    // Builds that fold four pixels' minima at once (one set of shuffles for
    // four) step four pixels before folding.
    if constexpr (V::foldsFour && N > 0) {
        for (; x + 4 <= width; x += 4) {
            fetchSums(x, 4);
            typename V::vec lowest[4];
            for (int i = 0; i < 4; ++i)
                lowest[i] = step(x + i);
            V::hmin8x4(lowest, outMin + x);
        }
    }
    for (; x < width; ++x) {
        fetchSums(x, 1);
        outMin[x] = V::hmin8(step(x));
    }
    if (Keep) V::streamed();
}

// The same from a row of costs made before; without `prev` the path starts
// here.
template <class V, int N, bool Keep, bool Sum>
void pathRowN(const uint8_t *cost, const uint8_t *prev, const uint8_t *prevMin, int width, int Dp, int P1,
              int P2, uint8_t *out, uint8_t *outMin, uint8_t *keep, const uint8_t *sums, uint8_t *total) {
    const int dp = N > 0 ? N * V::bytes : Dp;
    if (prev)
        return pathRowFrom<V, N, Keep, Sum>(
            [ cost, dp ](int x) __attribute__((always_inline)) {
                return [c = cost + size_t(x) * dp](int d) __attribute__((always_inline)) {
                    return V::load(c + d);
                };
            },
            prev, prevMin, width, Dp, P1, P2, out, outMin, keep, sums, total);
    for (int x = 0; x < width; ++x) {
        const size_t at = size_t(x) * dp;
        outMin[x] = startPixel<V>(cost + at, dp, out + at, Keep ? keep + at : nullptr,
                                  Sum ? sums + at : nullptr, Sum ? total + at : nullptr);
    }
    if (Keep) V::streamed();
}

template <class V>
void pathRowT(const uint8_t *cost, const uint8_t *prev, const uint8_t *prevMin, int width, int Dp, int P1,
              int P2, uint8_t *out, uint8_t *outMin, uint8_t *keep, const uint8_t *sums, uint8_t *total) {
    withVectorCount<V>(Dp, [&](auto n) {
        constexpr int N = decltype(n)::value;
        if (total && keep)
            pathRowN<V, N, true, true>(cost, prev, prevMin, width, Dp, P1, P2, out, outMin, keep, sums,
                                       total);
        else if (total)
            pathRowN<V, N, false, true>(cost, prev, prevMin, width, Dp, P1, P2, out, outMin, keep, sums,
                                        total);
        else if (keep)
            pathRowN<V, N, true, false>(cost, prev, prevMin, width, Dp, P1, P2, out, outMin, keep, sums,
                                        total);
        else
            pathRowN<V, N, false, false>(cost, prev, prevMin, width, Dp, P1, P2, out, outMin, keep, sums,
                                         total);
    });
}

// A vertical path's step with each pixel's costs made from the census as
// the step needs them: never stored in the first pass; in the second (where
// it sums), stored for the paths along the row but not read back by the
// step.
template <class V, int N, bool Keep, bool Sum>
void costPathRowN(const uint8_t *left, const uint8_t *rightMirrored, int planeStride, int D, uint8_t *cost,
                  const uint8_t *prev, const uint8_t *prevMin, int width, int Dp, int P1, int P2,
                  uint8_t *out, uint8_t *outMin, uint8_t *keep, const uint8_t *sums, uint8_t *total) {
    typedef typename V::vec vec;
    const int dp = N > 0 ? N * V::bytes : Dp;
    const PastLanes<V, N> past(D);
    const vec outside = V::set1(kOutsideCost);
    pathRowFrom<V, N, Keep, Sum>(
        [&](int x) __attribute__((always_inline)) {
            struct Pixel {
                const uint8_t *r;
                uint8_t *c;
                vec l[kCensusPlanes];
                bool edge;
                int x;
            } p{rightMirrored + (width - 1 - x), Sum ? cost + size_t(x) * dp : nullptr, {}, x + 1 < D, x};
            for (int k = 0; k < kCensusPlanes; ++k)
                p.l[k] = V::set1(left[x + k * planeStride]);
            return [ =, &past ](int d) __attribute__((always_inline)) {
                const vec made =
                    costLanes<V>(p.r + d, p.l, planeStride, past(d), p.edge, p.x + 1 - d, outside);
                if (Sum) V::store(p.c + d, made);
                return made;
            };
        },
        prev, prevMin, width, Dp, P1, P2, out, outMin, keep, sums, total);
}

template <class V>
void costPathRowT(const uint8_t *left, const uint8_t *rightMirrored, int planeStride, int D, uint8_t *cost,
                  const uint8_t *prev, const uint8_t *prevMin, int width, int Dp, int P1, int P2,
                  uint8_t *out, uint8_t *outMin, uint8_t *keep, const uint8_t *sums, uint8_t *total) {
    withVectorCount<V>(Dp, [&](auto n) {
        constexpr int N = decltype(n)::value;
        if (keep && total)
            costPathRowN<V, N, true, true>(left, rightMirrored, planeStride, D, cost, prev, prevMin, width,
                                           Dp, P1, P2, out, outMin, keep, sums, total);
        else if (keep)
            costPathRowN<V, N, true, false>(left, rightMirrored, planeStride, D, cost, prev, prevMin, width,
                                            Dp, P1, P2, out, outMin, keep, sums, total);
        else if (total)
            costPathRowN<V, N, false, true>(left, rightMirrored, planeStride, D, cost, prev, prevMin, width,
                                            Dp, P1, P2, out, outMin, keep, sums, total);
        else
            costPathRowN<V, N, false, false>(left, rightMirrored, planeStride, D, cost, prev, prevMin, width,
                                             Dp, P1, P2, out, outMin, keep, sums, total);
    });
}

// What deciding a pixel needs from its complete sum: the lowest sum m, the
// first lane holding it (best), how many lanes lie under the uniqueness
// threshold for m (below) and that threshold, and the sums either side of
// the winner (sl, sr; at the ends of the range whatever lies there).
struct Rivals {
    int m, best, below, threshold, sl, sr;
};

// Sixteen pixels' rivals, each field a row of 32-bit lanes.
struct alignas(64) RivalsOfSixteen {
    int32_t m[16], best[16], below[16], threshold[16], sl[16], sr[16];
    void set(int i, const Rivals &r) {
        m[i] = r.m, best[i] = r.best, below[i] = r.below, threshold[i] = r.threshold, sl[i] = r.sl,
        sr[i] = r.sr;
    }
};

// Winner take all on one pixel's complete sum (lanes past D hold 255), N
// vectors long (0: Dp / V::bytes, read from memory as needed). The first
// lane at the minimum wins; the lanes under the uniqueness threshold are
// counted as bit masks (the winner and its neighbours may lie under it
// without counting, see decideFrom).
// Where `given` (N > 0), the sum's vectors are already in registers; where
// `packedGiven` is not negative, so is their packed minimum and its lane.
template <class V, int N>
__attribute__((always_inline)) inline Rivals
rivalsOf(const uint8_t *s, int D, int Dp, const UniquenessThresholds &thresholds,
         const typename V::vec *given = nullptr, int packedGiven = -1) {
    typedef typename V::vec vec;
    const int n = N > 0 ? N : Dp / V::bytes;
    vec held[N > 0 ? N : 1];
    auto at = [&](int k) { return N > 0 ? held[k] : V::load(s + k * V::bytes); };
    int m = 0, best = Dp;
    typedef decltype(V::eqMask(V::zero(), V::zero())) Mask;
    // Lane numbers and sums pack into 16 bits up to 256 lanes.
    if constexpr (N > 0 && V::packedArgmin && N * V::bytes <= 256) {
        for (int k = 0; k < N; ++k)
            held[k] = given ? given[k] : V::load(s + k * V::bytes);
        const int packed = packedGiven >= 0 ? packedGiven : V::template argmin<N>(held);
        m = packed >> 8;
        best = packed & 0xFF;
    } else {
        vec lowest = V::set1(255);
        for (int k = 0; k < n; ++k) {
            if (N > 0) held[k] = given ? given[k] : V::load(s + k * V::bytes);
            lowest = V::min8(lowest, at(k));
        }
        const vec mv = V::minAll8(lowest);
        m = V::lane0(mv);
        for (int k = n - 1; k >= 0; --k) {
            const Mask eq = V::eqMask(at(k), mv);
            const int found = -int(eq != 0),
                      lane = k * V::bytes + __builtin_ctzll(uint64_t(eq) | (1ull << 63));
            best = (best & ~found) | (lane & found);
        }
    }
    const int threshold = thresholds.lowestRival[m];
    // Lanes below the threshold are those where min(s, threshold - 1) == s;
    // lanes past D never count.
    const vec under = V::set1(thresholds.under[m]);
    int below = 0;
    if constexpr (N == 3 && V::bytes == 32 && V::registers >= 32) {
        // 65 to 96 lanes: the first two vectors lie wholly in the range, and
        // builds with mask registers count their masks as one (at 640 x 360
        // x 96 1 % less time than a mask, a test and a count each).
        below = V::atMostOfThree(held, under, D - 2 * V::bytes);
    } else {
        for (int k = 0; k < n; ++k) {
            Mask low = V::leMask(at(k), under);
            const int inRange = D - k * V::bytes;
            if (inRange < V::bytes) low &= inRange <= 0 ? Mask(0) : Mask((Mask(1) << inRange) - 1);
            below += __builtin_popcountll(uint64_t(low));
        }
    }
    return {m, best, below, threshold, s[best - 1], s[best + 1]};
}

// The decision once the rivals are counted: unique when only the winner and
// its neighbours lie under the threshold. Branch-free: where the winner lies
// is not predictable.
inline int16_t decideFrom(const Rivals &r, int x, int D) {
    const int below = r.threshold <= 0 ? 0 : r.below;
    const int allowed = (r.m < r.threshold) + ((r.best > 0) & (r.sl < r.threshold)) +
                        ((r.best + 1 < D) & (r.sr < r.threshold));
    return decide(r.best, x, D, below == allowed, r.sl, r.m, r.sr);
}

template <class V, int N>
__attribute__((always_inline)) inline int16_t decidePixel(const uint8_t *s, int x, int D, int Dp,
                                                          const UniquenessThresholds &thresholds,
                                                          uint32_t &bestCost) {
    const Rivals r = rivalsOf<V, N>(s, D, Dp, thresholds);
    bestCost = uint32_t(r.m);
    return decideFrom(r, x, D);
}

// The minimum in each lane of N vectors (starting from the first, not from
// 255: an instruction less a step, and the loops are bound by their count).
template <class V, int N>
__attribute__((always_inline)) inline typename V::vec lowestOf(const typename V::vec (&v)[N]) {
    typename V::vec lowest = v[0];
    for (int k = 1; k < N; ++k)
        lowest = V::min8(lowest, v[k]);
    return lowest;
}

// One step of a path whose previous costs (`prev`, N vectors) and their
// minimum (`mp`, in every lane) are held in registers: this step's costs
// into `next`; returns their minimum in every lane that holds one.
template <class V, int N>
__attribute__((always_inline)) inline typename V::vec
stepLanes(const typename V::vec (&cost)[N], const typename V::vec (&prev)[N], typename V::vec mp,
          typename V::vec p2, typename V::vec p1, typename V::vec (&next)[N]) {
    typedef typename V::vec vec;
    const vec bound = V::adds8(mp, p2), guard = V::set1(255);
    for (int k = 0; k < N; ++k) {
        const vec below = V::shiftUp(prev[k], k > 0 ? prev[k - 1] : guard),
                  above = V::shiftDown(prev[k], k + 1 < N ? prev[k + 1] : guard);
        const vec t = V::min8(V::min8(prev[k], bound), V::adds8(V::min8(below, above), p1));
        next[k] = V::adds8(cost[k], V::subs8(t, mp));
    }
    return lowestOf<V, N>(next);
}

// One step of a path along the row, its state replaced by this pixel's.
// The minimum is the step's critical chain: it stays in vector lanes rather
// than taking a trip through a scalar register and back.
template <class V, int N>
__attribute__((always_inline)) inline void alongStep(const typename V::vec (&cost)[N],
                                                     typename V::vec (&prev)[N], typename V::vec &mp,
                                                     typename V::vec p2, typename V::vec p1) {
    typename V::vec next[N];
    const typename V::vec lowest = stepLanes<V, N>(cost, prev, mp, p2, p1, next);
    for (int k = 0; k < N; ++k)
        prev[k] = next[k];
    mp = V::minAll8(lowest);
}

template <class V, int N>
__attribute__((always_inline)) inline void alongPixel(const uint8_t *cost, typename V::vec (&prev)[N],
                                                      typename V::vec &mp, typename V::vec p2,
                                                      typename V::vec p1, uint8_t *total) {
    typename V::vec c[N];
    for (int k = 0; k < N; ++k)
        c[k] = V::load(cost + k * V::bytes);
    alongStep<V, N>(c, prev, mp, p2, p1);
    for (int k = 0; k < N; ++k)
        addTo<V>(total + k * V::bytes, total + k * V::bytes, prev[k]);
}

template <class V, int N>
__attribute__((always_inline)) inline void alongStart(const uint8_t *cost, typename V::vec (&prev)[N],
                                                      typename V::vec &mp, uint8_t *total) {
    typename V::vec lowest = V::set1(255);
    for (int k = 0; k < N; ++k) {
        prev[k] = V::load(cost + k * V::bytes);
        addTo<V>(total + k * V::bytes, total + k * V::bytes, prev[k]);
        lowest = V::min8(lowest, prev[k]);
    }
    mp = V::minAll8(lowest);
}

// Both paths along the row at once, rightwards reaching pixel i while
// leftwards reaches last - i, for R rows side by side: each path is a chain
// of dependent steps, and two chains (one row) still leave the CPU waiting
// on their latency; four (two rows) keep it busier. Nothing else shares the
// loop: deciding pixels in it, even without branches, only crowded the
// chains and was slower than a second pass.
template <class V, int N, int R>
void alongRowsRegisters(const uint8_t *const *cost, uint8_t *const *total, int width, int Dp, int P1,
                        int P2) {
    typedef typename V::vec vec;
    const int last = width - 1;
    const vec p1 = V::set1(uint8_t(P1)), p2 = V::set1(uint8_t(P2));
    vec r[R][N], l[R][N], mr[R], ml[R];
    for (int k = 0; k < R; ++k) {
        alongStart<V, N>(cost[k], r[k], mr[k], total[k]);
        alongStart<V, N>(cost[k] + size_t(last) * Dp, l[k], ml[k], total[k] + size_t(last) * Dp);
    }
    for (int i = 1; i < width; ++i) {
        const size_t at = size_t(i) * Dp, back = size_t(last - i) * Dp;
#pragma GCC unroll 2
        for (int k = 0; k < R; ++k) {
            alongPixel<V, N>(cost[k] + at, r[k], mr[k], p2, p1, total[k] + at);
            alongPixel<V, N>(cost[k] + back, l[k], ml[k], p2, p1, total[k] + back);
        }
    }
}

// Whether two rows' paths along the row, N vectors each with their minima,
// fit in the build's registers with the constants beside them.
template <class V, int N> constexpr bool pairsInRegisters() {
    return V::shiftsInRegisters && N > 0 && 4 * (N + 1) + 6 <= V::registers;
}

// Each pixel of a row whose total holds all its paths decided, then the
// left-right check. Where the range fills its N vectors (as a narrowed
// search always does), D is known when compiling and the tests for lanes
// past it drop out of every pixel's count. Not in the builds with 32
// registers, which count sixteen pixels' rivals at once: a second copy of
// that grew their object by a tenth and their sanitizer build by more, for
// a gain not measured there.
template <class V, int N, bool Full>
void decideRowOf(const uint8_t *total, int width, int D, int Dp, const UniquenessThresholds &thresholds,
                 uint32_t *scratch, int16_t *disparity16) {
    if constexpr (Full) D = N * V::bytes;
    uint32_t *bestCost = scratch + 2 * width;
    int x = 0;
    // The AVX2 and AVX-512 builds count each pixel's rivals, then decide
    // sixteen pixels at once, eight 32-bit lanes at a time: the rest of the
    // decision is a chain of selects and table look-ups that took more than
    // half of its time.
    // A group is decided once the next one is counted: its rivals, stored a
    // field at a time, are read back as vectors, which must wait until the
    // stores have reached the cache (read at once, they stalled the loop).
    if constexpr (V::decidesSixteen) {
        RivalsOfSixteen sixteen[2];
        for (; x + 16 <= width; x += 16) {
            RivalsOfSixteen &now = sixteen[(x >> 4) & 1];
            if constexpr (N > 0 && V::countsSixteen)
                V::template rivalsOfSixteen<N>(total + size_t(x) * Dp, D, thresholds, now);
            else
                for (int i = 0; i < 16; ++i)
                    now.set(i, rivalsOf<V, N>(total + size_t(x + i) * Dp, D, Dp, thresholds));
            if (x >= 16)
                V::decideSixteen(sixteen[((x >> 4) & 1) ^ 1], x - 16, D, bestCost + x - 16,
                                 disparity16 + x - 16);
        }
        if (x >= 16)
            V::decideSixteen(sixteen[((x >> 4) & 1) ^ 1], x - 16, D, bestCost + x - 16, disparity16 + x - 16);
    }
    for (; x < width; ++x)
        disparity16[x] = decidePixel<V, N>(total + size_t(x) * Dp, x, D, Dp, thresholds, bestCost[x]);
    LeftRightCheck<V>::run(bestCost, width, scratch, disparity16);
}

template <class V, int N>
void decideRow(const uint8_t *total, int width, int D, int Dp, const UniquenessThresholds &thresholds,
               uint32_t *scratch, int16_t *disparity16) {
    if constexpr (N > 0 && V::registers < 32)
        if (D == N * V::bytes)
            return decideRowOf<V, N, true>(total, width, D, Dp, thresholds, scratch, disparity16);
    decideRowOf<V, N, false>(total, width, D, Dp, thresholds, scratch, disparity16);
}

// A vertical path's step and one path along the row in one pass over the
// row, each pixel's costs made from the census once for both: rightwards in
// the first pass, which keeps the sum of the two (`keep`), leftwards in the
// second, which adds both to the kept sum (`sums`) into `total`. The path
// along the row is a chain of dependent steps; the vertical step's
// independent work fills the time each step waits on the one before. With R
// rows (consecutive in the pass's direction) each pixel is stepped in every
// row, the vertical path handed from one to the next in registers: R chains
// along the rows at once, for the ranges where one leaves the CPU waiting.
// Only the last row's vertical path goes to `out`. Without `prev` the
// vertical path starts at the first row.
template <class V, int N, bool First, int R>
void costPathAlongRowsN(const AlongRows &rows, int planeStride, int D, const uint8_t *prev,
                        const uint8_t *prevMin, int width, int P1, int P2, uint8_t *out, uint8_t *outMin) {
    typedef typename V::vec vec;
    constexpr int dp = N * V::bytes;
    const PastLanes<V, N> past(D);
    const vec outside = V::set1(kOutsideCost), p1 = V::set1(uint8_t(P1)), p2 = V::set1(uint8_t(P2));
    const EdgeLanes<V> edges = edgeLanes<V>();
    vec along[R][N] = {}, alongMin[R] = {};
    constexpr size_t ahead = 4096;
    // The second pass decides the rows. Where one row's chain along it
    // leaves the loop waiting (three 32-byte vectors: 96 disparities), each
    // pixel is decided as its sum is complete, its rivals counted from the
    // sum's vectors in registers (640 x 360 x 96 4 % less time); elsewhere
    // that only crowded the loop (64 disparities on two rows 14 % more, 128
    // 2 %), and the rows are decided after it. AVX2's sixteen registers
    // cannot hold the sum beside the paths: deciding in its loop took 12 %
    // more time at 1280 x 720 x 96. Sixteen pixels on whole multiples of
    // sixteen are decided at once; those above the last such group, the
    // first this pass reaches, one by one.
    constexpr bool decidesInLoop = !First && R == 1 && V::bytes == 32 && N == 3 && V::registers >= 32;
    const UniquenessThresholds &thresholds = UniquenessThresholds::of(rows.uniqueness);
    RivalsOfSixteen sixteen[First ? 1 : R][2]; // a group is decided once the next one is counted
    const int wholeSixteens = width & ~15;
    // The rows' pointers held apart from `rows`: the loop's byte stores
    // may alias anything, so read through `rows` they were loaded again
    // after every store.
    uint8_t *keepOf[R], *totalOf[R];
    const uint8_t *sumsOf[R];
    int16_t *disparityOf[R];
    uint32_t *bestCosts[R];
    for (int row = 0; row < R; ++row) {
        keepOf[row] = rows.keep[row];
        totalOf[row] = rows.total[row];
        sumsOf[row] = rows.sums[row];
        disparityOf[row] = rows.disparity16[row];
        bestCosts[row] = rows.scratch + size_t(2 + row) * size_t(width);
    }
    auto bestCostOf = [&](int row) { return bestCosts[row]; };
    // Each of the left pixel's census bytes is broadcast to a whole vector.
    // From a byte that takes the shuffle port, which the steps' permutes and
    // folds keep busy; from a word it is a load alone. So the rows' left
    // census is spread to words (each byte four times) before the loop
    // (640 x 360 x 64 6 % less time).
    // Builds that count bits by nibble tables instead split both rows'
    // census into nibbles: the left into offsets of rows of kNibbleCounts,
    // the right into values (the whole plane stride: a pixel's vectors read
    // past the row).
    // (Their buffers and the right census rows also held apart, as above.)
    const int spreadStride = (width + 15) & ~15;
    const size_t nibbleRow = nibbleRowBytes(width);
    uint8_t *const nibbles = rows.nibbles;
    uint32_t *const spread = rows.spread;
    const uint8_t *rightOf[R];
    for (int row = 0; row < R; ++row)
        rightOf[row] = rows.rightMirrored[row];
    auto leftNibbles = [&](int row) { return nibbles + row * nibbleRow; };
    auto rightNibbles = [&](int row) { return nibbles + row * nibbleRow + nibbleOffsetBytes(width); };
    for (int row = 0; row < R; ++row) {
        if constexpr (V::countsByNibbles) {
            V::nibbleOffsets(rows.left[row], planeStride, width, leftNibbles(row));
            for (int p = 0; p < kCensusPlanes; ++p) {
                uint8_t *right = rightNibbles(row) + size_t(2 * p) * kNibblePlaneStride;
                V::nibbles(rows.rightMirrored[row] + p * planeStride, planeStride, right,
                           right + kNibblePlaneStride);
            }
        } else {
            for (int p = 0; p < kCensusPlanes; ++p) {
                const uint8_t *from = rows.left[row] + p * planeStride;
                uint32_t *to = spread + size_t(row * kCensusPlanes + p) * spreadStride;
                for (int x = 0; x < width; ++x)
                    to[x] = from[x] * 0x01010101u;
            }
        }
    }
    auto leftWord = [&](int row, int p, int x) {
        return spread + size_t(row * kCensusPlanes + p) * spreadStride + size_t(x);
    };
    auto decideAt = [&](int row, int x, const vec(&total)[N], int packed) __attribute__((always_inline)) {
        const Rivals r = rivalsOf<V, N>(totalOf[row] + size_t(x) * dp, D, dp, thresholds, total, packed);
        if (!V::decidesSixteen || x >= wholeSixteens) {
            bestCostOf(row)[x] = uint32_t(r.m);
            disparityOf[row][x] = decideFrom(r, x, D);
            return;
        }
        if constexpr (V::decidesSixteen) {
            sixteen[row][(x >> 4) & 1].set(x & 15, r);
            if ((x & 15) == 0 && x + 16 < wholeSixteens)
                V::decideSixteen(sixteen[row][((x >> 4) & 1) ^ 1], x + 16, D, bestCostOf(row) + x + 16,
                                 disparityOf[row] + x + 16);
        }
    };
    // Each pixel's minimum is found as its sum is complete, but where the
    // registers hold the sum a pixel longer, the rest of its decision, which
    // waits on that minimum, runs a pixel later (640 x 360 x 96 1-2 % less
    // time; with AVX2's sixteen registers 1-3 % more).
    constexpr bool lagsDecisions = decidesInLoop && V::registers >= 32;
    vec lagged[N];
    int laggedPacked = 0, laggedX = -1;
    auto decide = [&](int row, int x, const vec(&total)[N]) __attribute__((always_inline)) {
        if constexpr (!lagsDecisions) {
            decideAt(row, x, total, -1);
        } else {
            const int packed = V::template argmin<N>(total);
            if (laggedX >= 0) decideAt(row, laggedX, lagged, laggedPacked);
            for (int k = 0; k < N; ++k)
                lagged[k] = total[k];
            laggedPacked = packed;
            laggedX = x;
        }
    };
    // Pixel x's step in every row; returns the minimum of the last row's
    // vertical path costs in every lane that holds one. `starts` is
    // std::true_type at the row's first pixel, where the paths along the row
    // start: known when compiling, it keeps their state out of memory.
    // `clear` is std::true_type where x is known to reach no lane past the
    // right image's edge (x + 1 >= D), which leaves the test out of each
    // vector's costs.
    // Sixteen registers do not hold N vectors each of a pixel's costs,
    // vertical steps and steps along the row: there the path along the row
    // goes first, then the vertical path a vector at a time, each summed and
    // stored as it is made (at 128 disparities a pixel's stack traffic fell
    // from 28 loads and stores to 12). Thirty-two spill nothing: there the
    // order stays as it was.
    constexpr bool alongFirst = V::registers < 32;
    auto pixel = [&](int x, auto starts, auto clear) __attribute__((always_inline)) {
        const size_t at = size_t(x) * dp;
        const bool edge = !decltype(clear)::value && x + 1 < D;
        vec vertical[N], lowest = V::zero();
        // Unrolled, each row's state along the row has registers of its own;
        // indexed by a loop counter, the second pass kept the two rows'
        // minima on the stack, a store and a load in every step's chain.
#pragma GCC unroll 4
        for (int row = 0; row < R; ++row) {
            vec cost[N];
            if constexpr (V::countsByNibbles) {
                const uint8_t *r = rightNibbles(row) + (width - 1 - x), *offsets = leftNibbles(row) + 8 * x;
                vec counts[2 * kCensusPlanes];
                for (int q = 0; q < 2 * kCensusPlanes; ++q)
                    counts[q] = V::broadcast16(kNibbleCounts.of[0] + offsets[q]);
                for (int k = 0; k < N; ++k)
                    cost[k] = nibbleCostLanes<V>(r + k * V::bytes, counts, past(k * V::bytes), edge,
                                                 x + 1 - k * V::bytes, outside, k + 1 == N);
            } else {
                const uint8_t *r = rightOf[row] + (width - 1 - x);
                vec l[kCensusPlanes];
                for (int p = 0; p < kCensusPlanes; ++p)
                    l[p] = V::set1Word(leftWord(row, p, x));
                for (int k = 0; k < N; ++k)
                    cost[k] = costLanes<V>(r + k * V::bytes, l, planeStride, past(k * V::bytes), edge,
                                           x + 1 - k * V::bytes, outside, k + 1 == N);
            }
            auto alongRow = [&]() __attribute__((always_inline)) {
                if constexpr (decltype(starts)::value) {
                    for (int k = 0; k < N; ++k)
                        along[row][k] = cost[k];
                    alongMin[row] = V::minAll8(lowestOf<V, N>(cost));
                } else {
                    alongStep<V, N>(cost, along[row], alongMin[row], p2, p1);
                }
                if (!First && at >= ahead)
                    for (int i = 0; i < dp; i += 64)
                        __builtin_prefetch(sumsOf[row] + (at - ahead) + size_t(i));
            };
            vec total[N];
            auto sum = [&](int k) __attribute__((always_inline)) {
                const size_t lane = at + k * V::bytes;
                const vec both = V::adds8(vertical[k], along[row][k]);
                if (First) {
                    V::stream(keepOf[row] + lane, both);
                } else {
                    total[k] = V::adds8(V::load(sumsOf[row] + lane), both);
                    V::store(totalOf[row] + lane, total[k]);
                }
                if (alongFirst && row + 1 == R) V::store(out + lane, vertical[k]);
            };
            if constexpr (alongFirst) alongRow();
            if (row > 0) {
                vec from[N];
                for (int k = 0; k < N; ++k)
                    from[k] = vertical[k];
                lowest = stepLanes<V, N>(cost, from, V::minAll8(lowest), p2, p1, vertical);
                if constexpr (alongFirst)
                    for (int k = 0; k < N; ++k)
                        sum(k);
            } else if (prev) {
                const vec mp = V::set1(prevMin[x]), bound = V::adds8(mp, p2);
                for (int k = 0; k < N; ++k) {
                    vertical[k] =
                        stepFrom<V>(cost[k], prev + at + k * V::bytes, mp, bound, p1,
                                    k == 0 ? edges.low : V::zero(), k + 1 == N ? edges.high : V::zero());
                    lowest = k == 0 ? vertical[0] : V::min8(lowest, vertical[k]);
                    if constexpr (alongFirst) sum(k);
                }
            } else {
                for (int k = 0; k < N; ++k) {
                    vertical[k] = cost[k];
                    lowest = k == 0 ? vertical[0] : V::min8(lowest, vertical[k]);
                    if constexpr (alongFirst) sum(k);
                }
            }
            if constexpr (!alongFirst) {
                alongRow();
                for (int k = 0; k < N; ++k)
                    sum(k);
            }
            if constexpr (decidesInLoop) decide(row, x, total);
        }
        if constexpr (!alongFirst)
            for (int k = 0; k < N; ++k)
                V::store(out + at + k * V::bytes, vertical[k]);
        return lowest;
    };
    // The first pass runs rightwards, the second leftwards; the vertical
    // minima of four pixels are folded at once where the build can.
    const int last = width - 1;
    auto xOf = [&](int i) { return First ? i : last - i; };
    int i = 0;
    const std::true_type starts, clear;
    const std::false_type goesOn, unclear;
    if constexpr (V::foldsFour) {
        // These builds keep the test in their groups of four: a second copy
        // of the groups' unrolled body is a large part of these kernels'
        // compile (their sanitizer build is the longest step of CI).
        for (; i + 4 <= width; i += 4) {
            vec lowest[4];
            if (i == 0)
                lowest[First ? 0 : 3] = pixel(xOf(0), starts, unclear);
            else
                lowest[First ? 0 : 3] = pixel(xOf(i), goesOn, unclear);
#pragma GCC unroll 3
            for (int j = 1; j < 4; ++j)
                lowest[First ? j : 3 - j] = pixel(xOf(i + j), goesOn, unclear);
            V::hmin8x4(lowest, outMin + (First ? i : last - i - 3));
        }
    }
    if (i == 0 && width > 0) {
        outMin[xOf(0)] = V::hmin8(pixel(xOf(0), starts, unclear));
        i = 1;
    }
    auto pixels = [&](int from, int to, auto clearOfEdge) __attribute__((always_inline)) {
        for (int j = from; j < to; ++j)
            outMin[xOf(j)] = V::hmin8(pixel(xOf(j), goesOn, clearOfEdge));
    };
    if constexpr (V::foldsFour) {
        pixels(i, width, unclear);
    } else {
        // Only the first D - 1 pixels can reach past the edge: in this pass's
        // order those from edgeFrom to edgeTo. The others' steps are compiled
        // without the test (it was a compare and a branch a vector).
        const int edgePixels = std::clamp(D - 1, 0, width);
        const int edgeFrom = First ? 0 : width - edgePixels, edgeTo = First ? edgePixels : width;
        const int edgeStart = std::max(i, edgeFrom), edgeEnd = std::max(edgeStart, edgeTo);
        pixels(i, edgeStart, clear);
        pixels(edgeStart, edgeEnd, unclear);
        pixels(edgeEnd, width, clear);
    }
    if (First) {
        V::streamed();
    } else {
        for (int row = 0; row < R; ++row)
            if constexpr (decidesInLoop) {
                if (laggedX >= 0) decideAt(row, laggedX, lagged, laggedPacked);
                if constexpr (V::decidesSixteen)
                    if (wholeSixteens > 0)
                        V::decideSixteen(sixteen[row][0], 0, D, bestCostOf(row), rows.disparity16[row]);
                LeftRightCheck<V>::run(bestCostOf(row), width, rows.scratch, rows.disparity16[row]);
            } else
                decideRow<V, N>(rows.total[row], width, D, dp, thresholds, rows.scratch,
                                rows.disparity16[row]);
    }
}

// Two rows at once where the range is one vector: one row's work per pixel
// is then too little to cover its chain along the row (640 x 360 x 64 4 %
// less time; at two vectors, 12 % more: their state no longer fits in the
// registers).
template <class V, int N> constexpr bool alongTwoRows() {
    return N == 1;
}

template <class V>
void costPathAlongRowsT(const AlongRows &rows, int planeStride, int D, const uint8_t *prev,
                        const uint8_t *prevMin, int width, int Dp, int P1, int P2, uint8_t *out,
                        uint8_t *outMin) {
    withVectorCount<V>(Dp, [&](auto n) {
        constexpr int N = decltype(n)::value;
        if constexpr (N > 0) {
            const bool first = rows.keep[0] != nullptr;
            if constexpr (alongTwoRows<V, N>()) {
                if (rows.count == 2) {
                    if (first)
                        costPathAlongRowsN<V, N, true, 2>(rows, planeStride, D, prev, prevMin, width, P1, P2,
                                                          out, outMin);
                    else
                        costPathAlongRowsN<V, N, false, 2>(rows, planeStride, D, prev, prevMin, width, P1, P2,
                                                           out, outMin);
                    return;
                }
            }
            if (first)
                costPathAlongRowsN<V, N, true, 1>(rows, planeStride, D, prev, prevMin, width, P1, P2, out,
                                                  outMin);
            else
                costPathAlongRowsN<V, N, false, 1>(rows, planeStride, D, prev, prevMin, width, P1, P2, out,
                                                   outMin);
        }
    });
}

template <class V> int alongRowsAtOnceT(int Dp, int planeStride) {
    int rows = 0;
    if (V::countsByNibbles && planeStride > kNibblePlaneStride) return 0;
    withVectorCount<V>(Dp, [&](auto n) {
        constexpr int N = decltype(n)::value;
        if constexpr (N > 0 && V::shiftsInRegisters) rows = alongTwoRows<V, N>() ? 2 : 1;
    });
    return rows;
}

template <class V>
void finishRowT(const uint8_t *cost, uint8_t *total, int width, int D, int Dp, int P1, int P2, int uniqueness,
                uint8_t *rightwards, uint8_t *leftwards, uint32_t *scratch, int16_t *disparity16) {
    const UniquenessThresholds &thresholds = UniquenessThresholds::of(uniqueness);
    withVectorCount<V>(Dp, [&](auto n) {
        // Only builds that shift lanes in registers keep a pixel's vectors there.
        constexpr int N = V::shiftsInRegisters ? decltype(n)::value : 0;
        if constexpr (N > 0) {
            alongRowsRegisters<V, N, 1>(&cost, &total, width, Dp, P1, P2);
        } else {
            // The paths in memory, each reading its previous pixel back.
            const int last = width - 1;
            auto at = [&](uint8_t *row, int x) { return row + size_t(x) * Dp; };
            auto costAt = [&](int x) { return cost + size_t(x) * Dp; };
            const EdgeLanes<V> edges = edgeLanes<V>();
            uint8_t mr = startPixel<V>(costAt(0), Dp, at(rightwards, 0), nullptr, at(total, 0), at(total, 0));
            uint8_t ml = startPixel<V>(costAt(last), Dp, at(leftwards, last), nullptr, at(total, last),
                                       at(total, last));
            for (int i = 1; i < width; ++i) {
                const int j = last - i;
                mr = pathPixel<V>(costAt(i), at(rightwards, i - 1), mr, Dp, P1, P2, at(rightwards, i),
                                  nullptr, at(total, i), at(total, i), edges);
                ml = pathPixel<V>(costAt(j), at(leftwards, j + 1), ml, Dp, P1, P2, at(leftwards, j), nullptr,
                                  at(total, j), at(total, j), edges);
            }
        }
        decideRow<V, N>(total, width, D, Dp, thresholds, scratch, disparity16);
    });
}

template <class V>
void finishRowPairT(const uint8_t *const cost[2], uint8_t *const total[2], int width, int D, int Dp, int P1,
                    int P2, int uniqueness, uint8_t *rightwards, uint8_t *leftwards, uint32_t *scratch,
                    int16_t *const disparity16[2]) {
    withVectorCount<V>(Dp, [&](auto n) {
        constexpr int N = decltype(n)::value;
        if constexpr (pairsInRegisters<V, N>()) {
            alongRowsRegisters<V, N, 2>(cost, total, width, Dp, P1, P2);
            const UniquenessThresholds &thresholds = UniquenessThresholds::of(uniqueness);
            for (int k = 0; k < 2; ++k)
                decideRow<V, N>(total[k], width, D, Dp, thresholds, scratch, disparity16[k]);
        } else {
            for (int k = 0; k < 2; ++k)
                finishRowT<V>(cost[k], total[k], width, D, Dp, P1, P2, uniqueness, rightwards, leftwards,
                              scratch, disparity16[k]);
        }
    });
}

} // namespace
} // namespace twl
