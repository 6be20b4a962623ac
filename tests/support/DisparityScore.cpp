#include "support/DisparityScore.h"

#include <algorithm>
#include <cmath>

DisparityScore scoreDisparity(const cv::Mat &disparity, const DisparityTruth &truth,
                              const std::function<bool(int y, int x)> &considered) {
    CV_Assert(disparity.type() == CV_32F || disparity.type() == CV_16S);
    const bool sixteenths = disparity.type() == CV_16S;
    size_t valid = 0, bad = 0;
    for (int y = 0; y < disparity.rows; ++y)
        for (int x = 0; x < disparity.cols; ++x) {
            const float d = sixteenths ? disparity.at<short>(y, x) / 16.0f : disparity.at<float>(y, x);
            const bool none = sixteenths ? !(d > 0) : std::isnan(d);
            if (none || (considered && !considered(y, x))) continue;
            ++valid;
            bad += std::fabs(d - truth(y, x)) > 2.0f;
        }
    return {valid ? double(bad) / double(valid) : 1.0, double(valid) / double(disparity.total())};
}

DisparityTruth disparityFromDepth(const cv::Mat &depth, float focalTimesBaseline, cv::Size mapSize) {
    const double sx = double(depth.cols) / mapSize.width, sy = double(depth.rows) / mapSize.height;
    return [depth, focalTimesBaseline, sx, sy](int y, int x) {
        return focalTimesBaseline / depth.at<float>(std::min(depth.rows - 1, int((y + 0.5) * sy)),
                                                    std::min(depth.cols - 1, int((x + 0.5) * sx)));
    };
}
