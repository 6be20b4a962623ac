#pragma once
// How close a disparity map comes to the truth: the measure by which the
// tests and the benchmarks hold the matcher and the stereo engine to the
// virtual camera's exact depth (and to other known disparity fields).

#include <opencv2/core.hpp>

#include <functional>

struct DisparityScore {
    double bad2 = 0;    // share of valid pixels more than 2 full-resolution pixels off; 1 when none is valid
    double density = 0; // share of the map's pixels that are valid and taken part
};

/// Expected disparity of pixel (y, x) of the map, in full-resolution pixels.
using DisparityTruth = std::function<float(int y, int x)>;

/// Scores `disparity`, either CV_32F in full-resolution pixels with NaN where
/// there is none (the engine's form) or CV_16S in sixteenths of a pixel with
/// values <= 0 where there is none (the matcher's and StereoSGBM's). Only the
/// pixels `considered` accepts take part, all when it is empty.
DisparityScore scoreDisparity(const cv::Mat &disparity, const DisparityTruth &truth,
                              const std::function<bool(int y, int x)> &considered = {});

/// The truth from the exact depth (metres) of the full-resolution left
/// picture, focal * baseline / depth, for a map of `mapSize`: a working size
/// may be smaller, and each map pixel's centre is looked up.
DisparityTruth disparityFromDepth(const cv::Mat &depth, float focalTimesBaseline, cv::Size mapSize);
