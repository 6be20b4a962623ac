#pragma once
// Depth from a rectified stereo pair: disparity by semi-global matching on
// grey images at a working size chosen by the depth mode, with a per-pixel
// confidence. Internal to the camera layer; the benchmarks use it directly.

#include "twl/core/Types.h"

#include <opencv2/core.hpp>

namespace twl {

struct StereoResult {
    /// CV_32F at the working size: disparity expressed in pixels of the full
    /// camera image; NaN where no match was found.
    cv::Mat disparity;
    /// CV_32F at the working size: 0 (invalid) to 100 (most confident).
    cv::Mat confidence;
};

class StereoEngine {
public:
    StereoEngine();
    ~StereoEngine();
    StereoEngine(const StereoEngine &) = delete;
    StereoEngine &operator=(const StereoEngine &) = delete;

    /// Sets the mode (DEPTH_MODE_PERFORMANCE .. DEPTH_MODE_ULTRA), the camera
    /// size and the geometry that bounds the disparity search (nearest depth).
    void configure(int depthMode, Resolution cameraSize, float focalPixels, float baselineMetres,
                   float minDepthMetres);
    /// Matches a BGRA (CV_8UC4) pair of the camera size, or its grey
    /// (CV_8UC1, OpenCV's conversion), which gives the same result. With
    /// `fill` the result has no invalid pixel.
    void compute(const cv::Mat &leftBGRA, const cv::Mat &rightBGRA, bool fill, StereoResult &out);

    /// Nearest depth the search covers by default: a quarter of the image
    /// width of disparity, never nearer than 0.5 m.
    static float minimumDepth(float focalPixels, float baselineMetres, int widthPixels);
    /// Size at which a mode matches a camera image (never narrower than 336 px).
    static cv::Size workingSizeFor(int depthMode, Resolution cameraSize);
    /// Disparities searched at a working width: ceil to 16 of the nearest
    /// depth's disparity scaled to that width.
    static int disparityRangeFor(int workingWidth, Resolution cameraSize, float focalPixels,
                                 float baselineMetres, float minDepthMetres);

    cv::Size workingSize() const;
    /// Working width over camera width.
    float workingScale() const;
    /// Number of disparities searched at the working size.
    int disparityRange() const;
    /// The disparities (working pixels) the last compute() searched: the
    /// whole range, or where that is wide, the part of it a quarter-size pass
    /// found surfaces in, with a margin.
    cv::Range searchedRange() const;
    /// How many of those row y (of the working size) searched: rows that see
    /// only surfaces farther than the nearest in view search fewer.
    int searchedInRow(int y) const;
    int depthMode() const;

private:
    struct Impl;
    Impl *impl_;
};

} // namespace twl
