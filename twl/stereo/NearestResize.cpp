#include "twl/stereo/NearestResize.h"

#include "twl/util/Parallel.h"

#include <opencv2/imgproc.hpp>

#include <emmintrin.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace twl {

void resizeNearest(const cv::Mat &src, cv::Mat &dst, cv::Size size) {
    if (src.elemSize() != 4 || src.empty() || size.empty() || src.data == dst.data) {
        cv::resize(src, dst, size, 0, 0, cv::INTER_NEAREST);
        return;
    }
    dst.create(size, src.type());
    // OpenCV's own arithmetic: the source of column x is floor(x / scale),
    // the scale in double as the ratio of the widths.
    const double toColumn = 1.0 / (double(size.width) / src.cols),
                 toRow = 1.0 / (double(size.height) / src.rows);
    thread_local std::vector<int> columns;
    columns.resize(size_t(size.width));
    for (int x = 0; x < size.width; ++x)
        columns[size_t(x)] = std::min(cvFloor(x * toColumn), src.cols - 1);
    const int *column = columns.data();
    // Half the width (the viewer's display size of the depth and confidence)
    // takes every other pixel: two loads and a shuffle for four, rather
    // than a look-up and a load for each. Three quarters (that size of the
    // working images of HD1080) takes three pixels of every four: four loads
    // and five shuffles for twelve.
    bool everyOther = true, threeOfFour = true;
    for (int x = 0; x < size.width && (everyOther || threeOfFour); ++x) {
        everyOther = everyOther && column[x] == 2 * x;
        threeOfFour = threeOfFour && column[x] == x + x / 3;
    }
    parallelFor(cv::Range(0, size.height), [&](const cv::Range &rows) {
        for (int y = rows.start; y < rows.end; ++y) {
            const auto *in = src.ptr<uint32_t>(std::min(cvFloor(y * toRow), src.rows - 1));
            auto *out = dst.ptr<uint32_t>(y);
            int x = 0;
            if (everyOther)
                for (; x + 4 <= size.width && 2 * x + 8 <= src.cols; x += 4) {
                    const __m128 a =
                        _mm_castsi128_ps(_mm_loadu_si128(reinterpret_cast<const __m128i *>(in + 2 * x)));
                    const __m128 b =
                        _mm_castsi128_ps(_mm_loadu_si128(reinterpret_cast<const __m128i *>(in + 2 * x + 4)));
                    _mm_storeu_si128(reinterpret_cast<__m128i *>(out + x),
                                     _mm_castps_si128(_mm_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0))));
                }
            if (threeOfFour)
                for (; x + 12 <= size.width && x + x / 3 + 16 <= src.cols; x += 12) {
                    const float *from = reinterpret_cast<const float *>(in) + x + x / 3;
                    const __m128 a = _mm_loadu_ps(from), b = _mm_loadu_ps(from + 4),
                                 c = _mm_loadu_ps(from + 8), d = _mm_loadu_ps(from + 12);
                    const __m128 a2b0 = _mm_shuffle_ps(a, b, _MM_SHUFFLE(0, 0, 2, 2));
                    const __m128 c2d0 = _mm_shuffle_ps(c, d, _MM_SHUFFLE(0, 0, 2, 2));
                    float *to = reinterpret_cast<float *>(out + x);
                    _mm_storeu_ps(to, _mm_shuffle_ps(a, a2b0, _MM_SHUFFLE(2, 0, 1, 0)));     // a0 a1 a2 b0
                    _mm_storeu_ps(to + 4, _mm_shuffle_ps(b, c, _MM_SHUFFLE(1, 0, 2, 1)));    // b1 b2 c0 c1
                    _mm_storeu_ps(to + 8, _mm_shuffle_ps(c2d0, d, _MM_SHUFFLE(2, 1, 2, 0))); // c2 d0 d1 d2
                }
            for (; x < size.width; ++x)
                out[x] = in[column[x]];
        }
    });
}

} // namespace twl
