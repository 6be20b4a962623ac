#include "twl/stereo/NearestResize.h"

#include "twl/util/Parallel.h"

#include <opencv2/imgproc.hpp>

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
    parallelFor(cv::Range(0, size.height), [&](const cv::Range &rows) {
        for (int y = rows.start; y < rows.end; ++y) {
            const auto *in = src.ptr<uint32_t>(std::min(cvFloor(y * toRow), src.rows - 1));
            auto *out = dst.ptr<uint32_t>(y);
            for (int x = 0; x < size.width; ++x)
                out[x] = in[column[x]];
        }
    });
}

} // namespace twl
