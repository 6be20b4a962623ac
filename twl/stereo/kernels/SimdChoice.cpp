#include "twl/stereo/kernels/SimdChoice.h"

#include "twl/stereo/kernels/MatcherKernels.h"

#include <cstdlib>
#include <cstring>

namespace twl {

bool avx2RowKernelsRun() {
    static const bool run = [] {
        const char *choice = std::getenv("VANTARO_SIMD");
        const bool narrower = choice && (!std::strcmp(choice, "baseline") || !std::strcmp(choice, "scalar"));
        return !narrower && __builtin_cpu_supports("avx2");
    }();
    return run;
}

bool avx512RowKernelsRun() {
    static const bool run = [] {
        const char *choice = std::getenv("VANTARO_SIMD");
        return avx2RowKernelsRun() && !(choice && !std::strcmp(choice, "avx2")) &&
               __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
               !splitsWideVectors();
    }();
    return run;
}

} // namespace twl
