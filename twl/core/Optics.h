#pragma once
// Pinhole optics written once: the field of view a focal length gives and
// back, and the rig assumed for a camera that comes without a calibration.

#include "twl/core/Types.h"

namespace twl {

/// Angle (degrees) that `sizePixels` subtend at `focalPixels`, with the
/// optical axis `principalPixels` from the picture's first edge (measured
/// from that edge, not from the first pixel's centre).
double fieldOfViewDegrees(double sizePixels, double focalPixels, double principalPixels);
/// The same with the axis through the middle of the picture.
double fieldOfViewDegrees(double sizePixels, double focalPixels);
/// Focal length (pixels) at which `sizePixels` subtend `fovDegrees`.
double focalForFieldOfView(double sizePixels, double fovDegrees);

/// What a stereo camera without a calibration is taken to be: an already
/// rectified pair of identical pinhole cameras with 85 degrees horizontal field
/// of view, the principal point at the picture's centre and 0.12 m between
/// them. The virtual camera is built to exactly this rig.
constexpr float kNominalHorizontalFovDegrees = 85.0f;
constexpr float kNominalBaselineMetres = 0.12f;
CalibrationParameters nominalCalibration(Resolution size);

} // namespace twl
