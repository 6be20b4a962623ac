#pragma once
// Speckle removal on a 16-bit disparity map: every 4-connected region of
// valid pixels (neighbours within maxDiff of each other) of at most maxSize
// pixels becomes invalid, the same result as cv::filterSpeckles. Regions are
// built from runs of a row rather than pixel by pixel, and rows are shared
// between threads, so that the filter no longer costs as much as a stage of
// the matcher while the other core waits.

#include <opencv2/core.hpp>

#include <cstdint>
#include <vector>

namespace twl {

class SpeckleFilter {
public:
    void apply(cv::Mat &disparity16, int16_t invalid, int maxSize, int maxDiff, int threads);

private:
    struct Run {
        int32_t x0, x1; // [x0, x1) of one row
    };
    void findRuns(const cv::Mat &disparity16, int16_t invalid, int maxDiff, int y0, int y1,
                  std::vector<Run> &runs);
    void joinRows(const cv::Mat &disparity16, int maxDiff, int y);
    int32_t root(int32_t i);
    void join(int32_t a, int32_t b);

    std::vector<std::vector<Run>> bandRuns_;
    std::vector<Run> runs_;
    std::vector<int32_t> rowStart_; // first run of each row; rowStart_[height] = run count
    std::vector<int32_t> parent_, size_;
    std::vector<uint8_t> clear_;
};

} // namespace twl
