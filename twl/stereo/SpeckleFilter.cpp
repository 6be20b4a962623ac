#include "twl/stereo/SpeckleFilter.h"

#include "twl/util/WorkerPool.h"

#include <opencv2/core/hal/intrin.hpp>

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

// Bit x of `valid`: pixel x holds a disparity; bit x of `links`: so do x
// and x + 1, within maxDiff of each other. Bits past the row are clear.
void rowBits(const int16_t *row, int width, int16_t invalid, int maxDiff, uint64_t *valid, uint64_t *links) {
    std::fill_n(valid, (width + 63) / 64, 0);
    std::fill_n(links, (width + 63) / 64, 0);
    int x = 0;
#if CV_SIMD128
    // Eight pixels compared at once, and the runs then found by scanning
    // bits, rather than a loop that branched on every pixel.
    const cv::v_int16x8 none = cv::v_setall_s16(invalid);
    const cv::v_uint16x8 near = cv::v_setall_u16(uint16_t(std::min(maxDiff, 65535)));
    for (; maxDiff >= 0 && x + 9 <= width; x += 8) {
        const cv::v_int16x8 a = cv::v_load(row + x), b = cv::v_load(row + x + 1);
        const cv::v_int16x8 here = a != none;
        const cv::v_int16x8 joined =
            here & (b != none) & cv::v_reinterpret_as_s16(cv::v_absdiff(a, b) <= near);
        valid[x / 64] |= uint64_t(cv::v_signmask(here)) << (x % 64);
        links[x / 64] |= uint64_t(cv::v_signmask(joined)) << (x % 64);
    }
#endif
    for (; x < width; ++x) {
        if (row[x] == invalid) continue;
        valid[x / 64] |= uint64_t(1) << (x % 64);
        if (x + 1 < width && row[x + 1] != invalid && std::abs(row[x + 1] - row[x]) <= maxDiff)
            links[x / 64] |= uint64_t(1) << (x % 64);
    }
}

// The first bit from `from` on that is set (or, with `flip`, clear), or `end`.
int nextBit(const uint64_t *bits, int from, int end, bool flip) {
    const int words = (end + 63) / 64;
    for (int i = from / 64; i < words; ++i) {
        uint64_t word = flip ? ~bits[i] : bits[i];
        if (i == from / 64) word &= ~uint64_t(0) << (from % 64);
        if (word) return std::min(end, i * 64 + __builtin_ctzll(word));
    }
    return end;
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
    b.valid.resize(size_t(width + 63) / 64);
    b.links.resize(b.valid.size());
    for (int y = y0; y < y1; ++y) {
        b.rowStart.push_back(int32_t(b.runs.size()));
        rowBits(disparity16.ptr<int16_t>(y), width, invalid, maxDiff, b.valid.data(), b.links.data());
        // A run starts at a valid pixel and ends after the first that does
        // not link to its right neighbour (the last pixel never does).
        for (int x = nextBit(b.valid.data(), 0, width, false); x < width;) {
            const int last = nextBit(b.links.data(), x, width, true);
            b.runs.push_back({x, last + 1});
            x = nextBit(b.valid.data(), last + 1, width, false);
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
