#pragma once
// Depth maps against the virtual scene's exact depth, shared by the
// benchmark families that score the stereo engine.

#include <opencv2/core.hpp>

#include <algorithm>
#include <cmath>

namespace bench {

struct Accuracy {
    double bad2 = 0, density = 0;
};

/// Disparity (full-resolution pixels, CV_32F at the working size, NaN where
/// none) against the exact depth of the full-resolution left image, sampled
/// at each working pixel's centre: the share of valid pixels off by more
/// than 2 pixels, and the share of pixels with a disparity.
inline Accuracy depthAccuracy(const cv::Mat &disparity, const cv::Mat &groundTruthDepth, float focal,
                              float baseline) {
    const double sx = double(groundTruthDepth.cols) / disparity.cols;
    const double sy = double(groundTruthDepth.rows) / disparity.rows;
    size_t valid = 0, bad = 0;
    for (int y = 0; y < disparity.rows; ++y) {
        const int gy = std::min(groundTruthDepth.rows - 1, int((y + 0.5) * sy));
        const float *d = disparity.ptr<float>(y);
        const float *z = groundTruthDepth.ptr<float>(gy);
        for (int x = 0; x < disparity.cols; ++x) {
            if (std::isnan(d[x])) continue;
            ++valid;
            const int gx = std::min(groundTruthDepth.cols - 1, int((x + 0.5) * sx));
            if (std::fabs(d[x] - focal * baseline / z[gx]) > 2.0f) ++bad;
        }
    }
    Accuracy a;
    a.density = double(valid) / double(disparity.total());
    a.bad2 = valid ? double(bad) / double(valid) : 0;
    return a;
}

} // namespace bench
