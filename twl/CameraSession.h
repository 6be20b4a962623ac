#pragma once
// The state of one open camera: its frame source, the stereo engine and the
// per-grab results the retrieve calls read from. Internal to the camera layer.

#include "twl/core/FrameSource.h"
#include "twl/core/Mat.h"
#include "twl/palette/DepthColormap.h"
#include "twl/palette/DepthRange.h"
#include "twl/stereo/StereoEngine.h"

#include <atomic>
#include <memory>

namespace twl {

class CameraSession {
public:
    CameraSession(std::unique_ptr<FrameSource> source, const InitParameters &parameters);

    ERROR_CODE grab(const RuntimeParameters &parameters);
    ERROR_CODE retrieveImage(Mat &mat, VIEW view, MEM memory, size_t width, size_t height);
    ERROR_CODE retrieveMeasure(Mat &mat, MEASURE measure, MEM memory, size_t width, size_t height);

    FrameSource &source() { return *source_; }
    const FrameSource &source() const { return *source_; }
    Resolution resolution() const { return size_; }
    const CameraInformation &information() const { return info_; }
    float minDepth() const { return minDepth_; }
    uint64_t timestamp() const { return timestamp_; }
    /// The pair of the last successful grab; empty before the first.
    const StereoFrame &frame() const { return frame_; }
    void resetTemporalState();

    /// The look of the depth picture (capture thread, like grab); a change
    /// shows at the next retrieval, an auto range starts afresh from it.
    void setDepthLook(const DepthLook &look);
    const DepthLook &depthLook() const { return look_; }
    /// The range the depth picture of the current frame spans; worked out
    /// once per grab, at the first retrieval that needs it.
    DepthRange pictureRange();

    std::atomic<float> maxDepth{20.0f};
    std::atomic<int> confidenceThreshold{100};

private:
    void updateDepth(bool fill, bool stabilise);
    const cv::Mat &leftAt(cv::Size size);
    const cv::Mat &depthAt(cv::Size size);
    void makeRays(cv::Size size);

    std::unique_ptr<FrameSource> source_;
    InitParameters init_;
    CameraInformation info_;
    Resolution size_;
    float minDepth_ = 0.5f;
    float focalBaseline_ = 0.0f; // fx * baseline: depth = focalBaseline / disparity

    StereoEngine engine_;
    StereoFrame frame_;
    StereoResult stereo_;
    bool hasFrame_ = false;
    bool hasDepth_ = false;
    uint64_t timestamp_ = 0;

    cv::Mat previousDisparity_; // stabilisation history at the working size
    cv::Mat depth_;             // CV_32F metres at the working size, NaN = invalid
    cv::Mat confidence_;        // CV_32F 0..100 at the working size, 0 = invalid

    DepthLook look_;
    DepthRangeFollower follower_;
    DepthRange frameRange_;
    bool rangeFresh_ = false; // frameRange_ belongs to the current frame

    // Caches valid for the current frame only.
    cv::Mat leftScaled_;
    cv::Size leftScaledSize_;
    cv::Mat depthScaled_;
    cv::Size depthScaledSize_;
    cv::Mat measureScaled_;
    cv::Mat rayX_, rayY_;
    cv::Size raySize_;
};

} // namespace twl
