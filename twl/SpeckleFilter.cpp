#include "twl/SpeckleFilter.h"

#include "twl/RunOnThreads.h"

#include <algorithm>
#include <cstdlib>
#include <numeric>

namespace twl {

void SpeckleFilter::apply(cv::Mat &disparity16, int16_t invalid, int maxSize, int maxDiff, int threads) {
    CV_Assert(disparity16.type() == CV_16S);
    const int height = disparity16.rows;
    if (disparity16.empty() || maxSize <= 0) return;
    const int bands = std::clamp(threads, 1, height);
    bandRuns_.resize(size_t(bands));
    rowStart_.assign(size_t(height) + 1, 0);
    auto bandRows = [&](int t) { return std::make_pair(height * t / bands, height * (t + 1) / bands); };

    // Runs of each band, then one numbering for all of them.
    runOnThreads(bands, [&](int t, int) {
        const auto [y0, y1] = bandRows(t);
        findRuns(disparity16, invalid, maxDiff, y0, y1, bandRuns_[size_t(t)]);
    });
    runs_.clear();
    for (int t = 0; t < bands; ++t) {
        const auto [y0, y1] = bandRows(t);
        for (int y = y0; y < y1; ++y)
            rowStart_[size_t(y)] += int32_t(runs_.size());
        runs_.insert(runs_.end(), bandRuns_[size_t(t)].begin(), bandRuns_[size_t(t)].end());
    }
    rowStart_[size_t(height)] = int32_t(runs_.size());
    parent_.resize(runs_.size());
    std::iota(parent_.begin(), parent_.end(), 0);

    // Regions within each band (a band's runs only ever point at runs of the
    // same band, so the threads touch disjoint parts of parent_), then across
    // the seams.
    runOnThreads(bands, [&](int t, int) {
        const auto [y0, y1] = bandRows(t);
        for (int y = y0 + 1; y < y1; ++y)
            joinRows(disparity16, maxDiff, y);
    });
    for (int t = 1; t < bands; ++t)
        joinRows(disparity16, maxDiff, bandRows(t).first);

    // Sizes gathered on the roots, then the small regions' runs cleared.
    size_.resize(runs_.size());
    for (size_t i = 0; i < runs_.size(); ++i)
        size_[i] = runs_[i].x1 - runs_[i].x0;
    for (int32_t i = 0; i < int32_t(runs_.size()); ++i)
        if (const int32_t r = root(i); r != i) size_[size_t(r)] += size_[size_t(i)];
    clear_.resize(runs_.size());
    for (int32_t i = 0; i < int32_t(runs_.size()); ++i)
        clear_[size_t(i)] = size_[size_t(root(i))] <= maxSize;
    runOnThreads(bands, [&](int t, int) {
        const auto [y0, y1] = bandRows(t);
        for (int y = y0; y < y1; ++y) {
            int16_t *row = disparity16.ptr<int16_t>(y);
            for (int32_t i = rowStart_[size_t(y)]; i < rowStart_[size_t(y) + 1]; ++i)
                if (clear_[size_t(i)])
                    std::fill(row + runs_[size_t(i)].x0, row + runs_[size_t(i)].x1, invalid);
        }
    });
}

void SpeckleFilter::findRuns(const cv::Mat &disparity16, int16_t invalid, int maxDiff, int y0, int y1,
                             std::vector<Run> &runs) {
    runs.clear();
    const int width = disparity16.cols;
    for (int y = y0; y < y1; ++y) {
        rowStart_[size_t(y)] = int32_t(runs.size()); // within the band until numbered
        const int16_t *row = disparity16.ptr<int16_t>(y);
        for (int x = 0; x < width;) {
            if (row[x] == invalid) {
                ++x;
                continue;
            }
            const int x0 = x;
            while (x + 1 < width && row[x + 1] != invalid && std::abs(row[x + 1] - row[x]) <= maxDiff)
                ++x;
            runs.push_back({x0, ++x});
        }
    }
}

void SpeckleFilter::joinRows(const cv::Mat &disparity16, int maxDiff, int y) {
    const int16_t *up = disparity16.ptr<int16_t>(y - 1), *row = disparity16.ptr<int16_t>(y);
    int32_t i = rowStart_[size_t(y) - 1], j = rowStart_[size_t(y)];
    const int32_t iEnd = rowStart_[size_t(y)], jEnd = rowStart_[size_t(y) + 1];
    while (i < iEnd && j < jEnd) {
        const Run a = runs_[size_t(i)], b = runs_[size_t(j)];
        const int x0 = std::max(a.x0, b.x0), x1 = std::min(a.x1, b.x1);
        if (x0 < x1 && root(i) != root(j))
            for (int x = x0; x < x1; ++x)
                if (std::abs(up[x] - row[x]) <= maxDiff) {
                    join(i, j);
                    break;
                }
        if (a.x1 <= b.x1)
            ++i;
        else
            ++j;
    }
}

int32_t SpeckleFilter::root(int32_t i) {
    while (parent_[size_t(i)] != i) {
        parent_[size_t(i)] = parent_[size_t(parent_[size_t(i)])];
        i = parent_[size_t(i)];
    }
    return i;
}

void SpeckleFilter::join(int32_t a, int32_t b) {
    a = root(a);
    b = root(b);
    if (a != b) parent_[size_t(std::max(a, b))] = std::min(a, b);
}

} // namespace twl
