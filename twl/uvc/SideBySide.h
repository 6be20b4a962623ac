#pragma once
// Turning one side-by-side YUYV frame of a stereo camera (both eyes in one
// picture, left eye on the left) into the two BGRA eyes a session works on.
// Each eye is converted straight from its half of the frame, with no copy of
// the frame. MJPG frames go through MjpgDecoder.

#include "twl/core/Types.h"

#include <opencv2/core.hpp>

namespace twl {

/// YUYV (4:2:2, Y0 U Y1 V) frame of 2 * eye.width x eye.height, `stride`
/// bytes per row. False, with the eyes untouched, when `bytes` is short.
bool splitYuyv(const uchar *data, size_t bytes, size_t stride, Resolution eye, cv::Mat &left, cv::Mat &right);

} // namespace twl
