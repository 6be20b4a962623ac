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
    // than a look-up and a load for each.
    bool everyOther = true;
    for (int x = 0; x < size.width && everyOther; ++x)
        everyOther = column[x] == 2 * x;
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
            for (; x < size.width; ++x)
                out[x] = in[column[x]];
        }
    });
}

} // namespace twl
