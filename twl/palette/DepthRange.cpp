#include "twl/palette/DepthRange.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace twl {

namespace {

// Depths are binned by their logarithm: every bin is the same share of its
// depth (0.4 % from 0.5 to 40 m), so a near scene is resolved as finely as a far one.
constexpr int kBins = 1024;
constexpr double kSamples = 16000.0;
// Fewer pixels with depth than this and the frame cannot say where its depths lie.
constexpr int kMinimumCount = 64;

} // namespace

bool DepthRangeFollower::estimate(const cv::Mat &depth, float lowest, float highest, DepthRange *range) {
    if (depth.empty() || depth.type() != CV_32F || !(lowest > 0.0f) || !(highest > lowest)) return false;
    const int step = std::max(1, int(std::sqrt(double(depth.total()) / kSamples)));
    const float logLow = std::log(lowest), logHigh = std::log(highest);
    const float perBin = float(kBins) / (logHigh - logLow);
    std::array<int, kBins> histogram{};
    int count = 0;
    for (int y = step / 2; y < depth.rows; y += step) {
        const float *row = depth.ptr<float>(y);
        for (int x = step / 2; x < depth.cols; x += step) {
            const float z = row[x];
            if (!(z >= lowest && z <= highest)) continue; // NaN too
            ++histogram[size_t(std::min(kBins - 1, int((std::log(z) - logLow) * perBin)))];
            ++count;
        }
    }
    if (count < kMinimumCount) return false;
    // The depth below which `share` of the counted pixels lie, inside its bin
    // by the share of that bin still missing.
    const auto percentile = [&](float share) {
        const float wanted = share * float(count);
        float below = 0.0f;
        for (int bin = 0; bin < kBins; ++bin) {
            const float here = float(histogram[size_t(bin)]);
            if (below + here >= wanted && here > 0.0f)
                return std::exp(logLow + (float(bin) + (wanted - below) / here) / perBin);
            below += here;
        }
        return highest;
    };
    float nearM = percentile(kLowFraction), farM = percentile(kHighFraction);
    // A flat wall would otherwise stretch its noise over the whole ramp.
    const float middle = 0.5f * (nearM + farM);
    const float span = std::max(kMinimumSpan, kMinimumRelativeSpan * middle);
    if (farM - nearM < span) {
        nearM = std::max(lowest, middle - 0.5f * span);
        farM = nearM + span;
    }
    range->nearM = nearM;
    range->farM = farM;
    return true;
}

void DepthRangeFollower::update(const cv::Mat &depth, uint64_t timestampNs, float lowest, float highest) {
    DepthRange target;
    if (!estimate(depth, lowest, highest, &target)) return;
    if (!hasRange_) {
        range_ = target;
        hasRange_ = true;
        lastTimestamp_ = timestampNs;
        return;
    }
    double seconds = 1.0 / 30.0;
    if (timestampNs != 0 && lastTimestamp_ != 0)
        seconds = double(timestampNs > lastTimestamp_ ? timestampNs - lastTimestamp_
                                                      : lastTimestamp_ - timestampNs) *
                  1e-9;
    lastTimestamp_ = timestampNs;
    // Followed in ratios, not metres: 1 to 1.2 m moves as quickly as 5 to 6 m.
    const float share = float(1.0 - std::exp(-seconds / kTimeConstantS));
    const auto follow = [share](float now, float goal) {
        return std::exp(std::log(now) + share * (std::log(goal) - std::log(now)));
    };
    range_.nearM = std::max(lowest, follow(range_.nearM, target.nearM));
    range_.farM = std::min(highest, follow(range_.farM, target.farM));
    if (!(range_.farM > range_.nearM)) range_ = target;
}

void DepthRangeFollower::reset() {
    range_ = DepthRange();
    lastTimestamp_ = 0;
    hasRange_ = false;
}

} // namespace twl
