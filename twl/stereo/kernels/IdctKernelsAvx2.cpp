#include "twl/stereo/kernels/IdctKernelsImpl.h"
#include "twl/stereo/kernels/SimdChoice.h"

#include <immintrin.h>

namespace twl {
namespace {

// Two blocks, one in each half of a register.
struct Ops {
    using Vector = __m256i;
    static __m256i set(int16_t x) { return _mm256_set1_epi16(x); }
    static __m256i add(__m256i a, __m256i b) { return _mm256_add_epi16(a, b); }
    static __m256i sub(__m256i a, __m256i b) { return _mm256_sub_epi16(a, b); }
    static __m256i mullo(__m256i a, __m256i b) { return _mm256_mullo_epi16(a, b); }
    static __m256i mulhi(__m256i a, __m256i b) { return _mm256_mulhi_epi16(a, b); }
    static __m256i times4(__m256i a) { return _mm256_slli_epi16(a, 2); }
    static __m256i descale(__m256i a) { return _mm256_srai_epi16(a, 5); }
    static __m256i packs(__m256i a, __m256i b) { return _mm256_packs_epi16(a, b); }
    static __m256i centre(__m256i a) { return _mm256_add_epi8(a, _mm256_set1_epi8(char(-128))); }
    static __m256i unpacklo16(__m256i a, __m256i b) { return _mm256_unpacklo_epi16(a, b); }
    static __m256i unpackhi16(__m256i a, __m256i b) { return _mm256_unpackhi_epi16(a, b); }
    static __m256i unpacklo32(__m256i a, __m256i b) { return _mm256_unpacklo_epi32(a, b); }
    static __m256i unpackhi32(__m256i a, __m256i b) { return _mm256_unpackhi_epi32(a, b); }
    static __m256i unpacklo64(__m256i a, __m256i b) { return _mm256_unpacklo_epi64(a, b); }
    static __m256i unpackhi64(__m256i a, __m256i b) { return _mm256_unpackhi_epi64(a, b); }
    // Row r of each block's coefficients or multipliers.
    static __m256i rows(const IdctBlock *blocks, int r, const int16_t *IdctBlock::*table) {
        const auto *a = reinterpret_cast<const __m128i *>(blocks[0].*table + 8 * r);
        const auto *b = reinterpret_cast<const __m128i *>(blocks[1].*table + 8 * r);
        return _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_loadu_si128(a)), _mm_loadu_si128(b), 1);
    }
    // Rows r and r + 1 of each block's samples, as the packs leave them.
    static void store(const IdctBlock *blocks, int r, __m256i bytes) {
        const __m128i lanes[2] = {_mm256_castsi256_si128(bytes), _mm256_extracti128_si256(bytes, 1)};
        for (int i = 0; i < 2; ++i) {
            const IdctBlock &block = blocks[i];
            _mm_storel_epi64(reinterpret_cast<__m128i *>(block.rows[r] + block.column), lanes[i]);
            _mm_storeh_pd(reinterpret_cast<double *>(block.rows[r + 1] + block.column),
                          _mm_castsi128_pd(lanes[i]));
        }
    }
};

void idctPair(const IdctBlock *blocks) {
    idct::transform<Ops>(blocks);
}

} // namespace

IdctBlocks avx2IdctPair() {
    return avx2RowKernelsRun() ? idctPair : nullptr;
}

} // namespace twl
