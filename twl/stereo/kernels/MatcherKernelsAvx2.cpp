// The matcher's kernels with 32-byte vectors; this file alone is built with
// -mavx2 -mpopcnt, and nothing here runs unless the CPU reports both.
#include "twl/stereo/kernels/MatcherAvx2.h"
#include "twl/stereo/kernels/MatcherKernelsImpl.h"

#include <immintrin.h>

namespace twl {
namespace {

template <> struct LeftRightCheck<Avx2> : Avx2LeftRightCheck {};

} // namespace

const MatcherKernels *avx2MatcherKernels() {
    static const MatcherKernels kernels = {"avx2",
                                           32,
                                           true,
                                           censusT<Avx2>,
                                           costRowT<Avx2>,
                                           pathRowT<Avx2>,
                                           finishRowT<Avx2>,
                                           finishRowPairT<Avx2>,
                                           costPathRowT<Avx2>,
                                           costPathAlongRowsT<Avx2>,
                                           alongRowsAtOnceT<Avx2>};
    static const bool supported = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt");
    return supported ? &kernels : nullptr;
}

} // namespace twl
