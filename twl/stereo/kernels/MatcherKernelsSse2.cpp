// The matcher's kernels for any x86-64 CPU (SSE2).
#include "twl/stereo/kernels/MatcherKernelsImpl.h"

namespace twl {

const MatcherKernels &baselineMatcherKernels() {
    static const MatcherKernels kernels = {
        "sse2",           32,      false,   censusT<Sse2>, costRowT<Sse2>, pathRowT<Sse2>,
        finishRowT<Sse2>, nullptr, nullptr, nullptr,       nullptr};
    return kernels;
}

} // namespace twl
