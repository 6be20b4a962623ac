#include "twl/uvc/SideBySide.h"

#include <opencv2/imgcodecs.hpp>
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

bool jpegSize(const uchar *data, size_t bytes, int *width, int *height) {
    if (!data || bytes < 4 || data[0] != 0xFF || data[1] != 0xD8) return false;
    size_t i = 2;
    while (i + 4 <= bytes) {
        if (data[i] != 0xFF) return false;
        const uchar marker = data[i + 1];
        if (marker == 0xFF) { // fill byte
            ++i;
            continue;
        }
        const size_t length = size_t(data[i + 2]) << 8 | data[i + 3];
        const bool frameHeader =
            marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
        if (frameHeader) {
            if (length < 7 || i + 9 > bytes) return false;
            *height = int(data[i + 5]) << 8 | data[i + 6];
            *width = int(data[i + 7]) << 8 | data[i + 8];
            return true;
        }
        if (marker == 0xDA || length < 2) return false; // scan data before any frame header
        i += 2 + length;
    }
    return false;
}

bool splitMjpg(const uchar *data, size_t bytes, Resolution eye, cv::Mat &left, cv::Mat &right,
               cv::Mat &scratch) {
    const int w = int(eye.width), h = int(eye.height);
    int jw = 0, jh = 0;
    // The declared size is checked first so that a damaged header cannot make
    // the decoder allocate a huge picture.
    if (!jpegSize(data, bytes, &jw, &jh) || jw != 2 * w || jh != h) return false;
    // A cut-short picture still decodes (grey at the bottom); only one that
    // ends with its end-of-image marker is whole. Drivers may pad after it.
    size_t end = bytes;
    while (end > 2 && data[end - 1] == 0)
        --end;
    if (end < 4 || data[end - 2] != 0xFF || data[end - 1] != 0xD9) return false;
    const cv::Mat buffer(1, int(end), CV_8U, const_cast<uchar *>(data));
    // Camera frames carry no orientation to honour: rotating one would swap or cut the eyes.
    cv::imdecode(buffer, cv::IMREAD_COLOR | cv::IMREAD_IGNORE_ORIENTATION, &scratch);
    if (scratch.cols != 2 * w || scratch.rows != h || scratch.type() != CV_8UC3) return false;
    cv::cvtColor(scratch(cv::Rect(0, 0, w, h)), left, cv::COLOR_BGR2BGRA);
    cv::cvtColor(scratch(cv::Rect(w, 0, w, h)), right, cv::COLOR_BGR2BGRA);
    return true;
}

} // namespace twl
