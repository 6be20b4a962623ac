#pragma once
// The matcher's inner loops, built five times: a plain scalar reference, the
// x86-64 baseline (SSE2), AVX2, and AVX-512 on 64-byte and on 32-byte
// vectors. The vector builds give the same bytes as the reference; the
// matcher picks one at run time.
//
// Layouts shared by all builds (D disparities, Dp = D rounded up to the
// build's `lanes`, 32 or 64, so that no build needs a part-vector tail):
//  - census: per image row, kCensusPlanes byte planes of `planeStride` bytes;
//    bit b of plane p is neighbour 8p + b of the sparse 7 x 7 window (the
//    24 pixels whose offsets dx + dy are odd, raster order) being darker than
//    the centre by more than kCensusThreshold. The right image's census is stored mirrored (column W - 1 - x
//    holds pixel x).
//  - cost row: Dp bytes per pixel; lanes >= D hold 255, disparities beyond
//    the left edge of the right image (d > x) hold kOutsideCost.
//  - path row (and the sums of paths): Dp bytes per pixel, nothing between
//    pixels; the byte before the row and the byte after it must be readable
//    (the kernels read one byte past either end; what they find there, or in
//    a neighbouring pixel, never counts). The paths kept for a whole band are
//    kept small this way, and on cache lines no vector straddles two.
//
// Everything stays in bytes: a path cost is at most a cost plus P2, so with
// P2 <= kMaxP2 the sum of all four paths stays below 255, and lanes past D
// (255 in every path) saturate and never win.

#include <cstddef>
#include <cstdint>

namespace twl {

// A 7 x 7 window's 24 pixels cost a quarter fewer instructions a cost
// vector than a 9 x 7 window's 32 (three byte planes, not four): 7-8 % of
// the matcher's time, at the same error rate on the virtual camera and on
// a real pair with its ground truth, with the penalties scaled to the
// smaller costs.
constexpr int kCensusRadiusX = 3, kCensusRadiusY = 3;
// The window's pixels whose offsets dx + dy are odd: one more than half of
// them where its corners are odd, one fewer where they are even.
constexpr int kCensusBits =
    ((2 * kCensusRadiusX + 1) * (2 * kCensusRadiusY + 1) + ((kCensusRadiusX + kCensusRadiusY) % 2 ? 1 : -1)) /
    2;
constexpr int kCensusPlanes = kCensusBits / 8;
static_assert(kCensusBits % 8 == 0, "the census fills whole byte planes");
constexpr uint8_t kOutsideCost = 9;
constexpr int kCensusThreshold = 2; ///< grey levels a neighbour must be darker by to set its bit
constexpr int kMaxP2 = 254 / 4 - kCensusBits;

/// The search range rounded up to whole vectors of a build (`lanes` bytes).
inline int paddedDisparities(int d, int lanes = 32) {
    return (d + lanes - 1) / lanes * lanes;
}

/// The rows of one call of MatcherKernels::costPathAlongRows.
struct AlongRows {
    int count = 1;
    const uint8_t *left[2] = {}, *rightMirrored[2] = {}; // census rows
    uint8_t *keep[2] = {};
    const uint8_t *sums[2] = {};
    uint8_t *total[2] = {};
    int16_t *disparity16[2] = {};
    uint32_t *scratch = nullptr; // (2 + count) * width words
    uint32_t *spread = nullptr;  // count * kCensusPlanes * (width rounded up to 16) words
    uint8_t *nibbles = nullptr;  // count * nibbleRowBytes(width) bytes, on 32 bytes
    int uniqueness = 0;
};

/// The right census's nibble planes lie this far apart in
/// AlongRows::nibbles: a constant, so that the loops address them without
/// a register each (with one each, and the left row's nibbles in planes,
/// the matcher took 4 % more time at 1280 x 720 x 96), and an odd number
/// of cache lines, so that the six planes' lines fall in different sets of
/// the cache. Builds that use them take census rows up to this long (1984
/// pixels at 96 disparities, 1952 at 128).
constexpr int kNibblePlaneStride = 33 * 64;

/// What one row of AlongRows::nibbles holds: the left census row's nibbles
/// as offsets, eight bytes a pixel (this many bytes), then the right row's
/// nibble planes.
inline size_t nibbleOffsetBytes(int width) {
    return size_t(8) * size_t((width + 15) & ~15);
}
inline size_t nibbleRowBytes(int width) {
    return nibbleOffsetBytes(width) + size_t(2 * kCensusPlanes) * kNibblePlaneStride;
}

struct MatcherKernels {
    const char *name;
    int lanes; // the range is padded to a multiple of this (Dp)
    // Whether each pass makes a row's costs again rather than keeping them
    // for the band: with a byte popcount of one instruction, or AVX2's two
    // table look-ups, that is quicker than writing them to memory and
    // reading them back (AVX2 at 1280 x 720 5-11 % less time); with SSE2's
    // shifts and masks it is slower (a quarter longer).
    bool remakesCosts;
    // Census of rows [y0, y1) of a grey image already padded by the census
    // radius on every side and biased by 0x80 (so signed compares order it);
    // `stride` is that image's row step and (x, y) = (0, 0) its first real
    // pixel. Mirrored, pixel x's census is stored in column width - 1 - x.
    void (*census)(const uint8_t *biased, int stride, int width, int y0, int y1, bool mirrored,
                   uint8_t *planes, int planeStride, int rowStride);
    // Hamming costs of one row: left census row against the mirrored right one.
    void (*costRow)(const uint8_t *left, const uint8_t *rightMirrored, int planeStride, int width, int D,
                    int Dp, uint8_t *cost);
    // One step of a vertical path from the previous row; without `prev` the
    // path starts here. Writes the row's path costs and each pixel's minimum,
    // and where `total` is given, the sum of them and `sums` into it. Where
    // `keep` is given (on a multiple of `lanes` bytes), the path costs also
    // go there, past the caches: a copy that is only read back much later.
    void (*pathRow)(const uint8_t *cost, const uint8_t *prev, const uint8_t *prevMin, int width, int Dp,
                    int P1, int P2, uint8_t *out, uint8_t *outMin, uint8_t *keep, const uint8_t *sums,
                    uint8_t *total);
    // The rest of a row once `total` holds its vertical paths: the paths
    // along the row, left to right and right to left, are added to it, then
    // each pixel is decided: winner take all with uniqueness (percent) and a
    // left-right check within one pixel;
    // disparity in 1/16 pixel, -16 where invalid. `rightwards` and
    // `leftwards` are path rows for builds that keep the
    // paths in memory; `scratch` holds 3 * width words.
    void (*finishRow)(const uint8_t *cost, uint8_t *total, int width, int D, int Dp, int P1, int P2,
                      int uniqueness, uint8_t *rightwards, uint8_t *leftwards, uint32_t *scratch,
                      int16_t *disparity16);
    // finishRow for two rows at once, each with its own cost, total and
    // disparity row: the paths along the two rows make four independent
    // chains of steps, and one row's two leave the CPU waiting on each
    // step's latency. Null where a build gains nothing from it.
    void (*finishRowPair)(const uint8_t *const cost[2], uint8_t *const total[2], int width, int D, int Dp,
                          int P1, int P2, int uniqueness, uint8_t *rightwards, uint8_t *leftwards,
                          uint32_t *scratch, int16_t *const disparity16[2]);
    // pathRow (from a previous row) with each pixel's costs made from the
    // census (as costRow makes them) as the step needs them, rather than
    // read from a row made before: stored in `cost` where the step sums
    // into `total` (the paths along the row read them), else never. Null in
    // builds that keep the costs.
    void (*costPathRow)(const uint8_t *left, const uint8_t *rightMirrored, int planeStride, int D,
                        uint8_t *cost, const uint8_t *prev, const uint8_t *prevMin, int width, int Dp, int P1,
                        int P2, uint8_t *out, uint8_t *outMin, uint8_t *keep, const uint8_t *sums,
                        uint8_t *total);
    // costPathRow on `rows.count` of a band's own rows (consecutive in the
    // pass's direction, at most `alongRowsAtOnce(Dp, planeStride)`), with a
    // path along each row run in the same loop over the pixels, from the same costs:
    // where `rows.keep` is given, rightwards, and the sum of the row's two
    // paths is kept there; otherwise leftwards, both are added to
    // `rows.sums` into `rows.total`, and each row is decided as finishRow
    // decides it into `rows.disparity16`. Without `prev` the vertical path
    // starts at the first row; `out` and `outMin` get the last row's. Null
    // in builds without it.
    void (*costPathAlongRows)(const AlongRows &rows, int planeStride, int D, const uint8_t *prev,
                              const uint8_t *prevMin, int width, int Dp, int P1, int P2, uint8_t *out,
                              uint8_t *outMin);
    // How many rows costPathAlongRows takes at once for a range and census
    // plane stride (0: it has no kernel for them).
    int (*alongRowsAtOnce)(int Dp, int planeStride);
};

const MatcherKernels &scalarMatcherKernels();
const MatcherKernels &baselineMatcherKernels();
/// Null where the CPU lacks AVX2 or POPCNT.
const MatcherKernels *avx2MatcherKernels();
/// Null where the CPU lacks AVX-512 BW, VL, BITALG or VBMI (or AVX2).
const MatcherKernels *avx512MatcherKernels();
/// The same instructions on 32-byte vectors (null where avx512MatcherKernels is).
const MatcherKernels *avx512NarrowMatcherKernels();
/// Whether the CPU runs each 64-byte operation as two 32-byte halves (AMD's
/// Zen 4), unless VANTARO_SIMD=avx512 asks for the 64-byte build wherever
/// it pads no further.
bool splitsWideVectors();
/// The widest build the CPU runs, unless VANTARO_SIMD=avx2, =baseline or
/// =scalar asks for a narrower one.
const MatcherKernels &selectMatcherKernels();

} // namespace twl
