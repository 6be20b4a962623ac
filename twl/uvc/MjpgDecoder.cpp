#include "twl/uvc/MjpgDecoder.h"

#include <turbojpeg.h>

#include <cstring>

namespace twl {

namespace {

// Whether the eyes are already the two halves of one BGRA picture of the
// frame's size, so that the decoder can write into them as they are.
bool halvesOfOnePicture(const cv::Mat &left, const cv::Mat &right, int w, int h) {
    const size_t pitch = size_t(w) * 2 * 4;
    return left.type() == CV_8UC4 && right.type() == CV_8UC4 && left.cols == w && right.cols == w &&
           left.rows == h && right.rows == h && left.step[0] == pitch && right.step[0] == pitch && left.u &&
           left.u == right.u && right.data == left.data + size_t(w) * 4;
}

} // namespace

MjpgDecoder::MjpgDecoder(Precision precision)
    : handle_(tjInitDecompress()),
      flags_(precision == Precision::Fast ? TJFLAG_FASTDCT | TJFLAG_FASTUPSAMPLE : TJFLAG_ACCURATEDCT) {}

MjpgDecoder::~MjpgDecoder() {
    if (handle_) tjDestroy(handle_);
}

size_t MjpgDecoder::pictureLength(const uchar *data, size_t bytes) {
    // Drivers and cameras pad after the end-of-image marker, with zeros or
    // whatever the buffer held. Inside the coded data a 0xFF byte is always
    // stuffed, so the last 0xFF 0xD9 is the marker; a picture cut short has none.
    // memrchr skips long padding (a buffer's whole size, with some drivers) quickly.
    if (!data || bytes < 4) return 0;
    for (size_t end = bytes; end >= 4;) {
        const auto *marker = static_cast<const uchar *>(::memrchr(data + 1, 0xD9, end - 1));
        if (!marker) return 0;
        end = size_t(marker - data) + 1;
        if (marker[-1] == 0xFF && end >= 4) return end;
        --end;
    }
    return 0;
}

bool MjpgDecoder::decode(const uchar *data, size_t bytes, Resolution eye, cv::Mat &left, cv::Mat &right) {
    const int w = int(eye.width), h = int(eye.height);
    if (!handle_ || w <= 0 || h <= 0) return false;
    // A cut-short picture would still decode (grey at the bottom); only one
    // that ends with its end-of-image marker is whole.
    const size_t length = pictureLength(data, bytes);
    if (length == 0) return false;
    int jw = 0, jh = 0, subsampling = 0, colourspace = 0;
    // The declared size is checked before anything is decoded: the decoder
    // would otherwise scale whatever it finds to the eyes' size.
    if (tjDecompressHeader3(handle_, data, static_cast<unsigned long>(length), &jw, &jh, &subsampling,
                            &colourspace) != 0 ||
        jw != 2 * w || jh != h)
        return false;
    if (!halvesOfOnePicture(left, right, w, h)) {
        const cv::Mat picture(h, 2 * w, CV_8UC4);
        left = picture.colRange(0, w);
        right = picture.colRange(w, 2 * w);
    }
    // BGRA straight from the decoder (alpha comes out opaque). A warning
    // (damaged data inside a whole picture) still leaves every pixel
    // decoded, as the old decoder accepted it; an error does not.
    if (tjDecompress2(handle_, data, static_cast<unsigned long>(length), left.data, 2 * w, int(left.step[0]),
                      h, TJPF_BGRA, flags_) == 0)
        return true;
    return tjGetErrorCode(handle_) == TJERR_WARNING;
}

} // namespace twl
