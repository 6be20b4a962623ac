#include "capture/InputThreadModul.h"

#include "capture/CaptureLog.h"
#include "capture/Interval.h"
#include "common/GlobalParams.h"
#include "common/LockAnnotation.h"
#include "twl/core/DeviceMemory.h"
#include "twl/core/ModeTable.h"
#include "twl/palette/DepthColormap.h"
#include "twl/twv/TwvRecorder.h"

#include <QSlider>
#include <QTimer>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <chrono>
#include <cstring>

namespace {

// Shortest time between two moves of the file slider that follow the loop.
constexpr qint64 kSliderIntervalMs = 250;

inline void lockTaken(QMutex *mutex) { LockAnnotation::taken(mutex); }
inline void lockGiven(QMutex *mutex) { LockAnnotation::given(mutex); }

QString verboseText(twl::ERROR_CODE code) {
    return QString::fromUtf8(twl::toVerbose(code).c_str());
}

class Hold {
public:
    explicit Hold(QMutex &mutex) : mutex_(mutex) {
        mutex_.lock();
        lockTaken(&mutex_);
    }
    ~Hold() {
        lockGiven(&mutex_);
        mutex_.unlock();
    }
    Hold(const Hold &) = delete;
    Hold &operator=(const Hold &) = delete;

private:
    QMutex &mutex_;
};

// A paused loop looks this often whether anything that changes the picture
// moved; reading a few numbers costs nothing, a pass would decode and match.
constexpr int64_t kPausedLookUs = 25000;
// After a failed grab, before the next try.
constexpr int64_t kRetryUs = 1000;
// Frame period used when a recording's own rate is unusable.
constexpr int64_t kFallbackPeriodUs = 1000000 / 30;

} // namespace

InputThreadModul::InputThreadModul() : fpsCounter(new Interval) {
    for (auto &request : saveRequest)
        request.store(false);
    connect(this, &InputThreadModul::SendImage, this, &InputThreadModul::followFrame, Qt::QueuedConnection);
}

InputThreadModul::~InputThreadModul() {
    {
        std::lock_guard<std::mutex> lock(stopMutex);
        stopping.store(true);
        running.store(false);
        opened.store(false);
    }
    stopCondition.notify_all();
    // Every wait of the loop watches `stopping`; what remains is at most one
    // grab, which for a live camera lasts one frame time.
    wait();
    loopEnded.load(std::memory_order_acquire);

    imageGPU.free(twl::MEM_BOTH);
    depthViewGPU.free(twl::MEM_BOTH);
    sideBySideGPU.free(twl::MEM_BOTH);
    pointCloudGPU.free(twl::MEM_BOTH);
    confidenceGPU.free(twl::MEM_BOTH);
    delete fpsCounter;
    fpsCounter = nullptr;
    camera.close();
}

void InputThreadModul::displaySizeFor(int width, int height, uint64_t *displayW, uint64_t *displayH) {
    // The smallest resolution is shown as it is, the others at half size.
    if (size_t(width) == twl::kResolutionModes[twl::kResolutionCount - 1].size.width) {
        *displayW = uint64_t(width);
        *displayH = uint64_t(height);
    } else {
        *displayW = uint64_t(width / 2);
        *displayH = uint64_t(height / 2);
    }
}

twl::InitParameters InputThreadModul::openRecord(const QString &path) const {
    const bool live = path.isEmpty();
    twl::InitParameters p;
    p.coordinateSystem = 2;
    p.coordinateUnits = 3;
    p.imageFlip = 0;
    p.cameraResolution = live ? GlobalParams::getInt(PARAM_RESOLUTION) : int(twl::kDefaultResolution);
    p.cameraFps = live ? GlobalParams::getInt(PARAM_CAMERA_FPS) : 0;
    p.cameraDeviceId = 0;
    p.realTimePlayback = false;
    p.disableSelfCalibration = false;
    p.verbosity = 4;
    p.deviceIndex = 0;
    p.inputPath = twl::String(path.toUtf8().toStdString());
    p.enableRightDepth = false;
    p.depthMode = GlobalParams::getInt(PARAM_DEPTH_QUALITY);
    p.depthStabilization = GlobalParams::getBool(PARAM_STABILIZER) ? 1 : 0;
    p.depthMinimumDistance = -1.0f;
    p.reserved1 = 2;
    p.reserved2 = 2;
    p.openTimeoutSeconds = -1;
    p.sensorsRequired = false;
    p.settingsPath = twl::String();
    p.reserved3 = 0;
    if (live) {
        p.calibrationFile = twl::String(calibrationFile.toUtf8().toStdString());
        p.calibrationDirectory = twl::String(calibrationDirectory.toUtf8().toStdString());
    }
    return p;
}

twl::ERROR_CODE InputThreadModul::openCamera() {
    const twl::ERROR_CODE code = camera.open(openRecord(QString()));
    const bool ok = code == twl::SUCCESS;
    opened.store(ok);
    isLive.store(ok);
    isFile.store(false);
    qCDebug(lcCapture).noquote() << "live camera open:" << verboseText(code);
    return code;
}

twl::ERROR_CODE InputThreadModul::openFile(QString path) {
    const twl::ERROR_CODE code = camera.open(openRecord(path));
    GlobalParams::stringRef(PARAM_TWV_PATH) = path;
    isLive.store(false);
    if (code == twl::SUCCESS) {
        lastFrameIndex = camera.getTWVNumberOfFrames() - 1;
        opened.store(true);
        isFile.store(true);
    } else {
        opened.store(false);
        isFile.store(false);
    }
    qCDebug(lcCapture).noquote() << "recording" << path << "open:" << verboseText(code);
    return code;
}

bool InputThreadModul::initialize() {
    if (!opened.load()) return false;
    // Only failures of this set-up should decide the answer.
    twl::deviceGetLastError();

    cameraInfo = camera.getCameraInformation();
    publishControls(camera.getControls());
    GlobalParams::setBool(PARAM_MODEL_FLAG, cameraInfo.camera_model == 0);
    GlobalParams::setDouble(PARAM_DEPTH_MIN, double(camera.getDepthMinRangeValue()));

    cudaContext = camera.getCUDAContext();
    twl::deviceMakeCurrent(cudaContext);

    const twl::Resolution size = camera.getResolution();
    camWidth = int(size.width);
    camHeight = int(size.height);
    GlobalParams::setInt(PARAM_CAM_WIDTH, camWidth);
    GlobalParams::setInt(PARAM_CAM_HEIGHT, camHeight);
    GlobalParams::setInt(PARAM_DISPLAY_WIDTH, camWidth);
    GlobalParams::setInt(PARAM_DISPLAY_HEIGHT, camHeight);

    emit sendInitProcess();

    bool allocated = true;
    allocated &= imageGPU.alloc(size, twl::MAT_TYPE_8U_C4, twl::MEM_GPU) == twl::SUCCESS;
    displaySizeFor(camWidth, camHeight, &dispWidth, &dispHeight);
    allocated &= depthViewGPU.alloc(dispWidth, dispHeight, twl::MAT_TYPE_8U_C4, twl::MEM_GPU) == twl::SUCCESS;
    allocated &= sideBySideGPU.alloc(size_t(camWidth) * 2, size_t(camHeight), twl::MAT_TYPE_8U_C4,
                                     twl::MEM_GPU) == twl::SUCCESS;

    emit sendContext();

    resizeDstW = camWidth;
    resizeDstH = camHeight;
    resizeSrcW = camWidth * 2;
    resizeSrcH = camHeight;

    allocated &=
        pointCloudGPU.alloc(dispWidth, dispHeight, twl::MAT_TYPE_32F_C4, twl::MEM_GPU) == twl::SUCCESS;
    allocated &=
        confidenceGPU.alloc(dispWidth, dispHeight, twl::MAT_TYPE_32F_C1, twl::MEM_GPU) == twl::SUCCESS;
    allocated &= depthCPU.alloc(size, twl::MAT_TYPE_32F_C1, twl::MEM_CPU) == twl::SUCCESS;
    allocated &= pointCloudCPU.alloc(size, twl::MAT_TYPE_32F_C4, twl::MEM_CPU) == twl::SUCCESS;
    allocated &= imageCPU[0].alloc(size, twl::MAT_TYPE_8U_C4, twl::MEM_CPU) == twl::SUCCESS;
    allocated &=
        imageCPU[1].alloc(size.width * 2, size.height, twl::MAT_TYPE_8U_C4, twl::MEM_CPU) == twl::SUCCESS;

    // Freed device memory comes back as it was left: the views would show
    // the previous session's last frame until this one's first arrives.
    for (twl::Mat *mat : {&imageGPU, &sideBySideGPU, &depthViewGPU, &pointCloudGPU, &confidenceGPU})
        if (uchar *data = mat->getPtr<uchar>(twl::MEM_GPU))
            std::memset(data, 0, mat->getStepBytes(twl::MEM_GPU) * mat->getHeight());

    for (auto &request : saveRequest)
        request.store(false);

    emit sendInit3D(reinterpret_cast<int *>(&pointCloudGPU));
    emit sendVEXOParam(reinterpret_cast<int *>(&cameraInfo));

    bindPositionSlider();
    return twl::deviceGetLastError() == twl::SUCCESS && allocated;
}

void InputThreadModul::startCapture() {
    if (!opened.load() || camWidth <= 0) return;
    bindPositionSlider();
    start();
}

void InputThreadModul::changeFPS() {
    if (!isLive.load()) return;
    Hold lock(grabMutex);
    camera.setCameraFPS(GlobalParams::getInt(PARAM_CAMERA_FPS));
}

void InputThreadModul::enableToStart(bool) {
    {
        std::lock_guard<std::mutex> lock(stopMutex);
        startAllowed.store(true);
    }
    stopCondition.notify_all();
}

void InputThreadModul::lockFrame() {
    frameMutex.lock();
    lockTaken(&frameMutex);
}

void InputThreadModul::unlockFrame() {
    lockGiven(&frameMutex);
    frameMutex.unlock();
}

// ---------------------------------------------------------------------------
// File-position slider (GUI thread side)

void InputThreadModul::setPositionSlider(QSlider *slider) {
    positionSlider = slider;
    bindPositionSlider();
}

void InputThreadModul::bindPositionSlider() {
    if (boundSlider == positionSlider && (positionSlider == nullptr || sliderConnection)) return;
    QObject::disconnect(sliderConnection);
    sliderConnection = QMetaObject::Connection();
    boundSlider = positionSlider;
    if (!positionSlider) return;
    sharedPosition.store(positionSlider->value());
    sliderConnection = connect(positionSlider, &QSlider::valueChanged, this, [this](int value) {
        // Our own moves echo back here; only the user's (or the window's) count.
        if (!applyingPosition) sharedPosition.store(value);
    });
}

void InputThreadModul::syncSliderFromLoop() {
    // Every move of a slider on screen repaints part of the window, which a
    // software rasteriser composes again as a whole. So a visible slider
    // follows the loop a few times a second, and with a frame (followFrame
    // runs just before the window's own frame slot), so that one composition
    // shows both; the timer covers a loop that announces no frame. The
    // pending flag stays set meanwhile: the loop posts nothing more, and the
    // move shows the latest position.
    if (boundSlider && boundSlider->isVisible() && !GlobalParams::getBool(PARAM_PAINT_ALL)) {
        if (!sliderFallbackArmed) {
            sliderFallbackArmed = true;
            QTimer::singleShot(int(2 * kSliderIntervalMs), this, &InputThreadModul::sliderFallback);
        }
        return;
    }
    applySliderMove();
}

void InputThreadModul::followFrame() {
    if (!sliderSyncPending.load()) return;
    if (sliderMoved.isValid() && sliderMoved.elapsed() < kSliderIntervalMs) return;
    applySliderMove();
}

void InputThreadModul::sliderFallback() {
    sliderFallbackArmed = false;
    if (!sliderSyncPending.load()) return;
    const qint64 still = sliderMoved.isValid() ? sliderMoved.elapsed() : 2 * kSliderIntervalMs;
    if (still < 2 * kSliderIntervalMs) {
        sliderFallbackArmed = true;
        QTimer::singleShot(int(2 * kSliderIntervalMs - still), this, &InputThreadModul::sliderFallback);
        return;
    }
    applySliderMove();
}

void InputThreadModul::applySliderMove() {
    sliderSyncPending.store(false);
    if (!boundSlider) return;
    sliderMoved.start();
    applyingPosition = true;
    boundSlider->setValue(sharedPosition.load());
    applyingPosition = false;
}

void InputThreadModul::publishPosition(int position) {
    sharedPosition.store(position);
    // One pending update is enough: it shows the latest position when it runs.
    if (!sliderSyncPending.exchange(true))
        QMetaObject::invokeMethod(this, "syncSliderFromLoop", Qt::QueuedConnection);
}

// ---------------------------------------------------------------------------
// The loop (worker thread)

bool InputThreadModul::sleepUnlessStopping(int64_t usec) {
    std::unique_lock<std::mutex> lock(stopMutex);
    return !stopCondition.wait_for(lock, std::chrono::microseconds(usec), [this] { return stopping.load(); });
}

void InputThreadModul::run() {
    struct EndMark {
        std::atomic<bool> &ended;
        ~EndMark() { ended.store(true, std::memory_order_release); }
    } endMark{loopEnded};
    {
        // Woken by the permission and by destruction; the timeout is only a safety net.
        std::unique_lock<std::mutex> lock(stopMutex);
        while (!startAllowed.load() && !stopping.load())
            stopCondition.wait_for(lock, std::chrono::milliseconds(50));
        if (stopping.load()) return;
        running.store(true);
    }

    // The camera owns the one device context; it does not change during a
    // session, so the member is only written should it ever differ.
    const twl::ContextHandle context = camera.getCUDAContext();
    if (context != cudaContext) cudaContext = context;
    twl::RuntimeParameters runtime;
    runtime.coordinateSystem = 2;
    runtime.coordinateUnits = 3;
    runtime.reserved = 0;
    runtime.sensingMode = GlobalParams::getInt(PARAM_SENSING);
    runtime.measureReferenceFrame = 1;
    runtime.enableDepth = true;
    runtime.enablePointCloud = true;
    GlobalParams::setInt(PARAM_DISPLAY_WIDTH, int(dispWidth));
    GlobalParams::setInt(PARAM_DISPLAY_HEIGHT, int(dispHeight));
    previousRate = 10;
    currentRate = 10;

    // A live camera paused before its first grab has nothing to show.
    twl::ERROR_CODE result = twl::ERROR_CODE_FAILURE;
    PassInputs lastPass;
    bool havePass = false;
    while (running.load() && !stopping.load()) {
        // Between two frames, even while paused: the device is ours alone here.
        if (controlsPending.load()) applyControlRequests();
        const PassInputs inputs = passInputs();
        const bool paused = inputs.paused;
        const bool record = recordingLive();
        // Paused, a pass would only compute the same picture again: wait for
        // something that changes it (a setting, the slider, a snapshot). A
        // recording still wants every frame: then only the picture stays.
        const bool still = paused && havePass && inputs == lastPass;
        if (still && !record) {
            if (!sleepUnlessStopping(kPausedLookUs)) break;
            continue;
        }
        lastPass = inputs;
        havePass = true;
        camera.setDepthMaxRangeValue(float(inputs.depthMax / 1000.0));
        camera.setConfidenceThreshold(inputs.confidence);
        twl::DepthLook look;
        look.colormap = twl::DepthColormap::fromIndex(inputs.colormap);
        look.autoRange = inputs.depthRange == 0;
        camera.setDepthLook(look);
        runtime.sensingMode = inputs.sensing;

        bool fresh = false;
        result = grabStep(runtime, result, record, &fresh);
        if (fresh) {
            if (twl::TwvRecorder *r = recorder.load()) camera.recordFrame(*r);
        }

        if (result == twl::SUCCESS && still) {
            // Recorded only: the paused picture stays as it is.
        } else if (result == twl::SUCCESS) {
            int64_t paceUs = -1;
            if (frameMutex.tryLock()) {
                lockTaken(&frameMutex);
                paceUs = frameStep();
                lockGiven(&frameMutex);
                frameMutex.unlock();
            } else if (paused) {
                havePass = false; // a reader held the frames: this pass showed nothing
            } else if (isFile.load()) {
                // A view held the frames, so this one is not shown; playback
                // still keeps its pace instead of racing through the file.
                paceUs = framePeriodUs();
            }
            // Paced outside the frame lock: a view that waits for it must not
            // wait for the playback clock too.
            if (paceUs >= 0) {
                if (paceUs > 0 && !sleepUnlessStopping(paceUs)) break; // being destroyed
                playbackClock.restart();
            }
            GlobalParams::setInt(PARAM_DEPTH_FPS, (previousRate + currentRate) / 2);
            emit SendImage();
        } else if (result == twl::ERROR_CODE_CAMERA_NOT_DETECTED) {
            running.store(false);
            opened.store(false);
            isFile.store(false);
            emit DetectVEXODisconnect();
            break;
        } else if (result == twl::ERROR_CODE_END_OF_FILE && isFile.load() && !paused) {
            // Past the last frame while playing: same as reaching it.
            rewind();
        } else if (result == twl::ERROR_CODE_DAMAGED_RECORDING && isFile.load() && !paused) {
            // grabStep() stepped over the frame; the next one comes in its own time.
            if (!sleepUnlessStopping(framePeriodUs())) break;
        } else if (!paused) {
            sleepUnlessStopping(kRetryUs);
        }

        if (isFile.load() && !paused &&
            (result == twl::SUCCESS || result == twl::ERROR_CODE_DAMAGED_RECORDING) &&
            camera.getTWVPosition() == lastFrameIndex)
            rewind();
        // Requests this pass served are no change to wait for; one raised meanwhile is.
        lastPass.saveRequests &= passInputs().saveRequests;
        if (paused && !havePass && !sleepUnlessStopping(kPausedLookUs)) break;
    }
    running.store(false);
}

// ---------------------------------------------------------------------------
// Image controls

std::vector<twl::CameraControl> InputThreadModul::cameraControls() const {
    std::lock_guard<std::mutex> lock(controlMutex);
    return publishedControls;
}

void InputThreadModul::requestControl(uint32_t id, int32_t value) {
    std::lock_guard<std::mutex> lock(controlMutex);
    auto same = std::find_if(pendingControls.begin(), pendingControls.end(),
                             [id](const std::pair<uint32_t, int32_t> &r) { return r.first == id; });
    if (same != pendingControls.end())
        same->second = value;
    else
        pendingControls.emplace_back(id, value);
    controlsPending.store(true);
}

void InputThreadModul::requestControlReset() {
    std::lock_guard<std::mutex> lock(controlMutex);
    pendingControls.clear(); // the defaults win over anything not yet applied
    controlResetPending = true;
    controlsPending.store(true);
}

std::vector<twl::ControlRefusal>
InputThreadModul::restoreControls(const std::vector<std::pair<std::string, int32_t>> &values) {
    if (isRunning()) return {}; // the loop owns the device now
    std::vector<twl::ControlRefusal> refused = camera.restoreControls(values);
    publishControls(camera.getControls());
    return refused;
}

void InputThreadModul::publishControls(std::vector<twl::CameraControl> controls) {
    std::lock_guard<std::mutex> lock(controlMutex);
    publishedControls.swap(controls);
}

void InputThreadModul::applyControlRequests() {
    std::vector<std::pair<uint32_t, int32_t>> requests;
    bool reset = false;
    std::vector<twl::CameraControl> before;
    {
        std::lock_guard<std::mutex> lock(controlMutex);
        requests.swap(pendingControls);
        reset = controlResetPending;
        controlResetPending = false;
        controlsPending.store(false);
        before = publishedControls;
    }
    std::vector<twl::ControlRefusal> refused;
    std::vector<uint32_t> taken;
    std::vector<twl::CameraControl> after;
    {
        Hold lock(grabMutex); // never in the middle of a grab or a rate change
        if (reset) refused = camera.resetControls();
        for (const auto &request : requests) {
            const int error = camera.setControl(request.first, request.second);
            if (error == 0) {
                taken.push_back(request.first);
                continue;
            }
            twl::ControlRefusal r;
            r.error = error;
            for (const twl::CameraControl &c : before)
                if (c.id == request.first) {
                    r.key = c.key;
                    r.name = c.name;
                }
            refused.push_back(r);
        }
        after = camera.getControls();
    }
    for (uint32_t id : taken)
        for (const twl::CameraControl &c : after)
            if (c.id == id) emit controlTaken(QString::fromStdString(c.key), c.value);
    publishControls(after);
    for (const twl::ControlRefusal &r : refused) {
        qCDebug(lcCapture).noquote() << "control" << QString::fromStdString(r.key) << "refused:" << r.error;
        emit controlRefused(QString::fromStdString(r.name.empty() ? r.key : r.name), r.error);
    }
    emit controlsChanged();
}

InputThreadModul::PassInputs InputThreadModul::passInputs() const {
    PassInputs in;
    in.position = isFile.load() ? sharedPosition.load() : 0;
    in.confidence = GlobalParams::getInt(PARAM_CONFIDENCE);
    in.depthMax = GlobalParams::getInt(PARAM_DEPTH_MAX);
    in.sensing = GlobalParams::getInt(PARAM_SENSING);
    in.imageView = GlobalParams::getInt(PARAM_IMAGE_VIEW);
    in.depthView = GlobalParams::getInt(PARAM_DEPTH_VIEW);
    in.clickX = GlobalParams::getDouble(PARAM_CLICK_X);
    in.clickY = GlobalParams::getDouble(PARAM_CLICK_Y);
    in.click2X = GlobalParams::getDouble(PARAM_CLICK2_X);
    in.click2Y = GlobalParams::getDouble(PARAM_CLICK2_Y);
    in.colormap = GlobalParams::getInt(PARAM_DEPTH_COLORMAP);
    in.depthRange = GlobalParams::getInt(PARAM_DEPTH_RANGE);
    in.cloudColours = GlobalParams::getInt(PARAM_CLOUD_COLORS);
    in.paused = GlobalParams::getBool(PARAM_PAUSE);
    for (int i = 0; i < 5; ++i)
        if (saveRequest[i].load()) in.saveRequests |= 1 << i;
    return in;
}

void InputThreadModul::rewind() {
    Hold lock(grabMutex);
    camera.setTWVPosition(0);
    nextFrame = 0;
    seekToSlider = true;
    publishPosition(0);
}

int64_t InputThreadModul::framePeriodUs() {
    const float fps = camera.getCameraFPS();
    return fps >= 1.0f && fps <= 1000.0f ? int64_t(1e6f / fps) : kFallbackPeriodUs;
}

bool InputThreadModul::recordingLive() const {
    const twl::TwvRecorder *r = recorder.load();
    return r && isLive.load() && r->isActive();
}

twl::ERROR_CODE InputThreadModul::grabStep(twl::RuntimeParameters &runtime, twl::ERROR_CODE previous, bool record,
                                           bool *fresh) {
    const bool paused = GlobalParams::getBool(PARAM_PAUSE);
    Hold lock(grabMutex);
    if (!isFile.load()) {
        if (paused && !record) return previous;
        const twl::ERROR_CODE code = camera.grab(runtime);
        *fresh = code == twl::SUCCESS;
        return code;
    }

    const int position = sharedPosition.load();
    if (paused) {
        // The frame under the slider, again: moving the slider shows that frame.
        camera.setTWVPosition(position);
        const twl::ERROR_CODE code = camera.grab(runtime);
        if (code == twl::SUCCESS) {
            nextFrame = camera.getTWVPosition() + 1;
            seekToSlider = false;
        } else {
            nextFrame = -1;
        }
        return code;
    }

    int step = GlobalParams::getInt(PARAM_TWV_STEP);
    if (step < 1) step = 1;
    const int target = seekToSlider ? position : position + step;
    // A plain grab already returns the frame after the last one; any other
    // target (steps of 2 or 4, a slider the user moved) needs a seek.
    if (target != nextFrame) camera.setTWVPosition(target);
    const twl::ERROR_CODE code = camera.grab(runtime);
    if (code == twl::ERROR_CODE_DAMAGED_RECORDING) {
        // The frame cannot be decoded: step over it, and let the slider move
        // past it as if it had been shown, so that playback goes on.
        const int bad = camera.getTWVPosition();
        nextFrame = bad + 1;
        seekToSlider = false;
        skippedFrame.store(bad);
        int expected = position;
        if (sharedPosition.compare_exchange_strong(expected, bad)) publishPosition(bad);
        return code;
    }
    if (code != twl::SUCCESS) {
        nextFrame = -1;
        return code;
    }
    const int shown = camera.getTWVPosition();
    nextFrame = shown + 1;
    seekToSlider = false;
    // The slider follows the frame actually shown, unless the user moved it
    // meanwhile: then the user's position wins and the next pass seeks there.
    int expected = position;
    if (sharedPosition.compare_exchange_strong(expected, shown)) publishPosition(shown);
    return code;
}

int64_t InputThreadModul::frameStep() {
    fpsCounter->tick();
    twl::deviceMakeCurrent(cudaContext);

    // Explicit sizes everywhere: the views hold these device pointers, so a
    // retrieval must never reallocate them.
    const int view = GlobalParams::getInt(PARAM_IMAGE_VIEW);
    if (view == twl::VIEW_LEFT || view == twl::VIEW_RIGHT) {
        camera.retrieveImage(imageGPU, twl::VIEW(view), twl::MEM_GPU, size_t(camWidth), size_t(camHeight));
    } else if (view == twl::VIEW_SIDE_BY_SIDE) {
        camera.retrieveImage(sideBySideGPU, twl::VIEW_SIDE_BY_SIDE, twl::MEM_GPU, size_t(resizeSrcW),
                             size_t(resizeSrcH));
        if (sideBySideGPU.getPtr<uchar>(twl::MEM_GPU) && imageGPU.getPtr<uchar>(twl::MEM_GPU)) {
            cv::Mat src(resizeSrcH, resizeSrcW, CV_8UC4, sideBySideGPU.getPtr<uchar>(twl::MEM_GPU),
                        sideBySideGPU.getStepBytes(twl::MEM_GPU));
            cv::Mat dst(resizeDstH, resizeDstW, CV_8UC4, imageGPU.getPtr<uchar>(twl::MEM_GPU),
                        imageGPU.getStepBytes(twl::MEM_GPU));
            cv::resize(src, dst, dst.size(), 0, 0, cv::INTER_LINEAR);
        }
    }

    camera.retrieveImage(depthViewGPU, twl::VIEW(GlobalParams::getInt(PARAM_DEPTH_VIEW)), twl::MEM_GPU,
                         size_t(dispWidth), size_t(dispHeight));
    camera.retrieveMeasure(pointCloudGPU, twl::MEASURE_XYZRGBA, twl::MEM_GPU, size_t(dispWidth),
                           size_t(dispHeight));
    camera.retrieveMeasure(confidenceGPU, twl::MEASURE_CONFIDENCE, twl::MEM_GPU, size_t(dispWidth),
                           size_t(dispHeight));
    // The range the picture was made with, for its scale (read under this lock).
    const twl::DepthRange range = camera.getDepthPictureRange();
    GlobalParams::setDouble(PARAM_RANGE_NEAR, double(range.nearM));
    GlobalParams::setDouble(PARAM_RANGE_FAR, double(range.farM));
    colourCloud();

    serveSaveRequests();

    const int64_t paceUs = isFile.load() ? paceFile() : -1;

    previousRate = currentRate;
    currentRate = fpsCounter->fps.load();
    return paceUs;
}

void InputThreadModul::colourCloud() {
    if (GlobalParams::getInt(PARAM_CLOUD_COLORS) != 1) return;
    float *points = pointCloudGPU.getPtr<float>(twl::MEM_GPU);
    if (!points) return;
    cv::Mat cloud(int(pointCloudGPU.getHeight()), int(pointCloudGPU.getWidth()), CV_32FC4, points,
                  pointCloudGPU.getStepBytes(twl::MEM_GPU));
    twl::DepthColormap::colourPoints(cloud, camera.getDepthPictureRange(), camera.getDepthLook().colormap);
}

void InputThreadModul::serveSaveRequests() {
    const size_t w = size_t(camWidth), h = size_t(camHeight);
    if (saveRequest[0].load()) {
        camera.retrieveImage(imageCPU[0], twl::VIEW_LEFT, twl::MEM_CPU, w, h);
        saveRequest[0].store(false);
    }
    if (saveRequest[1].load()) {
        camera.retrieveImage(imageCPU[0], twl::VIEW_RIGHT, twl::MEM_CPU, w, h);
        saveRequest[1].store(false);
    }
    if (saveRequest[2].load()) {
        // Its natural size: both images side by side, 2w x h.
        camera.retrieveImage(imageCPU[1], twl::VIEW_SIDE_BY_SIDE, twl::MEM_CPU, 2 * w, h);
        saveRequest[2].store(false);
    }
    if (saveRequest[3].load()) {
        camera.retrieveMeasure(depthCPU, twl::MEASURE_DEPTH, twl::MEM_CPU, w, h);
        saveRequest[3].store(false);
    }
    if (saveRequest[4].load()) {
        camera.retrieveMeasure(pointCloudCPU, twl::MEASURE_XYZRGBA, twl::MEM_CPU, w, h);
        saveRequest[4].store(false);
    }
}

int64_t InputThreadModul::paceFile() {
    // Each frame waits for its recorded distance from the previous one, and
    // never less than one frame period: a rewind, the first frame, a frame
    // without a time or a recording of one or two frames must not make the
    // loop race.
    const uint64_t timestamp = camera.getCameraTimestamp();
    const int64_t periodUs = framePeriodUs();
    const int64_t elapsedUs = playbackClock.isValid() ? playbackClock.nsecsElapsed() / 1000 : -1;
    const uint64_t previous = lastTimestamp;
    lastTimestamp = timestamp;
    if (elapsedUs < 0) return 0; // the first frame of the session shows at once
    int64_t wantUs = periodUs;
    if (timestamp != 0 && previous != 0 && timestamp > previous) {
        const uint64_t deltaUs = (timestamp - previous) / 1000ULL;
        // Big gaps and long pauses of the recording are not waited for.
        if (deltaUs < 10000000ULL && int64_t(deltaUs) - elapsedUs < 1000000)
            wantUs = std::max(wantUs, int64_t(deltaUs));
    }
    return std::max<int64_t>(0, wantUs - elapsedUs);
}
