#include "twl/source/RectifyingSource.h"

#include "twl/calib/StereoCalibration.h"
#include "twl/calib/StereoRectifier.h"

namespace twl {

std::unique_ptr<FrameSource> RectifyingSource::wrap(std::unique_ptr<FrameSource> &source,
                                                    const StereoCalibration &calibration,
                                                    std::string *error) {
    const Resolution size = source->resolution();
    StereoCalibration scaled;
    if (!calibration.scaledTo(cv::Size(int(size.width), int(size.height)), &scaled, error)) return nullptr;
    std::unique_ptr<StereoRectifier> rectifier = StereoRectifier::make(scaled, error);
    if (!rectifier) return nullptr;
    return std::unique_ptr<FrameSource>(new RectifyingSource(std::move(source), std::move(rectifier)));
}

RectifyingSource::RectifyingSource(std::unique_ptr<FrameSource> source,
                                   std::unique_ptr<StereoRectifier> rectifier)
    : source_(std::move(source)), rectifier_(std::move(rectifier)) {}

RectifyingSource::~RectifyingSource() = default;

ERROR_CODE RectifyingSource::grab(StereoFrame &frame) {
    const ERROR_CODE e = source_->grab(raw_);
    if (e != SUCCESS) return e;
    rectifier_->rectify(raw_.left, raw_.right, frame.left, frame.right);
    frame.timestamp = raw_.timestamp;
    return SUCCESS;
}

CameraInformation RectifyingSource::information() const {
    CameraInformation info = source_->information();
    info.calibration_parameters = rectifier_->parameters();
    return info;
}

} // namespace twl
