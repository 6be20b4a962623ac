#pragma once
// The depth range a depth picture spans, and the automatic range that follows
// the depths in view: a histogram of a subsample of the frame gives its 2nd
// and 98th percentile, and the range moves towards them smoothly in recorded
// time, so that the picture neither pumps with every passing object nor lags
// behind a new scene for long.

#include <opencv2/core.hpp>

#include <cstdint>

namespace twl {

struct DepthRange {
    float nearM = 0.0f, farM = 0.0f;
    bool isValid() const { return nearM > 0.0f && farM > nearM; }
};

class DepthRangeFollower {
public:
    /// Share of the depths left out at each end of the range.
    static constexpr float kLowFraction = 0.02f, kHighFraction = 0.98f;
    /// Time constant of the following, seconds of recorded time.
    static constexpr double kTimeConstantS = 0.4;

    /// The percentiles of the valid depths of `depth` (CV_32F, NaN or 0 for
    /// none) that lie within [lowest, highest], from a subsample of about
    /// 16000 pixels; at least kMinimumSpan wide. False when too few pixels
    /// have depth to tell.
    static bool estimate(const cv::Mat &depth, float lowest, float highest, DepthRange *range);

    /// Moves the range towards this frame's estimate. `timestampNs` is the
    /// frame's time: the step grows with the time since the last frame (a
    /// repeated frame changes nothing, a jump in a recording arrives at once);
    /// 0 counts as one frame at 30 fps. The first frame, and the first after
    /// reset(), takes its estimate as it is.
    void update(const cv::Mat &depth, uint64_t timestampNs, float lowest, float highest);
    void reset();
    /// The range followed so far; not valid before a frame with enough depth.
    DepthRange range() const { return range_; }

    /// Narrowest range, metres, and as a share of the range's middle depth.
    static constexpr float kMinimumSpan = 0.1f, kMinimumRelativeSpan = 0.1f;

private:
    DepthRange range_;
    uint64_t lastTimestamp_ = 0;
    bool hasRange_ = false;
};

} // namespace twl
