#pragma once
// How close a disparity map comes to the truth, for the tests and benchmarks
// that hold the matcher and the stereo engine to a known disparity field.

#include <opencv2/core.hpp>

#include <functional>

struct DisparityScore {
    double bad2 = 0;    // share of valid pixels more than 2 full-resolution pixels off; 1 when none is valid
    double density = 0; // share of the map's pixels that are valid and taken part
};

/// Expected disparity of pixel (y, x) of the map, in full-resolution pixels.
using DisparityTruth = std::function<float(int y, int x)>;

/// `disparity` is CV_32F in pixels with NaN for none (the engine's form) or
/// CV_16S in sixteenths with <= 0 for none (the matcher's and StereoSGBM's).
/// Only the pixels `considered` accepts take part, all when it is empty.
DisparityScore scoreDisparity(const cv::Mat &disparity, const DisparityTruth &truth,
                              const std::function<bool(int y, int x)> &considered = {});

/// focal * baseline / depth from the exact depth (metres) of the full-size
/// left picture, looked up at the centre of each pixel of a map of `mapSize`.
DisparityTruth disparityFromDepth(const cv::Mat &depth, float focalTimesBaseline, cv::Size mapSize);
