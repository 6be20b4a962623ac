#pragma once
// Kernel bodies written once over a small vector interface (V: load, store,
// saturating byte arithmetic, 16-bit minimum...). MatcherKernelsSse2.cpp and
// MatcherKernelsAvx2.cpp include this with their own vector types and
// compiler flags; the per-pixel scalar pieces here are shared with the
// reference so that the edges of every row are treated identically.

#include "twl/MatcherKernels.h"

#include <emmintrin.h>

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace twl {
namespace {

constexpr uint16_t kNoCost = 0x7FFF;

// The x86-64 baseline: 16 bytes, SSE2 only (no byte shuffles, no unsigned
// 16-bit minimum; sums stay below 0x7FFF so signed compares do).
struct Sse2 {
    typedef __m128i vec;
    static constexpr int bytes = 16;
    // Neighbouring lanes by two shifts and an or cost more here than
    // reloading them, even from bytes just stored.
    static constexpr bool shiftsInRegisters = false;
    static vec zero() { return _mm_setzero_si128(); }
    static vec set1(uint8_t v) { return _mm_set1_epi8(char(v)); }
    static vec set1_16(int16_t v) { return _mm_set1_epi16(v); }
    static vec load(const void *p) { return _mm_loadu_si128(static_cast<const __m128i *>(p)); }
    static void store(void *p, vec v) { _mm_storeu_si128(static_cast<__m128i *>(p), v); }
    static vec or_(vec a, vec b) { return _mm_or_si128(a, b); }
    static vec and_(vec a, vec b) { return _mm_and_si128(a, b); }
    static vec andnot_(vec a, vec b) { return _mm_andnot_si128(a, b); }
    static vec xor_(vec a, vec b) { return _mm_xor_si128(a, b); }
    static vec cmpgt8(vec a, vec b) { return _mm_cmpgt_epi8(a, b); }
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
    static vec popcount8(vec v) {
        v = _mm_sub_epi8(v, _mm_and_si128(_mm_srli_epi16(v, 1), _mm_set1_epi8(0x55)));
        v = _mm_add_epi8(_mm_and_si128(v, _mm_set1_epi8(0x33)),
                         _mm_and_si128(_mm_srli_epi16(v, 2), _mm_set1_epi8(0x33)));
        return _mm_and_si128(_mm_add_epi8(v, _mm_srli_epi16(v, 4)), _mm_set1_epi8(0x0F));
    }
    static vec min16(vec a, vec b) { return _mm_min_epi16(a, b); }
    static vec cmpeq16(vec a, vec b) { return _mm_cmpeq_epi16(a, b); }
    static vec cmpgt16(vec a, vec b) { return _mm_cmpgt_epi16(a, b); }
    static vec add16(vec a, vec b) { return _mm_add_epi16(a, b); }
    static vec sub16(vec a, vec b) { return _mm_sub_epi16(a, b); }
    static int hsum16(vec v) {
        v = _mm_add_epi16(v, _mm_srli_si128(v, 8));
        v = _mm_add_epi16(v, _mm_srli_si128(v, 4));
        v = _mm_add_epi16(v, _mm_srli_si128(v, 2));
        return _mm_cvtsi128_si32(v) & 0xFFFF;
    }
    static vec lanes16() { return _mm_setr_epi16(0, 1, 2, 3, 4, 5, 6, 7); }
    static uint16_t hmin16(vec v) {
        v = _mm_min_epi16(v, _mm_srli_si128(v, 8));
        v = _mm_min_epi16(v, _mm_srli_si128(v, 4));
        v = _mm_min_epi16(v, _mm_srli_si128(v, 2));
        return uint16_t(_mm_cvtsi128_si32(v));
    }
    static int movemask8(vec v) { return _mm_movemask_epi8(v); }
    // Byte lane d of the result is lane d - 1 of v; lane 0 the last of `before`.
    static vec shiftUp(vec v, vec before) {
        return _mm_or_si128(_mm_slli_si128(v, 1), _mm_srli_si128(before, 15));
    }
    // Byte lane d of the result is lane d + 1 of v; the last lane the first of `after`.
    static vec shiftDown(vec v, vec after) {
        return _mm_or_si128(_mm_srli_si128(v, 1), _mm_slli_si128(after, 15));
    }
    // sum[0..16) = (first ? 0 : sum) + p + q
    static void widenAdd2(vec p, vec q, uint16_t *sum, bool first) {
        const vec z = zero();
        vec lo = _mm_add_epi16(_mm_unpacklo_epi8(p, z), _mm_unpacklo_epi8(q, z)),
            hi = _mm_add_epi16(_mm_unpackhi_epi8(p, z), _mm_unpackhi_epi8(q, z));
        if (!first) {
            lo = _mm_add_epi16(lo, load(sum));
            hi = _mm_add_epi16(hi, load(sum + 8));
        }
        store(sum, lo);
        store(sum + 8, hi);
    }
    // sum[0..16) = (first ? 0 : sum) + p
    static void widenAdd(vec p, uint16_t *sum, bool first) {
        const vec z = zero();
        vec lo = _mm_unpacklo_epi8(p, z), hi = _mm_unpackhi_epi8(p, z);
        if (!first) {
            lo = _mm_add_epi16(lo, load(sum));
            hi = _mm_add_epi16(hi, load(sum + 8));
        }
        store(sum, lo);
        store(sum + 8, hi);
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
                if (dx || dy) at[j++] = {dx, dy};
    }
};
constexpr CensusTable kCensus;

// One census word of the pixel at `p` (biased grey) into the eight planes.
inline void censusPixel(const uint8_t *p, int stride, bool mirrored, uint8_t *planes, int planeStride) {
    uint8_t bytes[kCensusPlanes] = {};
    const int8_t centre = int8_t(*p);
    for (int j = 0; j < kCensusBits; ++j) {
        const CensusOffset o = kCensus.at[j];
        const int8_t n = int8_t(p[o.dy * stride + (mirrored ? -o.dx : o.dx)]);
        if (n < centre) bytes[j >> 3] |= uint8_t(1u << (j & 7));
    }
    for (int k = 0; k < kCensusPlanes; ++k)
        planes[k * planeStride] = bytes[k];
}

// Lanes a vector kernel computed from padding or from beyond the right image.
inline void fixCostEdges(int x, int D, int Dp, uint8_t *cost) {
    for (int d = x + 1; d < D; ++d)
        cost[d] = kOutsideCost;
    for (int d = D; d < Dp; ++d)
        cost[d] = 255;
}

// The decision for one pixel once its best disparity and whether that is
// unique are known: -16 where invalid, else 1/16 pixel with a parabola
// through the neighbouring sums.
inline int16_t decide(const uint16_t *s, int x, int D, int best, bool unique) {
    if (best > x || !unique) return -16;
    if (best == 0 || best == D - 1) return int16_t(best * 16);
    // A float division: an integer one here costs more than the rest of the decision.
    const int denom = std::max(int(s[best - 1]) + int(s[best + 1]) - 2 * int(s[best]), 1);
    const float offset = float(int(s[best - 1]) - int(s[best + 1])) * 8.0f / float(denom);
    return int16_t(best * 16 + int(offset + (offset < 0 ? -0.5f : 0.5f)));
}

// Left-right check: each right pixel keeps the left pixel that reached it
// with the lowest sum (the first on ties); a left pixel stays valid when the
// right pixel it matched holds a disparity within one pixel of its own.
// `scratch` holds 2 * width uint16.
inline void leftRightCheck(const uint16_t *bestCost, int width, uint16_t *scratch, int16_t *disparity16) {
    uint16_t *rightCost = scratch, *rightDisparity = scratch + width;
    std::fill(rightCost, rightCost + width, kNoCost);
    for (int x = 0; x < width; ++x) {
        if (disparity16[x] < 0) continue;
        const int d = (disparity16[x] + 8) >> 4, xr = x - d;
        if (xr >= 0 && bestCost[x] < rightCost[xr]) {
            rightCost[xr] = bestCost[x];
            rightDisparity[xr] = uint16_t(d);
        }
    }
    for (int x = 0; x < width; ++x) {
        if (disparity16[x] < 0) continue;
        const int d = (disparity16[x] + 8) >> 4, xr = x - d;
        if (xr < 0 || std::abs(int(rightDisparity[xr]) - d) > 1) disparity16[x] = -16;
    }
}

// ceil(m * 100 / (100 - uniqueness)), the lowest sum a rival may have, as
// a multiplication by a 32-bit reciprocal: exact for numerators below 2^22
// (sums stay below 2^15), and far cheaper than a division or doubles.
struct UniquenessThreshold {
    uint64_t reciprocal;
    unsigned divisor;
    explicit UniquenessThreshold(int uniqueness)
        : reciprocal((uint64_t(1) << 32) / unsigned(100 - uniqueness) + 1),
          divisor(unsigned(100 - uniqueness)) {}
    int operator()(int m) const {
        const unsigned t = unsigned((uint64_t(unsigned(m) * 100u + divisor - 1) * reciprocal) >> 32);
        return int(std::min(t, unsigned(kNoCost)));
    }
};

// The census of V::bytes pixels, one plane at a time: each bit shifted in
// from the top (a doubling) and set by subtracting the compare's -1, so that
// one accumulator is live and the unrolled loop keeps everything in registers.
template <class V, bool Mirrored>
__attribute__((always_inline)) inline void censusLanes(const uint8_t *const (&rows)[2 * kCensusRadiusY + 1],
                                                       int x, uint8_t *out, int planeStride) {
    typedef typename V::vec vec;
    const vec c = V::load(rows[kCensusRadiusY] + x);
#pragma GCC unroll 8
    for (int k = 0; k < kCensusPlanes; ++k) {
        vec acc = V::zero();
#pragma GCC unroll 8
        for (int b = 7; b >= 0; --b) {
            const int j = 8 * k + b;
            if (j >= kCensusBits) continue;
            const CensusOffset o = kCensus.at[j];
            const vec n = V::load(rows[o.dy + kCensusRadiusY] + x + (Mirrored ? -o.dx : o.dx));
            acc = V::sub8(V::add8(acc, acc), V::cmpgt8(c, n));
        }
        V::store(out + k * planeStride + x, acc);
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
            censusLanes<V, Mirrored>(rows, x, out, planeStride);
        for (; x < width; ++x)
            censusPixel(row + x, stride, Mirrored, out + x, planeStride);
    }
}

template <class V>
void censusT(const uint8_t *biased, int stride, int width, int y0, int y1, bool mirrored, uint8_t *planes,
             int planeStride, int rowStride) {
    if (mirrored)
        censusRowsT<V, true>(biased, stride, width, y0, y1, planes, planeStride, rowStride);
    else
        censusRowsT<V, false>(biased, stride, width, y0, y1, planes, planeStride, rowStride);
}

template <class V>
inline void costLanes(const uint8_t *left, const uint8_t *right, int planeStride, uint8_t *out) {
    typename V::vec acc = V::zero();
    for (int k = 0; k < kCensusPlanes; ++k) {
        const typename V::vec v = V::xor_(V::load(right + k * planeStride), V::set1(left[k * planeStride]));
        acc = V::add8(acc, V::popcount8(v));
    }
    V::store(out, acc);
}

template <class V, class H>
void costRowT(const uint8_t *left, const uint8_t *rightMirrored, int planeStride, int width, int D, int Dp,
              uint8_t *cost) {
    for (int x = 0; x < width; ++x) {
        const uint8_t *r = rightMirrored + (width - 1 - x);
        uint8_t *c = cost + size_t(x) * Dp;
        int d = 0;
        for (; d + V::bytes <= Dp; d += V::bytes)
            costLanes<V>(left + x, r + d, planeStride, c + d);
        for (; d < Dp; d += H::bytes)
            costLanes<H>(left + x, r + d, planeStride, c + d);
        if (x + 1 < D || D < Dp) fixCostEdges(x, D, Dp, c);
    }
}

template <class V>
__attribute__((always_inline)) inline typename V::vec
pathLanes(const uint8_t *cost, const uint8_t *prev, typename V::vec mp, typename V::vec bound,
          typename V::vec p1, uint8_t *out, typename V::vec lowest, uint16_t *sum, bool first,
          const uint8_t *addend) {
    const typename V::vec here = V::load(prev), below = V::load(prev - 1), above = V::load(prev + 1);
    const typename V::vec t =
        V::min8(V::min8(here, bound), V::min8(V::adds8(below, p1), V::adds8(above, p1)));
    const typename V::vec l = V::adds8(V::load(cost), V::subs8(t, mp));
    V::store(out, l);
    if (sum && addend)
        V::widenAdd2(l, V::load(addend), sum, first);
    else if (sum)
        V::widenAdd(l, sum, first);
    return V::min8(lowest, l);
}

// One path step for a pixel, its costs added to `sum` when given; returns the
// minimum of its new costs.
template <class V, class H>
__attribute__((always_inline)) inline uint8_t
pathPixel(const uint8_t *cost, const uint8_t *prev, uint8_t prevMin, int Dp, int P1, int P2, uint8_t *out,
          uint16_t *sum, bool first, const uint8_t *addend = nullptr) {
    // min(255, prevMin + P2) as a saturating add, without a trip through a scalar register.
    const typename V::vec mp = V::set1(prevMin), bound = V::adds8(mp, V::set1(uint8_t(P2)));
    typename V::vec lowest = V::set1(255);
    int d = 0;
    for (; d + V::bytes <= Dp; d += V::bytes)
        lowest = pathLanes<V>(cost + d, prev + d, mp, bound, V::set1(uint8_t(P1)), out + d, lowest,
                              sum ? sum + d : nullptr, first, addend ? addend + d : nullptr);
    uint8_t m = V::hmin8(lowest);
    if (d < Dp) {
        typename H::vec low = H::set1(255);
        for (; d < Dp; d += H::bytes)
            low = pathLanes<H>(cost + d, prev + d, H::set1(prevMin),
                               H::adds8(H::set1(prevMin), H::set1(uint8_t(P2))), H::set1(uint8_t(P1)),
                               out + d, low, sum ? sum + d : nullptr, first, addend ? addend + d : nullptr);
        m = std::min(m, H::hmin8(low));
    }
    return m;
}

template <class V, class H>
__attribute__((always_inline)) inline uint8_t startPixel(const uint8_t *cost, int Dp, uint8_t *out,
                                                         uint16_t *sum, bool first,
                                                         const uint8_t *addend = nullptr) {
    typename V::vec lowest = V::set1(255);
    int d = 0;
    for (; d + V::bytes <= Dp; d += V::bytes) {
        const typename V::vec c = V::load(cost + d);
        V::store(out + d, c);
        if (sum && addend)
            V::widenAdd2(c, V::load(addend + d), sum + d, first);
        else if (sum)
            V::widenAdd(c, sum + d, first);
        lowest = V::min8(lowest, c);
    }
    uint8_t m = V::hmin8(lowest);
    if (d < Dp) {
        const typename H::vec c = H::load(cost + d);
        H::store(out + d, c);
        if (sum && addend)
            H::widenAdd2(c, H::load(addend + d), sum + d, first);
        else if (sum)
            H::widenAdd(c, sum + d, first);
        m = std::min(m, H::hmin8(c));
    }
    return m;
}

template <class V, class H>
void pathRowT(const uint8_t *cost, const uint8_t *prev, const uint8_t *prevMin, int dx, int width, int Dp,
              int P1, int P2, uint8_t *out, uint8_t *outMin, uint16_t *sum, bool first,
              const uint8_t *addend) {
    const int stride = pathStride(Dp);
    for (int x = 0; x < width; ++x) {
        const int from = x - dx;
        const uint8_t *c = cost + size_t(x) * Dp;
        uint8_t *o = out + size_t(x) * stride;
        uint16_t *s = sum ? sum + size_t(x) * Dp : nullptr;
        const uint8_t *a = addend ? addend + size_t(x) * stride : nullptr;
        if (!prev || from < 0 || from >= width)
            outMin[x] = startPixel<V, H>(c, Dp, o, s, first, a);
        else
            outMin[x] =
                pathPixel<V, H>(c, prev + size_t(from) * stride, prevMin[from], Dp, P1, P2, o, s, first, a);
    }
}

// One step of a path along the row with the previous pixel's costs held in
// registers (`prev`, replaced by this pixel's): reading them back from memory
// right after they were stored, one byte off, stalls every step of the chain.
template <class V, int N>
__attribute__((always_inline)) inline uint8_t alongPixel(const uint8_t *cost, typename V::vec (&prev)[N],
                                                         uint8_t prevMin, int P2, typename V::vec p1,
                                                         uint8_t *out, uint16_t *sum) {
    typedef typename V::vec vec;
    const vec mp = V::set1(prevMin), bound = V::adds8(mp, V::set1(uint8_t(P2))), guard = V::set1(255);
    vec next[N], lowest = guard;
    for (int k = 0; k < N; ++k) {
        const vec below = V::shiftUp(prev[k], k > 0 ? prev[k - 1] : guard),
                  above = V::shiftDown(prev[k], k + 1 < N ? prev[k + 1] : guard);
        const vec t = V::min8(V::min8(prev[k], bound), V::min8(V::adds8(below, p1), V::adds8(above, p1)));
        next[k] = V::adds8(V::load(cost + k * V::bytes), V::subs8(t, mp));
        V::store(out + k * V::bytes, next[k]);
        V::widenAdd(next[k], sum + k * V::bytes, false);
        lowest = V::min8(lowest, next[k]);
    }
    for (int k = 0; k < N; ++k)
        prev[k] = next[k];
    return V::hmin8(lowest);
}

template <class V, int N>
void pathsAlongRowRegisters(const uint8_t *cost, int width, int Dp, int P1, int P2, uint8_t *rightwards,
                            uint8_t *leftwards, uint16_t *sum) {
    const int stride = pathStride(Dp);
    const int last = width - 1;
    typename V::vec r[N], l[N];
    uint8_t mr = startPixel<V, V>(cost, Dp, rightwards, sum, false);
    uint8_t ml = startPixel<V, V>(cost + size_t(last) * Dp, Dp, leftwards + size_t(last) * stride,
                                  sum + size_t(last) * Dp, false);
    for (int k = 0; k < N; ++k) {
        r[k] = V::load(cost + k * V::bytes);
        l[k] = V::load(cost + size_t(last) * Dp + k * V::bytes);
    }
    const typename V::vec p1 = V::set1(uint8_t(P1));
    for (int i = 1; i < width; ++i) {
        const int xr = i, xl = last - i;
        mr = alongPixel<V, N>(cost + size_t(xr) * Dp, r, mr, P2, p1, rightwards + size_t(xr) * stride,
                              sum + size_t(xr) * Dp);
        ml = alongPixel<V, N>(cost + size_t(xl) * Dp, l, ml, P2, p1, leftwards + size_t(xl) * stride,
                              sum + size_t(xl) * Dp);
    }
}

// Both paths along the row at once: two independent chains of steps keep
// the CPU busier than one.
template <class V, class H>
void pathsAlongRowT(const uint8_t *cost, int width, int Dp, int P1, int P2, uint8_t *rightwards,
                    uint8_t *leftwards, uint16_t *sum) {
    if (V::shiftsInRegisters && Dp % V::bytes == 0) {
        switch (Dp / V::bytes) {
        case 1:
            return pathsAlongRowRegisters<V, 1>(cost, width, Dp, P1, P2, rightwards, leftwards, sum);
        case 2:
            return pathsAlongRowRegisters<V, 2>(cost, width, Dp, P1, P2, rightwards, leftwards, sum);
        case 3:
            return pathsAlongRowRegisters<V, 3>(cost, width, Dp, P1, P2, rightwards, leftwards, sum);
        case 4:
            return pathsAlongRowRegisters<V, 4>(cost, width, Dp, P1, P2, rightwards, leftwards, sum);
        case 6:
            return pathsAlongRowRegisters<V, 6>(cost, width, Dp, P1, P2, rightwards, leftwards, sum);
        case 8:
            return pathsAlongRowRegisters<V, 8>(cost, width, Dp, P1, P2, rightwards, leftwards, sum);
        default:
            break;
        }
    }
    const int stride = pathStride(Dp);
    const int last = width - 1;
    auto at = [&](uint8_t *row, int x) { return row + size_t(x) * stride; };
    uint8_t mr = startPixel<V, H>(cost, Dp, rightwards, sum, false);
    uint8_t ml =
        startPixel<V, H>(cost + size_t(last) * Dp, Dp, at(leftwards, last), sum + size_t(last) * Dp, false);
    for (int i = 1; i < width; ++i) {
        const int xr = i, xl = last - i;
        mr = pathPixel<V, H>(cost + size_t(xr) * Dp, at(rightwards, xr - 1), mr, Dp, P1, P2,
                             at(rightwards, xr), sum + size_t(xr) * Dp, false);
        ml = pathPixel<V, H>(cost + size_t(xl) * Dp, at(leftwards, xl + 1), ml, Dp, P1, P2, at(leftwards, xl),
                             sum + size_t(xl) * Dp, false);
    }
}

template <class V>
void selectRowT(const uint16_t *sum, int width, int D, int Dp, int uniqueness, uint16_t *scratch,
                int16_t *disparity16) {
    constexpr int L = V::bytes / 2;
    typedef typename V::vec vec;
    uint16_t *bestCost = scratch + 2 * width;
    const UniquenessThreshold thresholdOf(uniqueness);
    for (int x = 0; x < width; ++x) {
        const uint16_t *s = sum + size_t(x) * Dp;
        vec lowest = V::load(s);
        for (int d = L; d < Dp; d += L)
            lowest = V::min16(lowest, V::load(s + d));
        const int m = V::hmin16(lowest);
        const int threshold = thresholdOf(m);
        // One pass: the first lane at the minimum (from a mask, two bits per
        // lane), and per lane how many sums lie below the uniqueness
        // threshold. Lanes past D cannot hold the minimum (their paths are all 255).
        const vec mv = V::set1_16(int16_t(m)), tv = V::set1_16(int16_t(threshold));
        vec counts = V::zero();
        int best = Dp;
        for (int d = Dp - L; d >= 0; d -= L) {
            const vec v = V::load(s + d);
            const unsigned at = unsigned(V::movemask8(V::cmpeq16(v, mv)));
            counts = V::sub16(counts, V::cmpgt16(tv, v));
            // Without a branch: where the winner lies is not predictable.
            const int found = -int(at != 0), lane = d + __builtin_ctz(at | 0x80000000u) / 2;
            best = (best & ~found) | (lane & found);
        }
        // Not unique when a sum inside the range and away from the winner's
        // neighbours is below m * 100 / (100 - uniqueness): take away the
        // lanes that may lie below it without counting.
        int allowed = (s[best] < threshold) + (best > 0 && s[best - 1] < threshold) +
                      (best + 1 < D && s[best + 1] < threshold);
        if (D < Dp && s[D] < threshold) allowed += Dp - D; // all lanes past D hold the same sum
        bestCost[x] = uint16_t(m);
        disparity16[x] = decide(s, x, D, best, V::hsum16(counts) == allowed);
    }
    leftRightCheck(bestCost, width, scratch, disparity16);
}

} // namespace
} // namespace twl
