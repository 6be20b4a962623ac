#pragma once
// Speckle removal on a 16-bit disparity map: every 4-connected region of
// valid pixels (neighbours within maxDiff of each other) of at most maxSize
// pixels becomes invalid, the same result as cv::filterSpeckles. Regions are
// built from runs of a row rather than pixel by pixel, band by band on the
// threads that made the bands, so that the filter no longer costs as much
// as a stage of the matcher while the other core waits.

#include <opencv2/core.hpp>

#include <cstdint>
#include <vector>

namespace twl {

class SpeckleFilter {
public:
    /// The whole filter on `threads` threads.
    void apply(cv::Mat &disparity16, int16_t invalid, int maxSize, int maxDiff, int threads);

    // The same in parts, for a caller that already has threads on row bands:
    // prepare for `bands` bands of consecutive rows, scan each band once its
    // rows are final (any thread, each band on one), then finish on one thread.
    void prepare(const cv::Mat &disparity16, int bands);
    void scanBand(const cv::Mat &disparity16, int16_t invalid, int maxDiff, int band, int y0, int y1);
    void finish(cv::Mat &disparity16, int16_t invalid, int maxSize, int maxDiff);

private:
    struct Run {
        int32_t x0, x1; // [x0, x1) of one row
    };
    struct Band {
        int y0 = 0;
        std::vector<Run> runs;
        std::vector<int32_t> rowStart; // of each row from y0 on, and the run count
        std::vector<int32_t> parent;
        std::vector<uint64_t> valid, links; // of the row being scanned, a bit a pixel
    };
    // Joins the runs of rows y - 1 and y where they touch; rowStart[k] is the
    // first run of row y0 + k in runs and parent.
    static void joinRows(const cv::Mat &disparity16, int maxDiff, int y, int y0, const int32_t *rowStart,
                         const Run *runs, int32_t *parent);

    std::vector<Band> bands_;
    std::vector<Run> runs_;
    std::vector<int32_t> rowStart_; // first run of each row; rowStart_[height] = run count
    std::vector<int32_t> parent_, size_;
    std::vector<uint8_t> clear_;
};

} // namespace twl
