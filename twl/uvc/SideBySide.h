#pragma once
// Turning one side-by-side frame of a stereo camera (both eyes in one
// picture, left eye on the left) into the two BGRA eyes a session works on.
// Each eye is converted straight from its half of the frame: no copy of the
// frame is made besides the JPEG decode itself.

#include "twl/core/Types.h"

#include <opencv2/core.hpp>

namespace twl {

/// YUYV (4:2:2, Y0 U Y1 V) frame of 2 * eye.width x eye.height, `stride`
/// bytes per row. False, with the eyes untouched, when `bytes` is short.
bool splitYuyv(const uchar *data, size_t bytes, size_t stride, Resolution eye, cv::Mat &left, cv::Mat &right);

/// Motion-JPEG frame of 2 * eye.width x eye.height, decoded into `scratch`
/// (kept between calls to save the allocation). False for a buffer that is
/// not one whole JPEG picture of that size: cut short, damaged or another size.
bool splitMjpg(const uchar *data, size_t bytes, Resolution eye, cv::Mat &left, cv::Mat &right,
               cv::Mat &scratch);

/// Width and height a JPEG stream declares in its frame header; false when
/// none is found before the data ends.
bool jpegSize(const uchar *data, size_t bytes, int *width, int *height);

} // namespace twl
