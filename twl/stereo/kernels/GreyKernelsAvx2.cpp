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

} // namespace

GreyRow avx2GreyRow() {
    return avx2RowKernelsRun() ? greyRow : nullptr;
}

} // namespace twl
