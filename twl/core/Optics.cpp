#include "twl/core/Optics.h"

#include <cmath>

namespace twl {

namespace {
constexpr double kDegreesPerRadian = 180.0 / M_PI;
}

double fieldOfViewDegrees(double sizePixels, double focalPixels, double principalPixels) {
    return (std::atan(principalPixels / focalPixels) + std::atan((sizePixels - principalPixels) / focalPixels)) *
           kDegreesPerRadian;
}

double fieldOfViewDegrees(double sizePixels, double focalPixels) {
    return 2.0 * std::atan(sizePixels / (2.0 * focalPixels)) * kDegreesPerRadian;
}

double focalForFieldOfView(double sizePixels, double fovDegrees) {
    return sizePixels * 0.5 / std::tan(fovDegrees * 0.5 / kDegreesPerRadian);
}

CalibrationParameters nominalCalibration(Resolution size) {
    const double w = double(size.width), h = double(size.height);
    CameraParameters cam;
    cam.fx = cam.fy = float(focalForFieldOfView(w, kNominalHorizontalFovDegrees));
    cam.cx = float(w * 0.5);
    cam.cy = float(h * 0.5);
    cam.h_fov = kNominalHorizontalFovDegrees;
    cam.v_fov = float(fieldOfViewDegrees(h, cam.fy));
    cam.image_size = size;
    CalibrationParameters calib;
    calib.left_cam = cam;
    calib.right_cam = cam;
    calib.baseline = kNominalBaselineMetres;
    return calib;
}

} // namespace twl
