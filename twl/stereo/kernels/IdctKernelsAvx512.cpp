#include "twl/stereo/kernels/IdctKernelsImpl.h"
#include "twl/stereo/kernels/SimdChoice.h"

#include <immintrin.h>

// GCC 12 takes the undefined source of its own 512-bit unpacks and inserts
// for an uninitialised value once they are inlined.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"

namespace twl {
namespace {

// Four blocks, one in each quarter of a register.
struct Ops {
    using Vector = __m512i;
    static __m512i set(int16_t x) { return _mm512_set1_epi16(x); }
    static __m512i add(__m512i a, __m512i b) { return _mm512_add_epi16(a, b); }
    static __m512i sub(__m512i a, __m512i b) { return _mm512_sub_epi16(a, b); }
    static __m512i mullo(__m512i a, __m512i b) { return _mm512_mullo_epi16(a, b); }
    static __m512i mulhi(__m512i a, __m512i b) { return _mm512_mulhi_epi16(a, b); }
    static __m512i times4(__m512i a) { return _mm512_slli_epi16(a, 2); }
    static __m512i descale(__m512i a) { return _mm512_srai_epi16(a, 5); }
    static __m512i packs(__m512i a, __m512i b) { return _mm512_packs_epi16(a, b); }
    static __m512i centre(__m512i a) { return _mm512_add_epi8(a, _mm512_set1_epi8(char(-128))); }
    static __m512i unpacklo16(__m512i a, __m512i b) { return _mm512_unpacklo_epi16(a, b); }
    static __m512i unpackhi16(__m512i a, __m512i b) { return _mm512_unpackhi_epi16(a, b); }
    static __m512i unpacklo32(__m512i a, __m512i b) { return _mm512_unpacklo_epi32(a, b); }
    static __m512i unpackhi32(__m512i a, __m512i b) { return _mm512_unpackhi_epi32(a, b); }
    static __m512i unpacklo64(__m512i a, __m512i b) { return _mm512_unpacklo_epi64(a, b); }
    static __m512i unpackhi64(__m512i a, __m512i b) { return _mm512_unpackhi_epi64(a, b); }
    // Row r of each block's coefficients or multipliers.
    static __m512i rows(const IdctBlock *blocks, int r, const int16_t *IdctBlock::*table) {
        auto row = [&](int i) {
            return _mm_loadu_si128(reinterpret_cast<const __m128i *>(blocks[i].*table + 8 * r));
        };
        const __m512i low =
            _mm512_castsi256_si512(_mm256_inserti128_si256(_mm256_castsi128_si256(row(0)), row(1), 1));
        return _mm512_inserti64x4(low, _mm256_inserti128_si256(_mm256_castsi128_si256(row(2)), row(3), 1), 1);
    }
    // Rows r and r + 1 of each block's samples, as the packs leave them.
    static void store(const IdctBlock *blocks, int r, __m512i bytes) {
        const __m256i halves[2] = {_mm512_castsi512_si256(bytes), _mm512_extracti64x4_epi64(bytes, 1)};
        for (int i = 0; i < 4; ++i) {
            const __m128i lane =
                i & 1 ? _mm256_extracti128_si256(halves[i >> 1], 1) : _mm256_castsi256_si128(halves[i >> 1]);
            const IdctBlock &block = blocks[i];
            _mm_storel_epi64(reinterpret_cast<__m128i *>(block.rows[r] + block.column), lane);
            _mm_storeh_pd(reinterpret_cast<double *>(block.rows[r + 1] + block.column),
                          _mm_castsi128_pd(lane));
        }
    }
};

void idctQuad(const IdctBlock *blocks) {
    idct::transform<Ops>(blocks);
}

} // namespace

IdctBlocks avx512IdctQuad() {
    return avx512RowKernelsRun() ? idctQuad : nullptr;
}

} // namespace twl
