#pragma once
// A frame source in front of one whose pairs are not rectified: rectifies
// every pair with a calibration and reports the rectified intrinsics, so the
// stereo engine and everything after it see an ideal rig. Grabs run on one
// thread at a time; the other calls may come from any thread, as the wrapped
// source allows.

#include "twl/core/FrameSource.h"

#include <memory>
#include <string>

namespace twl {

struct StereoCalibration;
class StereoRectifier;

class RectifyingSource : public FrameSource {
public:
    /// Wraps `source` with `calibration` scaled to the source's size. Null,
    /// with `error` set and `source` left untouched, when the calibration
    /// does not fit that size.
    static std::unique_ptr<FrameSource> wrap(std::unique_ptr<FrameSource> &source,
                                             const StereoCalibration &calibration, std::string *error);
    ~RectifyingSource() override;

    ERROR_CODE grab(StereoFrame &frame) override;
    Resolution resolution() const override { return source_->resolution(); }
    CameraInformation information() const override;
    float fps() const override { return source_->fps(); }
    ERROR_CODE setFps(int fps) override { return source_->setFps(fps); }
    bool isLive() const override { return source_->isLive(); }
    bool isRectified() const override { return true; }
    int frameCount() const override { return source_->frameCount(); }
    int position() const override { return source_->position(); }
    void setPosition(int index) override { source_->setPosition(index); }
    std::vector<CameraControl> controls() override { return source_->controls(); }
    int setControl(uint32_t id, int32_t value) override { return source_->setControl(id, value); }

private:
    RectifyingSource(std::unique_ptr<FrameSource> source, std::unique_ptr<StereoRectifier> rectifier);

    std::unique_ptr<FrameSource> source_;
    std::unique_ptr<StereoRectifier> rectifier_;
    StereoFrame raw_;
};

} // namespace twl
