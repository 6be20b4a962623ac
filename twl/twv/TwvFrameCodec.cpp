#include "twl/twv/TwvFrameCodec.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <zstd.h>

#include <turbojpeg.h>

namespace twl {

TwvFrameCodec::TwvFrameCodec() = default;

bool TwvFrameCodec::encodeJpeg(const cv::Mat &picture, std::vector<unsigned char> &out) {
    // libjpeg-turbo's own interface rather than OpenCV's encoder: it takes
    // BGR and BGRA rows as they are (no conversion first), and its fast
    // integer transform, which at this quality differs from the exact one by
    // less than the compression itself, saves about a fifth of a live
    // recording's time. Same baseline 4:2:0 JPEG as before.
    if (!compressor_ && !(compressor_ = tjInitCompress())) return false;
    out.resize(tjBufSize(picture.cols, picture.rows, TJSAMP_420));
    unsigned char *data = out.data();
    unsigned long size = static_cast<unsigned long>(out.size());
    if (tjCompress2(compressor_, picture.data, picture.cols, int(picture.step[0]), picture.rows,
                    picture.channels() == 4 ? TJPF_BGRA : TJPF_BGR, &data, &size, TJSAMP_420, kJpegQuality,
                    TJFLAG_NOREALLOC | TJFLAG_FASTDCT) != 0) {
        out.clear();
        return false;
    }
    out.resize(size);
    return size > 0;
}

TwvFrameCodec::~TwvFrameCodec() {
    if (compressor_) tjDestroy(compressor_);
    ZSTD_freeCCtx(cctx_);
    ZSTD_freeDCtx(dctx_);
}

bool TwvFrameCodec::encode(const cv::Mat &picture, TwvCodec codec, std::vector<unsigned char> &out) {
    out.clear();
    if (picture.empty() || picture.depth() != CV_8U || (picture.channels() != 3 && picture.channels() != 4))
        return false;
    if (codec == TwvCodec::Jpeg) return encodeJpeg(picture, out);

    // A continuous BGR picture (what the viewer's recorder queues) is used as it is.
    const cv::Mat *bgr = &picture;
    if (picture.channels() == 4)
        cv::cvtColor(picture, bgr_, cv::COLOR_BGRA2BGR);
    else if (!picture.isContinuous())
        picture.copyTo(bgr_);
    if (picture.channels() == 4 || !picture.isContinuous()) bgr = &bgr_;

    if (codec != TwvCodec::Lossless) return false;
    if (!cctx_ && !(cctx_ = ZSTD_createCCtx())) return false;
    const size_t raw = bgr->total() * bgr->elemSize();
    out.resize(ZSTD_compressBound(raw));
    const size_t n = ZSTD_compressCCtx(cctx_, out.data(), out.size(), bgr->data, raw, kZstdLevel);
    if (ZSTD_isError(n)) {
        out.clear();
        return false;
    }
    out.resize(n);
    return true;
}

bool TwvFrameCodec::jpegSize(const unsigned char *d, size_t size, uint32_t *width, uint32_t *height) {
    if (size < 4 || d[0] != 0xFF || d[1] != 0xD8) return false;
    size_t i = 2;
    while (i + 4 <= size) {
        if (d[i] != 0xFF) return false;
        const unsigned char marker = d[i + 1];
        if (marker == 0xFF) { // fill byte
            ++i;
            continue;
        }
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD8)) { // markers without a length
            i += 2;
            continue;
        }
        if (marker == 0xD9 || marker == 0xDA) // end or scan before any frame header
            return false;
        const size_t length = size_t(d[i + 2]) << 8 | d[i + 3];
        if (length < 2) return false;
        const bool isFrameHeader =
            marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
        if (isFrameHeader) {
            if (length < 7 || i + 9 > size) return false;
            *height = uint32_t(d[i + 5]) << 8 | d[i + 6];
            *width = uint32_t(d[i + 7]) << 8 | d[i + 8];
            return true;
        }
        i += 2 + length;
    }
    return false;
}

bool TwvFrameCodec::decode(const unsigned char *data, size_t size, TwvCodec codec, uint32_t width,
                           uint32_t height, cv::Mat &bgr) {
    if (!data || size == 0 || width == 0 || height == 0) return false;
    const size_t raw = size_t(width) * height * 3;
    if (codec == TwvCodec::Jpeg) {
        // The decoder would allocate whatever the JPEG claims; check the claim
        // against the recording's size first.
        uint32_t w = 0, h = 0;
        if (!jpegSize(data, size, &w, &h) || w != width || h != height) return false;
        try {
            // Decoding into the caller's matrix spares a fresh allocation
            // (and its page faults) for every frame.
            cv::imdecode(cv::Mat(1, int(size), CV_8UC1, const_cast<unsigned char *>(data)),
                         cv::IMREAD_COLOR | cv::IMREAD_IGNORE_ORIENTATION, &bgr);
        } catch (const cv::Exception &) {
            return false;
        }
        return !bgr.empty() && bgr.type() == CV_8UC3 && bgr.cols == int(width) && bgr.rows == int(height);
    }
    if (codec != TwvCodec::Lossless) return false;
    if (ZSTD_getFrameContentSize(data, size) != raw) return false;
    if (!dctx_ && !(dctx_ = ZSTD_createDCtx())) return false;
    bgr.create(int(height), int(width), CV_8UC3);
    if (!bgr.isContinuous()) return false;
    const size_t n = ZSTD_decompressDCtx(dctx_, bgr.data, raw, data, size);
    return !ZSTD_isError(n) && n == raw;
}

} // namespace twl
