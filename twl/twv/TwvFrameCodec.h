#pragma once
// Compression of one picture of a recorded stereo pair. Keeps its JPEG and
// zstd contexts and scratch buffers between frames, so one object serves a
// whole recording (one thread at a time).

#include "twl/twv/TwvFormat.h"

#include <opencv2/core.hpp>

#include <vector>

typedef struct ZSTD_CCtx_s ZSTD_CCtx;
typedef struct ZSTD_DCtx_s ZSTD_DCtx;

namespace twl {

class TwvFrameCodec {
public:
    TwvFrameCodec();
    ~TwvFrameCodec();
    TwvFrameCodec(const TwvFrameCodec &) = delete;
    TwvFrameCodec &operator=(const TwvFrameCodec &) = delete;

    /// Compresses a CV_8UC4 (BGRA) or CV_8UC3 (BGR) picture; alpha is dropped.
    bool encode(const cv::Mat &picture, TwvCodec codec, std::vector<unsigned char> &out);
    /// Decompresses into `bgr` (CV_8UC3), reusing its memory when it already
    /// has the size. Fails unless the data holds exactly a width x height
    /// picture; never allocates more than that.
    bool decode(const unsigned char *data, size_t size, TwvCodec codec, uint32_t width, uint32_t height,
                cv::Mat &bgr);

    /// Picture size from a JPEG's frame header, without decoding it.
    static bool jpegSize(const unsigned char *data, size_t size, uint32_t *width, uint32_t *height);

    /// JPEG quality used when encoding (0-100).
    static constexpr int kJpegQuality = 90;
    /// zstd level for lossless frames: fast enough to keep up with a live camera.
    static constexpr int kZstdLevel = 1;

private:
    bool encodeJpeg(const cv::Mat &picture, std::vector<unsigned char> &out);

    void *compressor_ = nullptr; // libjpeg-turbo's
    ZSTD_CCtx *cctx_ = nullptr;
    ZSTD_DCtx *dctx_ = nullptr;
    cv::Mat bgr_;
};

} // namespace twl
