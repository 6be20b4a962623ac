#pragma once
// Turns the raw pairs of a calibrated rig into rectified ones: both images
// undistorted and turned so that corresponding points share a row, with one
// focal length and principal point (zero-disparity alignment, cropped to the
// pixels both cameras see). The maps are fixed-point and built once per
// calibration and size; each pair then costs two remaps.

#include "twl/calib/StereoCalibration.h"
#include "twl/core/Types.h"

#include <opencv2/core.hpp>

#include <memory>
#include <string>

namespace twl {

class StereoRectifier {
public:
    /// Builds the maps for `calibration`, which must already be at the size
    /// of the images it will rectify (StereoCalibration::scaledTo).
    explicit StereoRectifier(const StereoCalibration &calibration);
    /// The same, or null with `error` set when the calibration, although
    /// well formed, cannot rectify (the two cameras see nothing in common).
    static std::unique_ptr<StereoRectifier> make(const StereoCalibration &calibration, std::string *error);

    void rectify(const cv::Mat &left, const cv::Mat &right, cv::Mat &leftOut, cv::Mat &rightOut) const;
    /// Rectified intrinsics (the same for both eyes), fields of view and baseline.
    CalibrationParameters parameters() const { return parameters_; }
    /// The rectifying rotations and projections (R1, R2, P1, P2 of OpenCV's stereoRectify).
    const cv::Mat &R1() const { return R1_; }
    const cv::Mat &R2() const { return R2_; }
    const cv::Mat &P1() const { return P1_; }
    const cv::Mat &P2() const { return P2_; }

private:
    cv::Mat map1_[2], map2_[2]; // CV_16SC2 + CV_16UC1 per eye
    cv::Mat R1_, R2_, P1_, P2_;
    CalibrationParameters parameters_;
};

} // namespace twl
