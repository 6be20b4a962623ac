#pragma once
// Where a camera session takes its stereo pairs from: the virtual live camera
// or a recording. Internal to the camera layer.

#include "twl/core/CameraControl.h"
#include "twl/core/Types.h"

#include <opencv2/core.hpp>

#include <cerrno>
#include <vector>

namespace twl {

/// One rectified stereo pair as delivered by a source.
struct StereoFrame {
    cv::Mat left;  // CV_8UC4, BGRA, camera size
    cv::Mat right; // CV_8UC4, BGRA, camera size
    // The eyes' grey (CV_8UC1, OpenCV's conversion) where the source made it
    // as it made them (see FrameSource::wantGrey); empty otherwise.
    cv::Mat greyLeft, greyRight;
    uint64_t timestamp = 0; // nanoseconds; 0 = none
};

class FrameSource {
public:
    virtual ~FrameSource() = default;
    /// Next pair. Live sources wait for their next frame time and answer
    /// ERROR_CODE_CAMERA_NOT_DETECTED once unplugged; recordings answer
    /// ERROR_CODE_END_OF_FILE after their last frame. The pixels handed out
    /// are the source's to draw over at the next grab into the same frame:
    /// a caller that changes them changes a copy.
    virtual ERROR_CODE grab(StereoFrame &frame) = 0;
    virtual Resolution resolution() const = 0;
    /// Serial number, firmware, model and calibration at the camera size.
    virtual CameraInformation information() const = 0;
    virtual float fps() const = 0;
    virtual ERROR_CODE setFps(int) { return ERROR_CODE_INVALID_ARGUMENT; }
    virtual bool isLive() const = 0;
    /// False for a source whose pairs come straight off two real lenses and
    /// need a calibration's rectification before matching.
    virtual bool isRectified() const { return true; }
    /// Asks for the eyes' grey with the pairs made from now on (or for none).
    /// A source that makes the eyes a few rows at a time makes it while
    /// they are in its cache, at less cost than anyone after it; the others
    /// leave it empty.
    virtual void wantGrey(bool wanted) { (void)wanted; }
    virtual int frameCount() const { return 0; }
    /// Index of the last frame grabbed (recordings only).
    virtual int position() const { return 0; }
    /// The next grab returns frame `index` (recordings only).
    virtual void setPosition(int) {}

    /// The image controls the camera offers now, with their current values
    /// and whether each is inactive; empty for a source without any.
    virtual std::vector<CameraControl> controls() { return {}; }
    /// Sets one control: 0, or the error number of the refusal (EACCES for
    /// an inactive control, EBUSY, ERANGE, EINVAL, EIO, ENODEV; ENOTTY for a
    /// source without controls). The value the camera holds afterwards is
    /// what controls() reads back.
    virtual int setControl(uint32_t /*id*/, int32_t /*value*/) { return ENOTTY; }
};

} // namespace twl
