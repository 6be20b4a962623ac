#pragma once
// The transform of IdctKernels.h for one vector width, included by the file
// built for it with `Ops` giving that width's 16-bit operations: each
// 128-bit lane holds one block's row (or column), so that every step, the
// transposes included, is that of libjpeg-turbo's SSE2 form lane by lane.

#include "twl/stereo/kernels/IdctKernels.h"

namespace twl {
namespace idct {

// The constants in 8 fractional bits, shifted so that a product's high
// half, with the other factor taken 4 times, is the product: 1.414213562,
// 1.847759065, -(2.613125930 - 1) and 1.082392200.
constexpr int16_t kF1414 = 362 * 64, kF1847 = 473 * 64, kMF1613 = -413 * 64, kF1082 = 277 * 64;

// One pass over eight vectors (the same row, or column, of each block), in
// place: libjpeg's fast algorithm, each product rounded as its SSE2 form
// rounds it, z10 and z12 taken 4 times before they are added.
template <class Ops, class V> inline __attribute__((always_inline)) void pass(V v[8]) {
    auto times = [](V x, int16_t constant) { return Ops::mulhi(Ops::times4(x), Ops::set(constant)); };
    const V tmp10 = Ops::add(v[0], v[4]), tmp11 = Ops::sub(v[0], v[4]), tmp13 = Ops::add(v[2], v[6]);
    const V tmp12 = Ops::sub(times(Ops::sub(v[2], v[6]), kF1414), tmp13);
    const V tmp0 = Ops::add(tmp10, tmp13), tmp3 = Ops::sub(tmp10, tmp13);
    const V tmp1 = Ops::add(tmp11, tmp12), tmp2 = Ops::sub(tmp11, tmp12);

    const V z13 = Ops::add(v[5], v[3]), z10 = Ops::sub(v[5], v[3]);
    const V z11 = Ops::add(v[1], v[7]), z12 = Ops::sub(v[1], v[7]);
    const V tmp7 = Ops::add(z11, z13), odd11 = times(Ops::sub(z11, z13), kF1414);
    const V z10x4 = Ops::times4(z10), z12x4 = Ops::times4(z12);
    const V z5 = Ops::mulhi(Ops::add(z10x4, z12x4), Ops::set(kF1847));
    const V odd12 = Ops::add(Ops::sub(Ops::mulhi(z10x4, Ops::set(kMF1613)), z10), z5);
    const V odd10 = Ops::sub(Ops::mulhi(z12x4, Ops::set(kF1082)), z5);
    const V tmp6 = Ops::sub(odd12, tmp7), tmp5 = Ops::sub(odd11, tmp6), tmp4 = Ops::add(odd10, tmp5);

    v[0] = Ops::add(tmp0, tmp7);
    v[7] = Ops::sub(tmp0, tmp7);
    v[1] = Ops::add(tmp1, tmp6);
    v[6] = Ops::sub(tmp1, tmp6);
    v[2] = Ops::add(tmp2, tmp5);
    v[5] = Ops::sub(tmp2, tmp5);
    v[4] = Ops::add(tmp3, tmp4);
    v[3] = Ops::sub(tmp3, tmp4);
}

// Rows to columns in each lane.
template <class Ops, class V> inline __attribute__((always_inline)) void transpose(V v[8]) {
    V a[8], b[8];
    for (int i = 0; i < 4; ++i) {
        a[2 * i] = Ops::unpacklo16(v[2 * i], v[2 * i + 1]);
        a[2 * i + 1] = Ops::unpackhi16(v[2 * i], v[2 * i + 1]);
    }
    for (int i = 0; i < 2; ++i)
        for (int j = 0; j < 2; ++j) {
            b[4 * i + 2 * j] = Ops::unpacklo32(a[4 * i + j], a[4 * i + j + 2]);
            b[4 * i + 2 * j + 1] = Ops::unpackhi32(a[4 * i + j], a[4 * i + j + 2]);
        }
    for (int i = 0; i < 4; ++i) {
        v[2 * i] = Ops::unpacklo64(b[i], b[i + 4]);
        v[2 * i + 1] = Ops::unpackhi64(b[i], b[i + 4]);
    }
}

// The blocks through both passes, descaled, saturated to signed bytes and
// centred (which wraps them to 0-255 as libjpeg's range limit does).
template <class Ops> inline __attribute__((always_inline)) void transform(const IdctBlock *blocks) {
    typename Ops::Vector v[8];
    for (int r = 0; r < 8; ++r)
        v[r] = Ops::mullo(Ops::rows(blocks, r, &IdctBlock::coefficients),
                          Ops::rows(blocks, r, &IdctBlock::multipliers));
    pass<Ops>(v); // down the columns
    transpose<Ops>(v);
    pass<Ops>(v); // along the rows
    transpose<Ops>(v);
    for (int r = 0; r < 8; r += 2)
        Ops::store(blocks, r, Ops::centre(Ops::packs(Ops::descale(v[r]), Ops::descale(v[r + 1]))));
}

} // namespace idct
} // namespace twl
