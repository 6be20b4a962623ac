#pragma once
// Calibrates a stereo rig from pairs of chessboard pictures: corners found
// to a fraction of a pixel in both eyes, both cameras and their relative
// pose solved together, and the result judged by how well corresponding
// corners share a row once rectified.

#include "twl/calib/StereoCalibration.h"

#include <opencv2/core.hpp>

#include <string>
#include <vector>

namespace twl {

class StereoCalibrator {
public:
    /// `board`: inner corners per row and column (9x6 for the usual board);
    /// `squareMetres`: the side of one square, which sets the unit of T.
    StereoCalibrator(cv::Size board, double squareMetres);

    /// Looks for the whole board in both images (any depth; colour or grey).
    /// Returns false, keeping nothing, unless both show all corners. All
    /// pairs must have the size of the first one accepted.
    bool addPair(const cv::Mat &left, const cv::Mat &right);
    int pairCount() const { return int(corners_[0].size()); }

    struct Result {
        StereoCalibration calibration;
        double rms = 0;           // reprojection error of the joint solution, pixels
        double meanRowError = 0;  // |row difference| of corresponding corners after rectification
        double worstRowError = 0; // the largest of those, pixels
    };
    static constexpr int kMinimumPairs = 5;
    /// False with `error` when fewer than kMinimumPairs pairs were accepted.
    bool calibrate(Result *result, std::string *error) const;

private:
    cv::Size board_;
    double square_;
    cv::Size imageSize_;
    std::vector<std::vector<cv::Point2f>> corners_[2];
};

} // namespace twl
