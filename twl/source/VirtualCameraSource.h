#pragma once
// The virtual live camera as a frame source: renders the virtual scene for
// each frame and paces delivery like a real camera (frame k is due at the
// open time + k / fps; a late caller gets the latest due frame at once
// instead of a burst of stale ones; an early one draws its frame while it
// waits, so that the frame is there at its time, as a camera's is).
// Thread-safe: grab runs on the capture thread while another thread may
// change the rate or pull the cable.

#include "twl/core/FrameSource.h"

#include <atomic>
#include <cstdint>
#include <memory>

namespace twl {

class VirtualScene;

class VirtualCameraSource : public FrameSource {
public:
    /// `fps` must be allowed for the resolution (VirtualCamera::open checks).
    VirtualCameraSource(int resolutionIndex, int fps);
    ~VirtualCameraSource() override;

    ERROR_CODE grab(StereoFrame &frame) override;
    Resolution resolution() const override;
    CameraInformation information() const override;
    float fps() const override;
    /// A disallowed rate takes the nearest allowed one, 0 the highest allowed.
    ERROR_CODE setFps(int fps) override;
    bool isLive() const override { return true; }
    /// Exposure, gain and brightness, as a UVC camera names them. They act on
    /// the pictures as a sensor would: exposure and gain scale the light,
    /// gain adds noise, brightness shifts every level. At their defaults the
    /// pictures are the scene as rendered.
    std::vector<CameraControl> controls() override;
    int setControl(uint32_t id, int32_t value) override;

    /// Without pacing every grab renders the next frame at once (benchmarks;
    /// also switched off by VANTARO_VIRTUAL_CAMERA_UNPACED=1 at open). Scene
    /// time still advances by 1 / fps per frame.
    void setPaced(bool paced);
    bool isPaced() const;
    /// Scene time of the last grabbed frame, seconds since open.
    double lastSceneTime() const;
    /// Renders the scene at a given time with its ground-truth depth; for
    /// tests and benchmarks that need to know what the camera saw. Call it
    /// from the grabbing thread (or while nobody grabs).
    void renderAt(double sceneTime, StereoFrame &frame, cv::Mat *leftDepth);

private:
    VirtualScene &scene();
    /// The controls' effect on a freshly rendered pair (grabbing thread);
    /// true when it changed the pair.
    bool expose(StereoFrame &frame);

    struct State;
    std::unique_ptr<State> state_;
    std::unique_ptr<VirtualScene> scene_; // made by the first grab
    Resolution size_;
    int resolutionIndex_;

    std::atomic<int32_t> controlValues_[3]; // exposure, gain, brightness
    // Grabbing thread only: the level table of the values it was built for, and the noise.
    cv::Mat levels_;
    int32_t levelsFor_[3] = {-1, -1, -1};
    cv::Mat noise_;
    cv::RNG random_{0x5eed};
    // The next frame, drawn while the grab waited for its time, and its scene
    // time (negative when it holds none).
    StereoFrame ahead_;
    double aheadTime_ = -1;
};

} // namespace twl
