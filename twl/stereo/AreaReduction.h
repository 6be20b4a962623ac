#pragma once
// Area averaging of a grey image by the two factors the engine meets, equal
// to OpenCV's area resize to the bit and several times faster than it; and
// the grey of a colour image, equal to OpenCV's conversion.

#include <opencv2/core.hpp>

#include <cstdint>
#include <vector>

namespace twl {

/// A quarter of the size both ways (`column`: scratch, reused between calls).
void quarterArea(const cv::Mat &src, cv::Mat &dst, std::vector<uint16_t> &column);
/// Rows [k0, k1) of 2 x 2 blocks of `out`, two thirds the size of `src`
/// both ways (allocated by the caller).
void twoThirdsArea(const cv::Mat &src, cv::Mat &out, int k0, int k1);
/// Rows [y0, y1) of the grey of a BGR or BGRA image into the same rows of
/// `grey` (allocated by the caller).
void greyRows(const cv::Mat &colour, cv::Mat &grey, int y0, int y1);
/// As twoThirdsArea of the grey of a BGR or BGRA image (OpenCV's conversion,
/// to the bit), made a few rows at a time in `grey` (scratch).
void twoThirdsAreaOfColour(const cv::Mat &colour, cv::Mat &out, int k0, int k1, cv::Mat &grey);

} // namespace twl
