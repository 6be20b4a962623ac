#pragma once
// The per-row loops of the depth confidence, for builds with 8- and 16-float
// vectors; the engine keeps its own 4-float ones for the x86-64 baseline.
// Both give the same floats: the same operations in the same order, no
// fused multiply-add, and the pixels the vectors leave are done by the
// scalar functions below.
//
// A row's cues lie in five planes of `width` floats: the match's residual,
// the horizontal gradient, the disparity in working pixels and its square
// (the three zero where there is no disparity), and the validity.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>

namespace twl {

struct ConfidenceKernels {
    const char *name;
    // The cues of one row from the grey images and the disparity (full pixels; NaN or negative: none).
    void (*cueRow)(const uint8_t *left, const uint8_t *right, const float *disparity, float scale, int width,
                   float *residual, float *texture, float *dis, float *squared, float *valid);
    // out[x] = the sum of rows[0..4][offset + x].
    void (*addRows)(const float *const *rows, int offset, int width, float *out);
    // out[x] = in[x] + ... + in[x + 4].
    void (*windowSums)(const float *in, int width, float *out);
    // Confidence from the window sums of the cues (planes of `width`), 0 where there is no disparity.
    void (*scoreRow)(const float *sums, int width, const float *disparity, float *confidence);
};

/// Null where the CPU lacks AVX2.
const ConfidenceKernels *avx2ConfidenceKernels();
/// The AVX2 kernels with an AVX-512 cue row; null where the CPU lacks AVX-512 (with VBMI).
const ConfidenceKernels *avx512ConfidenceKernels();

inline void cuePixel(const uint8_t *l, const uint8_t *r, const float *disparity, float scale, int w, int x,
                     float *residual, float *texture, float *dis, float *squared, float *valid) {
    texture[x] = float(std::abs(int(l[std::min(x + 1, w - 1)]) - int(l[std::max(x - 1, 0)]))) * 0.5f;
    const float dw = disparity[x] * scale;
    const bool ok = dw >= 0.0f; // false for NaN
    const float dv = ok ? dw : 0.0f;
    const float xr = float(x) - dv;
    const int x0 = std::max(0, std::min(w - 1, int(xr)));
    const int x1 = std::min(w - 1, x0 + 1);
    const float a = std::max(0.0f, std::min(1.0f, xr - float(x0)));
    const float diff = std::fabs(float(l[x]) - (float(r[x0]) + (float(r[x1]) - float(r[x0])) * a));
    residual[x] = ok ? diff : 0.0f;
    dis[x] = dv;
    squared[x] = dv * dv;
    valid[x] = ok ? 1.0f : 0.0f;
}

// Confidence 1..100 from the window sums of the cues. Each cue falls
// smoothly from 1: (1 + q + q^2 / 2)^-1 behaves like exp(-q).
inline float confidenceScore(float residual, float texture, float disparity, float squared, float valid) {
    const float count = std::max(valid, 1.0f), inv = 1.0f / count;
    const float meanCost = residual * inv;
    const float meanTexture = texture * (1.0f / 25.0f);
    const float mean = disparity * inv;
    const float spread = std::sqrt(std::max(0.0f, squared * inv - mean * mean));
    const float qc = meanCost * (1.0f / 12.0f), qs = spread * (1.0f / 1.5f);
    const float photometric = 1.0f / (1.0f + qc + 0.5f * qc * qc);
    const float coherent = 1.0f / (1.0f + qs + 0.5f * qs * qs);
    const float textured = meanTexture / (meanTexture + 2.0f);
    const float support = 0.5f + 0.5f * count * (1.0f / 25.0f);
    return std::max(1.0f, std::min(100.0f, 100.0f * photometric * textured * coherent * support));
}

} // namespace twl
