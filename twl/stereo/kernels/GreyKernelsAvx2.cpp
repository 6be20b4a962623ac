#include "twl/stereo/kernels/GreyKernels.h"

#include "twl/stereo/kernels/SimdChoice.h"

#include <immintrin.h>

namespace twl {
namespace {

// Eight pixels' grey as 32-bit integers. Blue and red as the two 16-bit
// halves of each pixel, green and alpha likewise: one multiply-add weighs
// each pair (alpha by zero).
__m256i greyOf8(__m256i pixels) {
    const __m256i blueRed = _mm256_and_si256(pixels, _mm256_set1_epi32(0x00ff00ff));
    const __m256i greenAlpha = _mm256_srli_epi16(pixels, 8);
    const __m256i sum = _mm256_add_epi32(_mm256_madd_epi16(blueRed, _mm256_set1_epi32((9798 << 16) | 3735)),
                                         _mm256_madd_epi16(greenAlpha, _mm256_set1_epi32(19235)));
    return _mm256_srli_epi32(_mm256_add_epi32(sum, _mm256_set1_epi32(16384)), 15);
}

void greyRow(const uint8_t *bgra, int width, uint8_t *grey) {
    int x = 0;
    for (; x + 32 <= width; x += 32) {
        const auto *in = reinterpret_cast<const __m256i *>(bgra + 4 * x);
        const __m256i a = greyOf8(_mm256_loadu_si256(in)), b = greyOf8(_mm256_loadu_si256(in + 1)),
                      c = greyOf8(_mm256_loadu_si256(in + 2)), d = greyOf8(_mm256_loadu_si256(in + 3));
        // The packs work within 128-bit halves, which leaves the pixels in
        // groups of four in the order 0 2 4 6 | 1 3 5 7.
        const __m256i bytes = _mm256_packus_epi16(_mm256_packus_epi32(a, b), _mm256_packus_epi32(c, d));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(grey + x),
                            _mm256_permutevar8x32_epi32(bytes, _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7)));
    }
    for (; x < width; ++x)
        grey[x] = greyOf(bgra + 4 * x);
}

// The columns of 48 bytes (sixteen blocks) in each 128-bit half: byte i of
// channel k is source byte 3i + k, gathered from the three 16-byte loads
// that hold the half's bytes (a mask byte of -1 gives zero).
__m256i channelOf(__m256i v0, __m256i v1, __m256i v2, const int8_t (&masks)[3][16]) {
    auto mask = [](const int8_t *m) {
        return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i *>(m)));
    };
    return _mm256_or_si256(
        _mm256_or_si256(_mm256_shuffle_epi8(v0, mask(masks[0])), _mm256_shuffle_epi8(v1, mask(masks[1]))),
        _mm256_shuffle_epi8(v2, mask(masks[2])));
}

constexpr int8_t kChannels[3][3][16] = {
    {{0, 3, 6, 9, 12, 15, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1},
     {-1, -1, -1, -1, -1, -1, 2, 5, 8, 11, 14, -1, -1, -1, -1, -1},
     {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 1, 4, 7, 10, 13}},
    {{1, 4, 7, 10, 13, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1},
     {-1, -1, -1, -1, -1, 0, 3, 6, 9, 12, 15, -1, -1, -1, -1, -1},
     {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 2, 5, 8, 11, 14}},
    {{2, 5, 8, 11, 14, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1},
     {-1, -1, -1, -1, -1, 1, 4, 7, 10, 13, -1, -1, -1, -1, -1, -1},
     {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 0, 3, 6, 9, 12, 15}},
};

// Thirty-two blocks of one row: the three columns of each, the first
// sixteen blocks in the low halves, the next sixteen in the high.
void columnsOf(const uint8_t *row, __m256i (&column)[3]) {
    auto halves = [&](int at) {
        return _mm256_loadu2_m128i(reinterpret_cast<const __m128i *>(row + 48 + at),
                                   reinterpret_cast<const __m128i *>(row + at));
    };
    const __m256i v0 = halves(0), v1 = halves(16), v2 = halves(32);
    for (int k = 0; k < 3; ++k)
        column[k] = channelOf(v0, v1, v2, kChannels[k]);
}

// The same sums as the 16-byte loop of twoThirdsArea, two halves at once.
int twoThirdsRows(const uint8_t *a, const uint8_t *b, const uint8_t *c, int blocks, uint8_t *top,
                  uint8_t *bottom) {
    const __m256i zero = _mm256_setzero_si256(), four = _mm256_set1_epi16(4),
                  oneNinth = _mm256_set1_epi16(7282);
    auto ninths = [&](__m256i v) { return _mm256_mulhi_epu16(_mm256_add_epi16(v, four), oneNinth); };
    auto twice = [](__m256i v) { return _mm256_add_epi16(v, v); };
    int j = 0;
    for (; j + 32 <= blocks; j += 32) {
        __m256i ca[3], cb[3], cc[3];
        columnsOf(a + 3 * j, ca);
        columnsOf(b + 3 * j, cb);
        columnsOf(c + 3 * j, cc);
        __m256i t[2][3], u[2][3]; // [blocks 0-7 and 16-23, 8-15 and 24-31][column in the block]
        for (int i = 0; i < 3; ++i)
            for (int h = 0; h < 2; ++h) {
                auto wide = [&](__m256i v) {
                    return h ? _mm256_unpackhi_epi8(v, zero) : _mm256_unpacklo_epi8(v, zero);
                };
                const __m256i x = wide(ca[i]), y = wide(cb[i]), z = wide(cc[i]);
                t[h][i] = _mm256_add_epi16(twice(x), y);
                u[h][i] = _mm256_add_epi16(y, twice(z));
            }
        __m256i out[4][2]; // top left, top right, bottom left, bottom right pixels
        for (int h = 0; h < 2; ++h) {
            out[0][h] = ninths(_mm256_add_epi16(twice(t[h][0]), t[h][1]));
            out[1][h] = ninths(_mm256_add_epi16(t[h][1], twice(t[h][2])));
            out[2][h] = ninths(_mm256_add_epi16(twice(u[h][0]), u[h][1]));
            out[3][h] = ninths(_mm256_add_epi16(u[h][1], twice(u[h][2])));
        }
        auto store = [&](uint8_t *row, const __m256i(&left)[2], const __m256i(&right)[2]) {
            const __m256i l = _mm256_packus_epi16(left[0], left[1]),
                          r = _mm256_packus_epi16(right[0], right[1]);
            const __m256i lo = _mm256_unpacklo_epi8(l, r), hi = _mm256_unpackhi_epi8(l, r);
            _mm256_storeu_si256(reinterpret_cast<__m256i *>(row + 2 * j),
                                _mm256_permute2x128_si256(lo, hi, 0x20));
            _mm256_storeu_si256(reinterpret_cast<__m256i *>(row + 2 * j + 32),
                                _mm256_permute2x128_si256(lo, hi, 0x31));
        };
        store(top, out[0], out[1]);
        store(bottom, out[2], out[3]);
    }
    return j;
}

} // namespace

TwoThirdsRows avx2TwoThirdsRows() {
    return avx2RowKernelsRun() ? twoThirdsRows : nullptr;
}

GreyRow avx2GreyRow() {
    return avx2RowKernelsRun() ? greyRow : nullptr;
}

} // namespace twl
