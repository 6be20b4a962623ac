#include "twl/uvc/SideBySide.h"

#include <opencv2/imgproc.hpp>

namespace twl {

bool splitYuyv(const uchar *data, size_t bytes, size_t stride, Resolution eye, cv::Mat &left,
               cv::Mat &right) {
    const int w = int(eye.width), h = int(eye.height);
    const size_t row = eye.width * 2 * 2;
    if (!data || w <= 0 || h <= 0 || (w & 1) || stride < row || bytes < stride * (eye.height - 1) + row)
        return false;
    // An even eye width keeps the right half on a whole Y0 U Y1 V group.
    const cv::Mat frame(h, 2 * w, CV_8UC2, const_cast<uchar *>(data), stride);
    cv::cvtColor(frame(cv::Rect(0, 0, w, h)), left, cv::COLOR_YUV2BGRA_YUYV);
    cv::cvtColor(frame(cv::Rect(w, 0, w, h)), right, cv::COLOR_YUV2BGRA_YUYV);
    return true;
}

} // namespace twl
