#include "twl/source/VirtualCameraSource.h"

#include "twl/source/VirtualCamera.h"
#include "twl/source/VirtualScene.h"
#include "twl/util/SteadyClock.h"

#include <linux/videodev2.h>

#include <opencv2/core.hpp>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace twl {

namespace {
// The controls, with the ids, names, ranges and units of a UVC camera's:
// exposure in 100 us steps (10 ms as it comes), gain 0..100, brightness in
// grey levels.
struct ControlSpec {
    uint32_t id;
    const char *name;
    int32_t minimum, maximum, defaultValue;
};
enum { kExposure, kGain, kBrightness };
constexpr ControlSpec kControls[3] = {{V4L2_CID_EXPOSURE_ABSOLUTE, "Exposure Time, Absolute", 1, 1000, 100},
                                      {V4L2_CID_GAIN, "Gain", 0, 100, 0},
                                      {V4L2_CID_BRIGHTNESS, "Brightness", -64, 64, 0}};
// Gain 100 triples the signal and adds noise of 10 grey levels.
constexpr float kFullGain = 2.0f, kFullGainNoise = 10.0f;
} // namespace

// Frame clock, guarded by VirtualCamera::detail::stateMutex(): frame k is due
// at base + k * period; `last` is the index of the frame last delivered.
struct VirtualCameraSource::State {
    int fps = 15;
    int64_t base = 0;
    int64_t last = -1;
    double sceneTime = 0;
    bool paced = true;
};

VirtualCameraSource::VirtualCameraSource(int resolutionIndex, int fps)
    : state_(new State), size_(resolutionSize(resolutionIndex)), resolutionIndex_(resolutionIndex) {
    for (int i = 0; i < 3; ++i)
        controlValues_[i].store(kControls[i].defaultValue);
    state_->fps = fps;
    const char *unpaced = std::getenv("VANTARO_VIRTUAL_CAMERA_UNPACED");
    state_->paced = !(unpaced && std::strcmp(unpaced, "1") == 0);
    state_->base = steadyNowNs();
}

VirtualCameraSource::~VirtualCameraSource() = default;

ERROR_CODE VirtualCameraSource::grab(StereoFrame &frame) {
    double sceneTime = 0;
    uint64_t timestamp = 0;
    {
        std::unique_lock<std::mutex> lock(VirtualCamera::detail::stateMutex());
        State &s = *state_;
        for (;;) {
            if (!VirtualCamera::isPlugged()) return ERROR_CODE_CAMERA_NOT_DETECTED;
            const int64_t period = 1000000000LL / s.fps;
            const int64_t now = steadyNowNs();
            int64_t next = s.last + 1;
            int64_t due = s.base + next * period;
            auto sceneTimeOf = [&](int64_t frameIndex) {
                return s.last < 0 ? double(frameIndex) * double(period) * 1e-9
                                  : s.sceneTime + double(frameIndex - s.last) * double(period) * 1e-9;
            };
            if (!s.paced) {
                timestamp = uint64_t(now);
            } else if (now < due) {
                // Early: the frame is drawn now, as a sensor exposes it whether
                // or not anyone reads it yet, so that it is there when due
                // rather than a drawing's time after. A rate change while it
                // is drawn gives the frame another scene time, drawn again.
                const double aheadTime = sceneTimeOf(next);
                if (aheadTime != aheadTime_) {
                    lock.unlock();
                    scene().renderOver(aheadTime, ahead_.left, ahead_.right);
                    aheadTime_ = aheadTime;
                    lock.lock();
                    continue;
                }
                // Woken early by a rate change or the cable: the loop re-checks both.
                VirtualCamera::detail::stateChanged().wait_until(
                    lock, std::chrono::steady_clock::time_point(std::chrono::nanoseconds(due)));
                continue;
            } else {
                // Late: deliver the latest due frame, skipping the ones missed.
                next = std::max(next, (now - s.base) / period);
                due = s.base + next * period;
                timestamp = uint64_t(due);
            }
            sceneTime = sceneTimeOf(next);
            s.sceneTime = sceneTime;
            s.last = next;
            break;
        }
    }
    if (sceneTime == aheadTime_) {
        // The caller's old pair becomes the one the next frame is drawn into.
        cv::swap(frame.left, ahead_.left);
        cv::swap(frame.right, ahead_.right);
    } else {
        scene().renderOver(sceneTime, frame.left, frame.right);
    }
    aheadTime_ = -1;
    if (expose(frame)) {
        // Changed in place: the scene may no longer draw over it.
        scene().forget(frame.left);
        scene().forget(frame.right);
    }
    frame.timestamp = timestamp;
    return SUCCESS;
}

bool VirtualCameraSource::expose(StereoFrame &frame) {
    int32_t now[3];
    bool asRendered = true;
    for (int i = 0; i < 3; ++i) {
        now[i] = controlValues_[i].load();
        asRendered = asRendered && now[i] == kControls[i].defaultValue;
    }
    if (asRendered) return false;
    if (!std::equal(now, now + 3, levelsFor_)) {
        const float scale = float(now[kExposure]) / float(kControls[kExposure].defaultValue) *
                            (1.0f + kFullGain * float(now[kGain]) / 100.0f);
        levels_.create(1, 256, CV_8UC4);
        for (int v = 0; v < 256; ++v) {
            const uchar level = cv::saturate_cast<uchar>(float(v) * scale + float(now[kBrightness]));
            levels_.at<cv::Vec4b>(v) = cv::Vec4b(level, level, level, uchar(v)); // alpha stays
        }
        std::copy(now, now + 3, levelsFor_);
    }
    const double sigma = kFullGainNoise * double(now[kGain]) / 100.0;
    for (cv::Mat *eye : {&frame.left, &frame.right}) {
        cv::LUT(*eye, levels_, *eye);
        if (sigma <= 0) continue;
        noise_.create(eye->size(), CV_16SC4);
        random_.fill(noise_, cv::RNG::NORMAL, cv::Scalar::all(0), cv::Scalar(sigma, sigma, sigma, 0));
        cv::add(*eye, noise_, *eye, cv::noArray(), CV_8UC4);
    }
    return true;
}

std::vector<CameraControl> VirtualCameraSource::controls() {
    std::vector<CameraControl> list;
    for (int i = 0; i < 3; ++i) {
        CameraControl c;
        c.id = kControls[i].id;
        c.name = kControls[i].name;
        c.key = controlKey(c.name);
        c.minimum = kControls[i].minimum;
        c.maximum = kControls[i].maximum;
        c.defaultValue = kControls[i].defaultValue;
        c.value = controlValues_[i].load();
        list.push_back(c);
    }
    return list;
}

int VirtualCameraSource::setControl(uint32_t id, int32_t value) {
    for (int i = 0; i < 3; ++i)
        if (kControls[i].id == id) {
            // Clamped into range, as the UVC driver does with integers.
            controlValues_[i].store(std::clamp(value, kControls[i].minimum, kControls[i].maximum));
            return 0;
        }
    return EINVAL;
}

void VirtualCameraSource::renderAt(double sceneTime, StereoFrame &frame, cv::Mat *leftDepth) {
    scene().render(sceneTime, frame.left, frame.right, leftDepth);
    frame.timestamp = uint64_t(steadyNowNs());
}

// The static room is rendered on the first grab, on the capturing thread, so
// that opening stays quick for the thread that opens.
VirtualScene &VirtualCameraSource::scene() {
    if (!scene_) scene_.reset(new VirtualScene(size_));
    return *scene_;
}

Resolution VirtualCameraSource::resolution() const {
    return size_;
}

CameraInformation VirtualCameraSource::information() const {
    CameraInformation info;
    info.serial_number = VirtualCamera::serialNumber();
    info.firmware_version = VirtualCamera::firmwareVersion();
    info.camera_model = 0;
    info.calibration_parameters = VirtualScene::calibration(size_);
    return info;
}

float VirtualCameraSource::fps() const {
    std::lock_guard<std::mutex> lock(VirtualCamera::detail::stateMutex());
    return float(state_->fps);
}

ERROR_CODE VirtualCameraSource::setFps(int fps) {
    if (fps <= 0)
        fps = nearestAllowedFrameRate(resolutionIndex_, 1000);
    else if (!isFrameRateAllowed(resolutionIndex_, fps))
        fps = nearestAllowedFrameRate(resolutionIndex_, fps);
    {
        std::lock_guard<std::mutex> lock(VirtualCamera::detail::stateMutex());
        State &s = *state_;
        if (fps != s.fps) {
            // The new clock starts at the last delivered frame, so the next one
            // comes one new period after it.
            const int64_t oldPeriod = 1000000000LL / s.fps;
            if (s.last >= 0) {
                s.base += s.last * oldPeriod;
                s.last = 0;
            } else {
                s.base = steadyNowNs();
            }
            s.fps = fps;
        }
    }
    VirtualCamera::detail::stateChanged().notify_all();
    return SUCCESS;
}

void VirtualCameraSource::setPaced(bool paced) {
    {
        std::lock_guard<std::mutex> lock(VirtualCamera::detail::stateMutex());
        state_->paced = paced;
    }
    VirtualCamera::detail::stateChanged().notify_all();
}

bool VirtualCameraSource::isPaced() const {
    std::lock_guard<std::mutex> lock(VirtualCamera::detail::stateMutex());
    return state_->paced;
}

double VirtualCameraSource::lastSceneTime() const {
    std::lock_guard<std::mutex> lock(VirtualCamera::detail::stateMutex());
    return state_->sceneTime;
}

} // namespace twl
