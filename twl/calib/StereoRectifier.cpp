#include "twl/calib/StereoRectifier.h"

#include "twl/core/Optics.h"

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>

namespace twl {

StereoRectifier::StereoRectifier(const StereoCalibration &c) {
    const cv::Size size = c.imageSize;
    cv::Mat Q;
    // alpha 0: only pixels that both cameras really see, so the matcher never
    // meets the black wedges that undistortion leaves at the borders.
    cv::stereoRectify(c.M1, c.D1, c.M2, c.D2, size, c.R, c.T, R1_, R2_, P1_, P2_, Q, cv::CALIB_ZERO_DISPARITY,
                      0, size);
    cv::initUndistortRectifyMap(c.M1, c.D1, R1_, P1_, size, CV_16SC2, map1_[0], map2_[0]);
    cv::initUndistortRectifyMap(c.M2, c.D2, R2_, P2_, size, CV_16SC2, map1_[1], map2_[1]);

    CameraParameters cam;
    cam.fx = float(P1_.at<double>(0, 0));
    cam.fy = float(P1_.at<double>(1, 1));
    cam.cx = float(P1_.at<double>(0, 2));
    cam.cy = float(P1_.at<double>(1, 2));
    // Fields of view of the rectified picture, edge to edge: the principal
    // point counts from the first pixel's centre, the angle from its edge.
    cam.h_fov = float(fieldOfViewDegrees(size.width, cam.fx, cam.cx + 0.5));
    cam.v_fov = float(fieldOfViewDegrees(size.height, cam.fy, cam.cy + 0.5));
    cam.image_size = Resolution(size_t(size.width), size_t(size.height));
    parameters_.left_cam = cam;
    parameters_.right_cam = cam;
    // P2 holds -fx * baseline in the units of T (metres).
    parameters_.baseline = float(std::fabs(P2_.at<double>(0, 3) / P2_.at<double>(0, 0)));
}

std::unique_ptr<StereoRectifier> StereoRectifier::make(const StereoCalibration &calibration,
                                                       std::string *error) {
    std::unique_ptr<StereoRectifier> r;
    try {
        r = std::make_unique<StereoRectifier>(calibration);
    } catch (const cv::Exception &e) {
        *error = std::string("the calibration cannot rectify these pictures: ") + e.what();
        return nullptr;
    }
    const CameraParameters &c = r->parameters_.left_cam;
    if (!(c.fx > 0 && std::isfinite(c.fx) && c.fy > 0 && std::isfinite(c.fy) && std::isfinite(c.cx) &&
          std::isfinite(c.cy) && r->parameters_.baseline > 0 && std::isfinite(r->parameters_.baseline))) {
        *error =
            "the calibration cannot rectify these pictures (the rectified cameras see nothing in common)";
        return nullptr;
    }
    return r;
}

void StereoRectifier::rectify(const cv::Mat &left, const cv::Mat &right, cv::Mat &leftOut,
                              cv::Mat &rightOut) const {
    cv::remap(left, leftOut, map1_[0], map2_[0], cv::INTER_LINEAR, cv::BORDER_CONSTANT);
    cv::remap(right, rightOut, map1_[1], map2_[1], cv::INTER_LINEAR, cv::BORDER_CONSTANT);
}

} // namespace twl
