#include "twl/Camera.h"

#include "twl/CameraSession.h"
#include "twl/calib/StereoCalibration.h"
#include "twl/core/DeviceMemory.h"
#include "twl/core/RecordingSource.h"
#include "twl/source/RectifyingSource.h"
#include "twl/source/VirtualCamera.h"
#include "twl/twv/TwvRecorder.h"
#include "twl/uvc/UvcCamera.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <filesystem>

namespace twl {

Camera::Camera() = default;

Camera::~Camera() { close(); }

ERROR_CODE Camera::open(InitParameters parameters) {
    close();
    ERROR_CODE error = SUCCESS;
    std::unique_ptr<FrameSource> source;
    if (!parameters.inputPath.empty()) {
        source = openRecordingSource(parameters.inputPath.str(), &error);
    } else if (VirtualCamera::isEnabled()) {
        if (!VirtualCamera::isAvailable())
            return ERROR_CODE_CAMERA_NOT_DETECTED;
        source = VirtualCamera::open(parameters.cameraResolution, parameters.cameraFps, &error);
    } else {
        source = UvcCamera::open(std::string(), parameters.cameraResolution, parameters.cameraFps, &error);
    }
    if (!source)
        return error == SUCCESS ? ERROR_CODE_FAILURE : error;
    return openSource(std::move(source), parameters);
}

ERROR_CODE Camera::openSource(std::unique_ptr<FrameSource> source, InitParameters parameters) {
    close();
    if (!source)
        return ERROR_CODE_INVALID_ARGUMENT;
    if (!source->isRectified()) {
        std::string path = parameters.calibrationFile.str();
        if (path.empty() && !parameters.calibrationDirectory.empty()) {
            const std::filesystem::path own = std::filesystem::path(parameters.calibrationDirectory.str()) /
                                              (std::to_string(source->information().serial_number) + ".yml");
            std::error_code ec;
            if (std::filesystem::exists(own, ec))
                path = own.string();
        }
        std::string error;
        StereoCalibration calibration;
        if (!path.empty() && StereoCalibration::load(path, &calibration, &error)) {
            std::unique_ptr<FrameSource> rectified = RectifyingSource::wrap(source, calibration, &error);
            if (rectified)
                source = std::move(rectified);
            else
                error = "calibration file " + path + ": " + error;
        }
        calibrationError_ = error;
        calibrated_ = source->isRectified();
    }
    session_ = std::make_unique<CameraSession>(std::move(source), parameters);
    return SUCCESS;
}

bool Camera::isOpened() const { return session_ != nullptr; }

void Camera::close() {
    session_.reset();
    calibrated_ = true;
    calibrationError_ = String();
}

bool Camera::isCalibrated() const { return calibrated_; }

String Camera::getCalibrationError() const { return calibrationError_; }

ERROR_CODE Camera::grab(RuntimeParameters parameters) {
    if (!session_)
        return ERROR_CODE_CAMERA_NOT_OPENED;
    return session_->grab(parameters);
}

ERROR_CODE Camera::retrieveImage(Mat &mat, VIEW view, MEM memory, size_t width, size_t height) {
    if (!session_)
        return ERROR_CODE_CAMERA_NOT_OPENED;
    return session_->retrieveImage(mat, view, memory, width, height);
}

ERROR_CODE Camera::retrieveMeasure(Mat &mat, MEASURE measure, MEM memory, size_t width, size_t height) {
    if (!session_)
        return ERROR_CODE_CAMERA_NOT_OPENED;
    return session_->retrieveMeasure(mat, measure, memory, width, height);
}

Resolution Camera::getResolution() const { return session_ ? session_->resolution() : Resolution(); }

CameraInformation Camera::getCameraInformation(Resolution resolution) const {
    if (!session_)
        return CameraInformation();
    CameraInformation info = session_->information();
    const Resolution full = session_->resolution();
    if (resolution.width == 0 || resolution.height == 0 || resolution == full)
        return info;
    // Intrinsics of a scaled picture; the fields of view do not change.
    const float sx = float(resolution.width) / float(full.width);
    const float sy = float(resolution.height) / float(full.height);
    for (CameraParameters *c : {&info.calibration_parameters.left_cam, &info.calibration_parameters.right_cam}) {
        c->fx *= sx;
        c->cx = (c->cx + 0.5f) * sx - 0.5f;
        c->fy *= sy;
        c->cy = (c->cy + 0.5f) * sy - 0.5f;
        c->image_size = resolution;
    }
    return info;
}

ContextHandle Camera::getCUDAContext() const { return session_ ? deviceContext() : nullptr; }

float Camera::getDepthMinRangeValue() const { return session_ ? session_->minDepth() : 0.0f; }

float Camera::getDepthMaxRangeValue() const { return session_ ? session_->maxDepth.load() : 0.0f; }

void Camera::setDepthMaxRangeValue(float metres) {
    if (session_ && std::isfinite(metres) && metres > 0.0f)
        session_->maxDepth.store(metres);
}

void Camera::setConfidenceThreshold(int threshold) {
    if (session_)
        session_->confidenceThreshold.store(std::clamp(threshold, 0, 100));
}

int Camera::getConfidenceThreshold() const { return session_ ? session_->confidenceThreshold.load() : 0; }

void Camera::setDepthLook(const DepthLook &look) {
    if (session_) session_->setDepthLook(look);
}

DepthLook Camera::getDepthLook() const {
    return session_ ? session_->depthLook() : DepthLook();
}

DepthRange Camera::getDepthPictureRange() {
    return session_ ? session_->pictureRange() : DepthRange();
}

ERROR_CODE Camera::setCameraFPS(int fps) {
    if (!session_)
        return ERROR_CODE_CAMERA_NOT_OPENED;
    return session_->source().setFps(fps);
}

float Camera::getCameraFPS() const { return session_ ? session_->source().fps() : 0.0f; }

uint64_t Camera::getCameraTimestamp() const { return session_ ? session_->timestamp() : 0; }

bool Camera::recordFrame(TwvRecorder &recorder) const {
    if (!session_ || session_->frame().left.empty()) return false;
    const StereoFrame &frame = session_->frame();
    return recorder.push(frame.left, frame.right, frame.timestamp);
}

int Camera::getTWVNumberOfFrames() const {
    return session_ && !session_->source().isLive() ? session_->source().frameCount() : 0;
}

int Camera::getTWVPosition() const {
    return session_ && !session_->source().isLive() ? session_->source().position() : 0;
}

void Camera::setTWVPosition(int position) {
    if (session_ && !session_->source().isLive())
        session_->source().setPosition(position);
}

void Camera::resetSelfCalibration() {
    // Our pairs arrive rectified; what a recalibration can really reset here
    // is the temporal history of the depth.
    if (session_)
        session_->resetTemporalState();
}

std::vector<CameraControl> Camera::getControls() const {
    return session_ ? session_->source().controls() : std::vector<CameraControl>();
}

int Camera::setControl(uint32_t id, int32_t value) {
    return session_ ? session_->source().setControl(id, value) : ENODEV;
}

std::vector<ControlRefusal>
Camera::restoreControls(const std::vector<std::pair<std::string, int32_t>> &values) {
    if (!session_ || values.empty()) return {};
    FrameSource &source = session_->source();
    std::vector<ControlRefusal> refused = applyControlValues(
        values, [&source] { return source.controls(); },
        [&source](uint32_t id, int32_t value) { return source.setControl(id, value); });
    // A value for a control that an automatic mode drives now (a manual
    // exposure kept from before auto exposure went back on) has nothing to
    // set: no refusal to report.
    const std::vector<CameraControl> now = source.controls();
    refused.erase(std::remove_if(refused.begin(), refused.end(),
                                 [&now](const ControlRefusal &r) {
                                     const CameraControl *c = findControl(now, r.key);
                                     return r.error == EACCES && c && c->inactive;
                                 }),
                  refused.end());
    return refused;
}

std::vector<ControlRefusal> Camera::resetControls() {
    if (!session_) return {};
    // Drivers list an automatic mode before the value it drives: from the
    // end, exposure gets its default while manual exposure still allows it,
    // and only then auto exposure returns.
    std::vector<std::pair<std::string, int32_t>> defaults;
    const std::vector<CameraControl> controls = getControls();
    for (auto c = controls.rbegin(); c != controls.rend(); ++c)
        defaults.emplace_back(c->key, c->defaultValue);
    return restoreControls(defaults);
}

std::vector<DeviceProperties> Camera::getDeviceList() {
    std::vector<DeviceProperties> list;
    if (VirtualCamera::isAvailable()) {
        DeviceProperties p;
        p.id = 0;
        p.serial_number = VirtualCamera::serialNumber();
        p.path = "virtual";
        list.push_back(p);
    } else if (!VirtualCamera::isEnabled()) {
        for (const UvcCamera::DeviceInfo &device : UvcCamera::scan()) {
            DeviceProperties p;
            p.id = int(list.size());
            p.serial_number = device.serialNumber;
            p.path = device.node;
            list.push_back(p);
        }
    }
    return list;
}

} // namespace twl
