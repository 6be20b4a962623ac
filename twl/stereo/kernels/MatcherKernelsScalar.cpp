// Plain loops: the reference the vector kernels are tested against, and the
// choice between the builds.
#include "twl/stereo/kernels/MatcherKernelsImpl.h"

#include <cstdlib>
#include <cstring>
#include <vector>

namespace twl {
namespace {

void censusScalar(const uint8_t *biased, int stride, int width, int y0, int y1, bool mirrored,
                  uint8_t *planes, int planeStride, int rowStride) {
    for (int y = y0; y < y1; ++y)
        for (int x = 0; x < width; ++x)
            censusPixel(biased + size_t(y) * stride + x, stride,
                        planes + size_t(y) * rowStride + (mirrored ? width - 1 - x : x), planeStride);
}

int popcount8(unsigned v) {
    int n = 0;
    for (; v; v &= v - 1)
        ++n;
    return n;
}

void costRowScalar(const uint8_t *left, const uint8_t *rightMirrored, int planeStride, int width, int D,
                   int Dp, uint8_t *cost) {
    for (int x = 0; x < width; ++x)
        for (int d = 0; d < Dp; ++d) {
            uint8_t &c = cost[size_t(x) * Dp + d];
            if (d >= D) {
                c = 255;
            } else if (d > x) {
                c = kOutsideCost;
            } else {
                int n = 0;
                for (int k = 0; k < kCensusPlanes; ++k)
                    n += popcount8(left[k * planeStride + x] ^
                                   rightMirrored[k * planeStride + width - 1 - x + d]);
                c = uint8_t(n);
            }
        }
}

// Lr(d) = C(d) + min(Lp(d), Lp(d +- 1) + P1, min Lp + P2) - min Lp, in
// saturating bytes; lanes past D stay 255.
uint8_t pathPixelScalar(const uint8_t *cost, const uint8_t *prev, int Dp, int P1, int P2, uint8_t *out) {
    int prevMin = 255;
    for (int d = 0; d < Dp; ++d)
        prevMin = std::min(prevMin, int(prev[d]));
    int lowest = 255;
    for (int d = 0; d < Dp; ++d) {
        int t = std::min<int>(prev[d], std::min(255, prevMin + P2));
        if (d > 0) t = std::min(t, std::min(255, prev[d - 1] + P1));
        if (d + 1 < Dp) t = std::min(t, std::min(255, prev[d + 1] + P1));
        out[d] = uint8_t(std::min(255, cost[d] + t - prevMin));
        lowest = std::min(lowest, int(out[d]));
    }
    return uint8_t(lowest);
}

uint8_t startPixelScalar(const uint8_t *cost, int Dp, uint8_t *out) {
    int lowest = 255;
    for (int d = 0; d < Dp; ++d)
        lowest = std::min(lowest, int(out[d] = cost[d]));
    return uint8_t(lowest);
}

void addPath(const uint8_t *path, int Dp, const uint8_t *sums, uint8_t *total) {
    for (int d = 0; d < Dp; ++d)
        total[d] = uint8_t(std::min(255, sums[d] + path[d]));
}

void pathRowScalar(const uint8_t *cost, const uint8_t *prev, const uint8_t *, int width, int Dp, int P1,
                   int P2, uint8_t *out, uint8_t *outMin, uint8_t *keep, const uint8_t *sums,
                   uint8_t *total) {
    for (int x = 0; x < width; ++x) {
        uint8_t *o = out + size_t(x) * Dp;
        if (!prev)
            outMin[x] = startPixelScalar(cost + size_t(x) * Dp, Dp, o);
        else
            outMin[x] = pathPixelScalar(cost + size_t(x) * Dp, prev + size_t(x) * Dp, Dp, P1, P2, o);
        if (total) addPath(o, Dp, sums + size_t(x) * Dp, total + size_t(x) * Dp);
    }
    if (keep) std::copy_n(out, size_t(width) * Dp, keep);
}

// Each right pixel keeps the left pixel that reached it with the lowest sum
// (the first on ties); a left pixel stays valid when the right pixel it
// matched holds a disparity within one pixel of its own.
void leftRightCheckScalar(const uint32_t *bestCost, int width, uint32_t *scratch, int16_t *disparity16) {
    if (width <= 0) return;
    uint32_t *rightCost = scratch, *rightDisparity = scratch + width;
    std::fill(rightCost, rightCost + width, ~0u);
    for (int x = 0; x < width; ++x) {
        const int d = (disparity16[x] + 8) >> 4;
        if (disparity16[x] >= 0 && x - d >= 0 && bestCost[x] < rightCost[x - d]) {
            rightCost[x - d] = bestCost[x];
            rightDisparity[x - d] = uint32_t(d);
        }
    }
    for (int x = 0; x < width; ++x) {
        const int d = (disparity16[x] + 8) >> 4;
        if (disparity16[x] < 0 || x - d < 0 || std::abs(int(rightDisparity[x - d]) - d) > 1)
            disparity16[x] = -16;
    }
}

void finishRowScalar(const uint8_t *cost, uint8_t *total, int width, int D, int Dp, int P1, int P2,
                     int uniqueness, uint8_t *, uint8_t *, uint32_t *scratch, int16_t *disparity16) {
    std::vector<uint8_t> path(size_t(width) * Dp);
    for (int dir : {1, -1})
        for (int i = 0; i < width; ++i) {
            const int x = dir > 0 ? i : width - 1 - i;
            uint8_t *o = path.data() + size_t(x) * Dp;
            if (i == 0)
                startPixelScalar(cost + size_t(x) * Dp, Dp, o);
            else
                pathPixelScalar(cost + size_t(x) * Dp, path.data() + size_t(x - dir) * Dp, Dp, P1, P2, o);
            addPath(o, Dp, total + size_t(x) * Dp, total + size_t(x) * Dp);
        }
    uint32_t *bestCost = scratch + 2 * width;
    for (int x = 0; x < width; ++x) {
        const uint8_t *s = total + size_t(x) * Dp;
        int best = 0;
        for (int d = 1; d < D; ++d)
            if (s[d] < s[best]) best = d;
        bool unique = true;
        for (int d = 0; d < D; ++d)
            if (std::abs(d - best) > 1 && s[d] * (100 - uniqueness) < s[best] * 100) unique = false;
        bestCost[x] = s[best];
        disparity16[x] =
            decide(best, x, D, unique, best > 0 ? s[best - 1] : 0, s[best], best + 1 < D ? s[best + 1] : 0);
    }
    leftRightCheckScalar(bestCost, width, scratch, disparity16);
}

} // namespace

const MatcherKernels &scalarMatcherKernels() {
    static const MatcherKernels kernels = {
        "scalar",        32,      false,   censusScalar, costRowScalar, pathRowScalar,
        finishRowScalar, nullptr, nullptr, nullptr,      nullptr};
    return kernels;
}

bool splitsWideVectors() {
    const char *choice = std::getenv("VANTARO_SIMD");
    if (choice && !std::strcmp(choice, "avx512")) return false;
    // Family 19h's cores with AVX-512 are Zen 4's; Zen 3, of the same family, has none.
    static const bool splits = __builtin_cpu_is("amdfam19h") && avx512MatcherKernels() != nullptr;
    return splits;
}

const MatcherKernels &selectMatcherKernels() {
    const char *choice = std::getenv("VANTARO_SIMD");
    if (choice && !std::strcmp(choice, "scalar")) return scalarMatcherKernels();
    if (choice && !std::strcmp(choice, "baseline")) return baselineMatcherKernels();
    const MatcherKernels *avx512 = avx512MatcherKernels();
    if (avx512 && !(choice && !std::strcmp(choice, "avx2"))) return *avx512;
    if (const MatcherKernels *avx2 = avx2MatcherKernels()) return *avx2;
    return baselineMatcherKernels();
}

} // namespace twl
