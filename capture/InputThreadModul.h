#pragma once
// The capture thread: owns one camera session (live camera or recording),
// grabs frame after frame into device matrices that the views read, serves
// snapshot requests into host matrices, paces and loops file playback and
// announces every frame with SendImage(). One object serves one session; a
// new input always means a new object.
//
// Threads: everything public is called on the GUI thread, run() is the
// worker. What crosses between them is atomic (flags, save requests, the
// shared file position, GlobalParams numbers) or a queued call.
//
// File-position slider: the loop never touches the widget. It reads and
// writes a shared atomic position, and asks the GUI thread (queued) to move
// the slider to it. The slider is bound on the GUI thread either by
// setPositionSlider() or, when the public member `positionSlider` was
// assigned directly, by initialize()/startCapture(); from then on a value
// the user gives the slider becomes the shared position.

#include "twl/Camera.h"
#include "twl/core/Mat.h"
#include "twl/core/Types.h"

#include <QElapsedTimer>
#include <QMetaObject>
#include <QMutex>
#include <QPointer>
#include <QString>
#include <QThread>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

class Interval;
class QSlider;
namespace twl {
class TwvRecorder;
}

class InputThreadModul : public QThread {
    Q_OBJECT

public:
    InputThreadModul();
    ~InputThreadModul() override;

    /// Opens the live camera at PARAM_RESOLUTION / PARAM_CAMERA_FPS; the
    /// camera layer's code is returned unchanged.
    twl::ERROR_CODE openCamera();
    /// Opens a recording and stores its path in PARAM_TWV_PATH.
    twl::ERROR_CODE openFile(QString path);
    /// Allocates the frame matrices and announces the session (the set-up
    /// signals are delivered before it returns). False when nothing is open
    /// or device memory ran short.
    bool initialize();
    /// Starts the loop if a camera or file is open.
    void startCapture();

    /// Binds the window's file-position slider (GUI thread). Null unbinds.
    void setPositionSlider(QSlider *slider);
    /// The file position the loop works from (frame index).
    int filePosition() const { return sharedPosition.load(); }

    /// Camera size, display size (the size of the depth picture and point
    /// cloud) and the side-by-side scaling geometry; valid after initialize().
    int cameraWidth() const { return camWidth; }
    int cameraHeight() const { return camHeight; }
    uint64_t displayWidth() const { return dispWidth; }
    uint64_t displayHeight() const { return dispHeight; }
    /// Display size for a camera size: halved, except at the smallest (VGA) width.
    static void displaySizeFor(int width, int height, uint64_t *displayW, uint64_t *displayH);

    twl::Camera camera;
    /// Calibration for a live camera whose pairs are not rectified: a file
    /// named on the command line, else the folder of per-camera files.
    QString calibrationFile;
    QString calibrationDirectory;

    twl::Mat imageGPU;      // camera size, left/right or scaled side-by-side
    twl::Mat sideBySideGPU; // 2w x h, before scaling
    twl::Mat depthViewGPU;  // display size, depth or confidence picture
    twl::Mat pointCloudGPU; // display size, XYZ + packed colour
    twl::Mat confidenceGPU; // display size, confidence 0-100 (0: no depth), for the read-out
    twl::Mat depthCPU;      // camera size, for saving
    twl::Mat pointCloudCPU; // camera size, for saving
    twl::Mat imageCPU[2];   // [0] left or right, [1] side by side, for saving

    /// One-shot snapshot requests: left, right, side by side, depth, point
    /// cloud. The requester sets one; the loop fills the host matrix after a
    /// successful grab and then clears it.
    std::atomic<bool> saveRequest[5];

    twl::ContextHandle cudaContext = nullptr;
    twl::CameraInformation cameraInfo;
    int lastFrameIndex = 0;
    /// The window's slider; see setPositionSlider(). May be assigned directly.
    QSlider *positionSlider = nullptr;

    std::atomic<bool> startAllowed{false};
    std::atomic<bool> running{false};
    std::atomic<bool> opened{false};
    std::atomic<bool> isFile{false};
    std::atomic<bool> isLive{false};

    /// grabMutex serialises grabs with frame-rate changes; frameMutex may be
    /// held by a reader that needs the matrices unchanged (the loop then
    /// skips that frame's retrieval but still announces it).
    QMutex grabMutex;
    QMutex frameMutex;
    /// Takes / gives back frameMutex, telling a race detector about it (Qt's
    /// own lock is invisible to one): readers in this process should use these.
    void lockFrame();
    void unlockFrame();

    Interval *fpsCounter = nullptr;

    /// Where a live camera's pairs go while a recording runs; it must outlive
    /// this thread. The loop offers each new pair right after its grab and
    /// goes on at once (the recorder copies it and never waits for the
    /// disk). While a recording runs, a paused live view keeps grabbing for
    /// it and only the picture stays still.
    std::atomic<twl::TwvRecorder *> recorder{nullptr};

    /// The last frame playback stepped over because it could not be decoded
    /// (-1 when none since the last call); for the status line.
    int takeSkippedFrame() { return skippedFrame.exchange(-1); }

    /// Image controls of the live camera, as the loop last read them (GUI
    /// thread; empty for a recording). The loop owns the device: a change is
    /// handed to it and applied between two frames, without a reopen; then
    /// it reads the list again, since one control can switch another on or
    /// off, and announces controlsChanged().
    std::vector<twl::CameraControl> cameraControls() const;
    /// Asks the loop to set one control; a newer value for the same control
    /// replaces one not yet applied.
    void requestControl(uint32_t id, int32_t value);
    /// Asks the loop to put every control back to the camera's default.
    void requestControlReset();
    /// Sets remembered values right after the open, before startCapture()
    /// (the loop does not run yet, so this thread may touch the device).
    /// Returns what the camera refused.
    std::vector<twl::ControlRefusal>
    restoreControls(const std::vector<std::pair<std::string, int32_t>> &values);

signals:
    void theEnd();
    void sendInitProcess();
    void sendInit2D(int, int, int);
    void sendInit3D(int *);
    void sendVEXOParam(int *);
    void sendNewImage();
    void sendContext();
    void send3D(float *);
    void SendPC();
    void SendImage();
    void SendDepth();
    void DetectVEXODisconnect();
    /// From the loop, after it applied control changes (queued to receivers).
    void controlsChanged();
    /// A control the user set went in; `value` is what the camera took.
    void controlTaken(QString key, int value);
    /// The camera refused a control: its name and the error number.
    void controlRefused(QString name, int error);

public slots:
    void changeFPS();
    void enableToStart(bool);

protected:
    void run() override;

private:
    twl::InitParameters openRecord(const QString &path) const;
    void bindPositionSlider();
    void publishPosition(int position);
    /// Posted by the loop (by name, so that Qt owns the whole hand-over).
    Q_INVOKABLE void syncSliderFromLoop();
    /// GUI thread, with each frame the loop announces; see syncSliderFromLoop().
    void followFrame();
    void sliderFallback();
    void applySliderMove();
    /// Sleeps up to `usec`, returning early (false) once destruction began.
    bool sleepUnlessStopping(int64_t usec);
    /// `record`: a live camera grabs even while paused. *fresh tells whether
    /// a new pair was grabbed.
    twl::ERROR_CODE grabStep(twl::RuntimeParameters &runtime, twl::ERROR_CODE previous, bool record,
                             bool *fresh);
    /// A recording of this live camera is under way.
    bool recordingLive() const;
    /// Returns the playback wait (microseconds, -1 when not paced), to be
    /// slept once the frame lock is given back.
    int64_t frameStep();
    void serveSaveRequests();
    int64_t paceFile();
    /// One frame time of the open input (microseconds).
    int64_t framePeriodUs();
    /// Back to the first frame, the slider with it (playback reached the end).
    void rewind();
    /// Loop: sets the controls asked for since the last pass.
    void applyControlRequests();
    void publishControls(std::vector<twl::CameraControl> controls);

    /// What a pass computes its picture from; a paused loop passes again
    /// only when one of these changed.
    struct PassInputs {
        int position = 0, confidence = 0, depthMax = 0, sensing = 0, imageView = 0, depthView = 0;
        int colormap = 0, depthRange = 0, cloudColours = 0;
        int saveRequests = 0;
        double clickX = 0, clickY = 0; // the picked pixels, measured in the new picture
        double click2X = 0, click2Y = 0;
        bool paused = false;
        bool operator==(const PassInputs &o) const {
            return position == o.position && confidence == o.confidence && depthMax == o.depthMax &&
                   sensing == o.sensing && imageView == o.imageView && depthView == o.depthView &&
                   colormap == o.colormap && depthRange == o.depthRange && cloudColours == o.cloudColours &&
                   saveRequests == o.saveRequests && clickX == o.clickX && clickY == o.clickY &&
                   click2X == o.click2X && click2Y == o.click2Y && paused == o.paused;
        }
    };
    PassInputs passInputs() const;
    /// Colours the point cloud by depth, when asked, with the depth picture's range.
    void colourCloud();

    int camWidth = 0, camHeight = 0;
    uint64_t dispWidth = 0, dispHeight = 0;

    // Side-by-side scaling geometry: destination and source sizes.
    int resizeDstW = 0, resizeDstH = 0, resizeSrcW = 0, resizeSrcH = 0;

    // Rate memories for the published (smoothed) rate.
    int previousRate = 10, currentRate = 10;

    QElapsedTimer playbackClock;
    uint64_t lastTimestamp = 0;

    // Shared file position (frame index) and the loop's own bookkeeping.
    std::atomic<int> sharedPosition{0};
    std::atomic<bool> sliderSyncPending{false};
    std::atomic<int> skippedFrame{-1};
    int nextFrame = 0;        // the frame a plain grab returns next
    bool seekToSlider = true; // next grab shows the frame under the slider itself

    // GUI-thread side of the slider binding.
    QPointer<QSlider> boundSlider;
    QMetaObject::Connection sliderConnection;
    bool applyingPosition = false;
    /// GUI thread: when the slider last followed the loop.
    QElapsedTimer sliderMoved;
    bool sliderFallbackArmed = false;

    // Control changes on their way to the loop, and the list it last read.
    mutable std::mutex controlMutex;
    std::vector<std::pair<uint32_t, int32_t>> pendingControls;
    bool controlResetPending = false;
    std::atomic<bool> controlsPending{false};
    std::vector<twl::CameraControl> publishedControls;

    // Destruction wakes every wait of the loop.
    std::atomic<bool> stopping{false};
    std::mutex stopMutex;
    std::condition_variable stopCondition;
    // Last write of the worker, read once the thread was joined: orders the
    // loop's work before the destructor's clean-up for a race detector too.
    std::atomic<bool> loopEnded{false};
};
