#include "twl/stereo/AreaReduction.h"

#include "twl/stereo/kernels/GreyKernels.h"

#include <opencv2/core/hal/intrin.hpp>
#include <opencv2/imgproc/hal/hal.hpp>

#include <algorithm>

namespace twl {

// OpenCV's area resize by exactly four both ways (the mean of sixteen, rounded
// half to even), which has vectors only for halving: it took 0.35 ms an image
// at 1280 x 720, a third of the scout.
void quarterArea(const cv::Mat &src, cv::Mat &dst, std::vector<uint16_t> &column) {
    const int w = src.cols / 4, h = src.rows / 4;
    dst.create(h, w, CV_8U);
    column.resize(size_t(4 * w));
    for (int y = 0; y < h; ++y) {
        const uchar *a = src.ptr<uchar>(4 * y), *b = src.ptr<uchar>(4 * y + 1),
                    *c = src.ptr<uchar>(4 * y + 2), *d = src.ptr<uchar>(4 * y + 3);
        uint16_t *sum = column.data();
        int x = 0;
#if CV_SIMD128
        for (; x + 16 <= 4 * w; x += 16) {
            cv::v_uint16x8 lo[4], hi[4];
            const uchar *rows[4] = {a, b, c, d};
            for (int i = 0; i < 4; ++i)
                cv::v_expand(cv::v_load(rows[i] + x), lo[i], hi[i]);
            cv::v_store(sum + x, lo[0] + lo[1] + lo[2] + lo[3]);
            cv::v_store(sum + x + 8, hi[0] + hi[1] + hi[2] + hi[3]);
        }
#endif
        for (; x < 4 * w; ++x)
            sum[x] = uint16_t(a[x] + b[x] + c[x] + d[x]);
        uchar *out = dst.ptr<uchar>(y);
        int i = 0;
#if CV_SIMD128
        const cv::v_uint16x8 fifteen = cv::v_setall_u16(15), eight = cv::v_setall_u16(8),
                             one = cv::v_setall_u16(1);
        for (; i + 8 <= w; i += 8) {
            cv::v_uint16x8 s0, s1, s2, s3;
            cv::v_load_deinterleave(sum + 4 * i, s0, s1, s2, s3);
            const cv::v_uint16x8 total = s0 + s1 + s2 + s3, q = total >> 4, r = total & fifteen;
            const cv::v_uint16x8 up = (r > eight) | ((r == eight) & ((q & one) == one));
            cv::v_pack_store(out + i, q + (up & one));
        }
#endif
        for (; i < w; ++i) {
            const int total = sum[4 * i] + sum[4 * i + 1] + sum[4 * i + 2] + sum[4 * i + 3];
            const int q = total >> 4, r = total & 15;
            out[i] = uchar(q + (r > 8 || (r == 8 && (q & 1))));
        }
    }
}

// Rows [k0, k1) of 2 x 2 pixel blocks of a grey image two thirds the size
// of `src`: each 3 x 3 block of it is area-averaged, its middle row and
// column counting half to either side (OpenCV's area resize to the bit, at a
// third of its time: 1.6 ms an eye at HD1080, the ULTRA working size; in
// vectors 0.3 ms an eye on one core, against 0.65 ms pixel by pixel, and
// with AVX2, two rows of sixteen blocks side by side, 0.11 ms from the
// cache and 0.33 ms from memory, against 0.28 and 0.46).
void twoThirdsArea(const cv::Mat &src, cv::Mat &out, int k0, int k1) {
    const int blocks = out.cols / 2;
    auto ninth = [](unsigned v) { return uchar(((v + 4) * 7282) >> 16); }; // rounded v / 9 for v < 2300
    static const TwoThirdsRows wide = avx2TwoThirdsRows();
    for (int k = k0; k < k1; ++k) {
        const uchar *a = src.ptr<uchar>(3 * k), *b = src.ptr<uchar>(3 * k + 1),
                    *c = src.ptr<uchar>(3 * k + 2);
        uchar *top = out.ptr<uchar>(2 * k), *bottom = out.ptr<uchar>(2 * k + 1);
        int j = wide ? wide(a, b, c, blocks, top, bottom) : 0;
#if CV_SIMD128
        // Sixteen blocks at once, columns taken apart in threes; the rounded
        // ninth is the high half of a 16-bit product.
        const cv::v_uint16x8 four = cv::v_setall_u16(4), oneNinth = cv::v_setall_u16(7282);
        auto ninths = [&](cv::v_uint16x8 v) { return cv::v_mul_hi(v + four, oneNinth); };
        for (; j + 16 <= blocks; j += 16) {
            cv::v_uint8x16 in[3][3];
            cv::v_load_deinterleave(a + 3 * j, in[0][0], in[0][1], in[0][2]);
            cv::v_load_deinterleave(b + 3 * j, in[1][0], in[1][1], in[1][2]);
            cv::v_load_deinterleave(c + 3 * j, in[2][0], in[2][1], in[2][2]);
            cv::v_uint16x8 t[2][3], u[2][3]; // [half of the sixteen][column in the block]
            for (int i = 0; i < 3; ++i) {
                cv::v_uint16x8 a0, a1, b0, b1, c0, c1;
                cv::v_expand(in[0][i], a0, a1);
                cv::v_expand(in[1][i], b0, b1);
                cv::v_expand(in[2][i], c0, c1);
                t[0][i] = a0 + a0 + b0, t[1][i] = a1 + a1 + b1;
                u[0][i] = b0 + c0 + c0, u[1][i] = b1 + c1 + c1;
            }
            cv::v_uint16x8 top0[2], top1[2], bottom0[2], bottom1[2];
            for (int h = 0; h < 2; ++h) {
                top0[h] = ninths(t[h][0] + t[h][0] + t[h][1]);
                top1[h] = ninths(t[h][1] + t[h][2] + t[h][2]);
                bottom0[h] = ninths(u[h][0] + u[h][0] + u[h][1]);
                bottom1[h] = ninths(u[h][1] + u[h][2] + u[h][2]);
            }
            cv::v_store_interleave(top + 2 * j, cv::v_pack(top0[0], top0[1]), cv::v_pack(top1[0], top1[1]));
            cv::v_store_interleave(bottom + 2 * j, cv::v_pack(bottom0[0], bottom0[1]),
                                   cv::v_pack(bottom1[0], bottom1[1]));
        }
#endif
        for (; j < blocks; ++j) {
            const int x = 3 * j;
            const unsigned t0 = 2 * a[x] + b[x], t1 = 2 * a[x + 1] + b[x + 1], t2 = 2 * a[x + 2] + b[x + 2];
            const unsigned u0 = b[x] + 2 * c[x], u1 = b[x + 1] + 2 * c[x + 1], u2 = b[x + 2] + 2 * c[x + 2];
            top[2 * j] = ninth(2 * t0 + t1);
            top[2 * j + 1] = ninth(t1 + 2 * t2);
            bottom[2 * j] = ninth(2 * u0 + u1);
            bottom[2 * j + 1] = ninth(u1 + 2 * u2);
        }
    }
}

namespace {
// `rows` rows of a colour image from row y on, into rows from 0 on of `grey`.
void greyOfRows(const cv::Mat &colour, int y, int rows, uchar *grey, size_t greyStep) {
    static const GreyRow fast = avx2GreyRow();
    if (fast && colour.channels() == 4) {
        for (int i = 0; i < rows; ++i)
            fast(colour.ptr(y + i), colour.cols, grey + size_t(i) * greyStep);
        return;
    }
    cv::hal::cvtBGRtoGray(colour.ptr(y), colour.step, grey, greyStep, colour.cols, rows, CV_8U,
                          colour.channels(), false);
}
} // namespace

void greyRows(const cv::Mat &colour, cv::Mat &grey, int y0, int y1) {
    if (y1 > y0) greyOfRows(colour, y0, y1 - y0, grey.ptr(y0), grey.step);
}

// The full-size grey image (2 MiB an eye at HD1080) was written out whole
// and read back by the reduction; a few rows at a time it stays in cache.
void twoThirdsAreaOfColour(const cv::Mat &colour, cv::Mat &out, int k0, int k1, cv::Mat &grey) {
    constexpr int kBlockRows = 8;
    grey.create(3 * kBlockRows, colour.cols, CV_8U);
    for (int k = k0; k < k1; k += kBlockRows) {
        const int n = std::min(kBlockRows, k1 - k);
        greyOfRows(colour, 3 * k, 3 * n, grey.data, grey.step);
        cv::Mat rows = out.rowRange(2 * k, 2 * (k + n));
        twoThirdsArea(grey, rows, 0, n);
    }
}

} // namespace twl
