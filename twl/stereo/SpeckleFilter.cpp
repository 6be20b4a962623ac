#include "twl/stereo/SpeckleFilter.h"

#include "twl/util/WorkerPool.h"

#include <algorithm>
#include <cstdlib>

namespace twl {

namespace {

int32_t rootOf(int32_t *parent, int32_t i) {
    while (parent[i] != i) {
        parent[i] = parent[parent[i]];
        i = parent[i];
    }
    return i;
}

// The lower number becomes the root: a region's root then comes before all
// its runs, which the size pass relies on.
void joinRuns(int32_t *parent, int32_t a, int32_t b) {
    a = rootOf(parent, a);
    b = rootOf(parent, b);
    if (a != b) parent[std::max(a, b)] = std::min(a, b);
}

} // namespace

void SpeckleFilter::apply(cv::Mat &disparity16, int16_t invalid, int maxSize, int maxDiff, int threads) {
    const int bands = std::clamp(threads, 1, std::max(1, disparity16.rows));
    prepare(disparity16, bands);
    WorkerPool().run(bands, [&](int t, int n) {
        scanBand(disparity16, invalid, maxDiff, t, disparity16.rows * t / n, disparity16.rows * (t + 1) / n);
    });
    finish(disparity16, invalid, maxSize, maxDiff);
}

void SpeckleFilter::prepare(const cv::Mat &disparity16, int bands) {
    CV_Assert(disparity16.type() == CV_16S && bands >= 1);
    bands_.resize(size_t(bands));
    for (Band &b : bands_) {
        b.runs.clear();
        b.rowStart.assign(1, 0);
        b.parent.clear();
    }
    rowStart_.assign(size_t(disparity16.rows) + 1, 0);
}

void SpeckleFilter::scanBand(const cv::Mat &disparity16, int16_t invalid, int maxDiff, int band, int y0,
                             int y1) {
    Band &b = bands_[size_t(band)];
    b.y0 = y0;
    b.rowStart.clear();
    const int width = disparity16.cols;
    for (int y = y0; y < y1; ++y) {
        b.rowStart.push_back(int32_t(b.runs.size()));
        const int16_t *row = disparity16.ptr<int16_t>(y);
        for (int x = 0; x < width;) {
            if (row[x] == invalid) {
                ++x;
                continue;
            }
            const int x0 = x;
            while (x + 1 < width && row[x + 1] != invalid && std::abs(row[x + 1] - row[x]) <= maxDiff)
                ++x;
            b.runs.push_back({x0, ++x});
        }
    }
    b.rowStart.push_back(int32_t(b.runs.size()));
    b.parent.resize(b.runs.size());
    for (size_t i = 0; i < b.parent.size(); ++i)
        b.parent[i] = int32_t(i);
    for (int y = y0 + 1; y < y1; ++y)
        joinRows(disparity16, maxDiff, y, y0, b.rowStart.data(), b.runs.data(), b.parent.data());
}

void SpeckleFilter::finish(cv::Mat &disparity16, int16_t invalid, int maxSize, int maxDiff) {
    const int height = disparity16.rows;
    // One numbering for all bands, in row order.
    std::vector<const Band *> order;
    for (const Band &b : bands_)
        order.push_back(&b);
    std::sort(order.begin(), order.end(), [](const Band *a, const Band *b) { return a->y0 < b->y0; });
    runs_.clear();
    parent_.clear();
    for (size_t k = 0; k < order.size(); ++k) {
        const Band &b = *order[k];
        const int y1 = k + 1 < order.size() ? order[k + 1]->y0 : height;
        const int32_t offset = int32_t(runs_.size());
        for (int y = b.y0; y < y1; ++y)
            rowStart_[size_t(y)] = b.rowStart[size_t(y - b.y0)] + offset;
        runs_.insert(runs_.end(), b.runs.begin(), b.runs.end());
        for (int32_t p : b.parent)
            parent_.push_back(p + offset);
    }
    rowStart_[size_t(height)] = int32_t(runs_.size());
    for (size_t k = 1; k < order.size(); ++k)
        joinRows(disparity16, maxDiff, order[k]->y0, 0, rowStart_.data(), runs_.data(), parent_.data());

    // Sizes gathered on the roots (a root comes before its runs), then the
    // small regions' runs cleared.
    size_.resize(runs_.size());
    clear_.resize(runs_.size());
    for (size_t i = 0; i < runs_.size(); ++i)
        size_[i] = runs_[i].x1 - runs_[i].x0;
    for (int32_t i = 0; i < int32_t(runs_.size()); ++i)
        if (const int32_t r = rootOf(parent_.data(), i); r != i) size_[size_t(r)] += size_[size_t(i)];
    for (int32_t i = 0; i < int32_t(runs_.size()); ++i)
        clear_[size_t(i)] = size_[size_t(rootOf(parent_.data(), i))] <= maxSize;
    for (int y = 0; y < height; ++y) {
        int16_t *row = disparity16.ptr<int16_t>(y);
        for (int32_t i = rowStart_[size_t(y)]; i < rowStart_[size_t(y) + 1]; ++i)
            if (clear_[size_t(i)]) std::fill(row + runs_[size_t(i)].x0, row + runs_[size_t(i)].x1, invalid);
    }
}

void SpeckleFilter::joinRows(const cv::Mat &disparity16, int maxDiff, int y, int y0, const int32_t *rowStart,
                             const Run *runs, int32_t *parent) {
    const int16_t *up = disparity16.ptr<int16_t>(y - 1), *row = disparity16.ptr<int16_t>(y);
    int32_t i = rowStart[y - 1 - y0], j = rowStart[y - y0];
    const int32_t iEnd = j, jEnd = rowStart[y + 1 - y0];
    while (i < iEnd && j < jEnd) {
        const Run a = runs[i], b = runs[j];
        const int x0 = std::max(a.x0, b.x0), x1 = std::min(a.x1, b.x1);
        if (x0 < x1 && rootOf(parent, i) != rootOf(parent, j))
            for (int x = x0; x < x1; ++x)
                if (std::abs(up[x] - row[x]) <= maxDiff) {
                    joinRuns(parent, i, j);
                    break;
                }
        if (a.x1 <= b.x1)
            ++i;
        else
            ++j;
    }
}

} // namespace twl
