#pragma once
// One stereo camera session: a live camera (the virtual camera when
// VANTARO_VIRTUAL_CAMERA is set) or a recorded .twv file. grab() takes the
// next stereo pair and computes depth from it; the retrieve calls then fill
// matrices in host or device memory at any size.

#include "twl/core/CameraControl.h"
#include "twl/core/Mat.h"
#include "twl/core/Types.h"
#include "twl/palette/DepthColormap.h"
#include "twl/palette/DepthRange.h"

#include <memory>
#include <vector>

namespace twl {

class CameraSession;
class FrameSource;
class TwvRecorder;

class Camera {
public:
    Camera();
    ~Camera();
    Camera(const Camera &) = delete;
    Camera &operator=(const Camera &) = delete;

    ERROR_CODE open(InitParameters parameters = InitParameters());
    /// Opens over a source the caller made (tools and tests). A source whose
    /// pairs are not rectified is rectified with the calibration that
    /// `parameters` names, else with "<serial>.yml" in its calibration
    /// directory, else taken as it comes.
    ERROR_CODE openSource(std::unique_ptr<FrameSource> source, InitParameters parameters = InitParameters());
    bool isOpened() const;
    void close();

    /// False when the open camera's pairs need a calibration and none could
    /// be used: they are then taken as rectified, with the camera's nominal
    /// field of view, and depth suffers.
    bool isCalibrated() const;
    /// Why the calibration file of the last open could not be used (names the
    /// file and the key); empty when there was none or it was fine.
    String getCalibrationError() const;

    /// Takes the next frame: a live camera waits for its next frame time, a
    /// recording reads its next frame (ERROR_CODE_END_OF_FILE past the last).
    /// ERROR_CODE_CAMERA_NOT_DETECTED when the camera was unplugged.
    ERROR_CODE grab(RuntimeParameters parameters = RuntimeParameters());

    ERROR_CODE retrieveImage(Mat &mat, VIEW view = VIEW_LEFT, MEM memory = MEM_CPU, size_t width = 0,
                             size_t height = 0);
    ERROR_CODE retrieveMeasure(Mat &mat, MEASURE measure = MEASURE_DEPTH, MEM memory = MEM_CPU,
                               size_t width = 0, size_t height = 0);

    Resolution getResolution() const;
    CameraInformation getCameraInformation(Resolution resolution = Resolution(0, 0)) const;
    ContextHandle getCUDAContext() const;

    float getDepthMinRangeValue() const;
    float getDepthMaxRangeValue() const;
    void setDepthMaxRangeValue(float metres);
    void setConfidenceThreshold(int threshold);
    int getConfidenceThreshold() const;

    /// Colour map and range of the VIEW_DEPTH picture (grey over an auto range
    /// unless told otherwise). Call from the thread that grabs.
    void setDepthLook(const DepthLook &look);
    DepthLook getDepthLook() const;
    /// The range (metres) the depth picture of the last grabbed frame spans:
    /// the same for every retrieval of that frame, whatever its size.
    DepthRange getDepthPictureRange();

    ERROR_CODE setCameraFPS(int fps);
    float getCameraFPS() const;
    /// Time of the last grabbed frame, nanoseconds; 0 when none.
    uint64_t getCameraTimestamp() const;

    /// Hands the pair of the last grab, as the camera gave it (rectified) and
    /// with its timestamp, to a recorder, which queues a copy. False when
    /// there is none or the recorder did not take it (see TwvRecorder::push).
    bool recordFrame(TwvRecorder &recorder) const;

    int getTWVNumberOfFrames() const;
    /// Index of the frame the last grab returned (0 before the first grab).
    int getTWVPosition() const;
    /// The next grab returns frame `position` (clamped to the recording).
    void setTWVPosition(int position);

    void resetSelfCalibration();

    /// The open camera's image controls with their values now (empty for a
    /// recording, or a camera without any).
    std::vector<CameraControl> getControls() const;
    /// 0, or the error number of the camera's refusal (EACCES: inactive now,
    /// EBUSY, ERANGE, EINVAL, EIO; ENOTTY: no such controls here). The value
    /// taken is what getControls() reads back.
    int setControl(uint32_t id, int32_t value);
    /// Sets remembered values by key (see applyControlValues: an order that
    /// needs a master switched first is fine); what the camera refused. A
    /// value for a control that stays inactive (an automatic mode drives it)
    /// is no refusal.
    std::vector<ControlRefusal> restoreControls(const std::vector<std::pair<std::string, int32_t>> &values);
    /// Every control back to the camera's default; what it refused.
    std::vector<ControlRefusal> resetControls();

    static std::vector<DeviceProperties> getDeviceList();

private:
    std::unique_ptr<CameraSession> session_;
    bool calibrated_ = true;
    String calibrationError_;
};

} // namespace twl
