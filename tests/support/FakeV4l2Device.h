#pragma once
// A scripted stand-in for V4L2 capture nodes, for tests: it plays side-by-side
// stereo cameras that list formats, sizes and rates, stream YUYV or MJPG
// frames of the virtual scene (or of two given eye pictures) at their frame
// rate, and fail on demand. As a driver does, it fills the oldest queued
// buffer at each frame time, stamped with that time, and loses the frame
// when no buffer is queued. Install it with setDeviceBackend(). Descriptors
// it hands out are real (eventfd) so that leaks show in /proc/self/fd.
// Thread-safe; a pulled cable or a new fault wakes a waiting poll.

#include "twl/core/Types.h"
#include "twl/uvc/V4l2Device.h"

#include <opencv2/core.hpp>

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace twl {

class VirtualScene;

class FakeV4l2Device : public V4l2Device {
public:
    struct Mode {
        uint32_t pixelFormat; // V4L2_PIX_FMT_YUYV or V4L2_PIX_FMT_MJPEG
        uint32_t width, height;
        std::vector<int> rates;
    };
    /// An image control as the UVC driver reports it. A slave (master != 0)
    /// is inactive, and refuses to be set (EACCES), while its master's value
    /// is not `masterManual`.
    struct Control {
        uint32_t id = 0;
        uint32_t type = 0; // V4L2_CTRL_TYPE_*
        std::string name;
        int32_t minimum = 0, maximum = 0, step = 1, defaultValue = 0;
        uint32_t flags = 0;
        std::vector<std::string> menu{}; // label per index from 0; empty = not offered
        uint32_t master = 0;
        int32_t masterManual = 0;
    };
    struct Camera {
        std::string node = "/dev/video0";
        std::string serial = "17042";
        std::string bcdDevice = "1523";
        bool metadataOnly = false; // the second node UVC cameras often add
        std::vector<Mode> modes;
        std::vector<Control> controls;
    };
    /// A camera with every side-by-side size of our table as YUYV and MJPG at the rates the table allows, and
    /// a typical UVC camera's controls: integers, menus, a boolean, two inactive under their auto masters,
    /// and class headings, a button, a disabled and a read-only control that no list shows.
    static Camera stereoCamera(const std::string &node = "/dev/video0");

    /// With `install` it is the device layer (setDeviceBackend) until destroyed.
    explicit FakeV4l2Device(bool install = false);
    ~FakeV4l2Device() override;

    void addCamera(const Camera &camera);
    /// Pulls the cable: the node disappears, calls on open descriptors fail
    /// with ENODEV. replug() brings it back.
    void unplug(const std::string &node = "/dev/video0");
    void replug(const std::string &node = "/dev/video0");
    /// While stalled no frame arrives (polls time out).
    void setStalled(bool stalled) { set(stalled_, stalled); }
    /// S_FMT answers another size instead of this one.
    void refuseSize(uint32_t width, uint32_t height) { set(refused_, Resolution(width, height)); }
    /// S_PARM fails with EBUSY while streaming, as many drivers do.
    void setRateLockedWhileStreaming(bool on) { set(rateLocked_, on); }
    /// S_PARM answers ENOTTY (a driver that takes no rate); G_PARM still tells the mode's own.
    void setRateFixed(bool fixed) { set(rateFixed_, fixed); }
    /// STREAMON fails with ENOSPC, as the driver does when no alternate setting
    /// of the bus carries the mode's bytes per second (0: no limit).
    void limitBus(double bytesPerSecond) { set(busLimit_, bytesPerSecond); }
    enum class Damage { Short, Garbage };
    /// The next `count` MJPG frames arrive cut short or as garbage.
    void damageNextFrames(int count, Damage damage);
    /// Frames show these BGRA eyes (resized to the eye size) instead of the scene.
    void setEyes(const cv::Mat &left, const cv::Mat &right);
    /// Frames as the camera sends them (in the streaming mode's format), frame n of the stream showing
    /// clip[n % size]: a recorded clip of a moving scene that costs the stand-in no rendering or encoding
    /// while it streams. An empty clip gives the scene (or the eyes) back.
    void setClip(std::vector<std::vector<uchar>> clip) {
        change([&] { clip_ = std::move(clip); });
    }
    /// MJPG frames from now on carry a restart marker every `mcus` MCUs (0: none), as many cameras' encoders
    /// send them.
    void setJpegRestartInterval(int mcus) {
        change([&] {
            restartInterval_ = mcus;
            cachedMode_ = nullptr;
        });
    }
    /// Without pacing a frame is ready at once (benchmarks, quick tests).
    void setPaced(bool paced) { set(paced_, paced); }
    /// Another program streams: S_FMT, S_PARM, REQBUFS and STREAMON answer
    /// EBUSY on every descriptor; listing, looking and controls still work.
    void setHeldByOtherProgram(bool held) { set(held_, held); }
    /// Setting control `id` answers `error` from now on (0: accepted again).
    void refuseControl(uint32_t id, int error) {
        change([&] { refusedControls_[id] = error; });
    }
    /// Answers ENOTTY to the extended control calls, as older drivers do.
    void setExtendedControls(bool available) { set(extendedControls_, available); }
    /// A control's value in the camera; INT32_MIN when it has none such.
    int32_t controlValue(uint32_t id, const std::string &node = "/dev/video0") const;
    /// The thread that last set a control.
    std::thread::id controlThread() const { return get(controlThread_); }

    int openDescriptors() const {
        return locked([&] { return int(handles_.size()); });
    }
    int liveMappings() const {
        return locked([&] { return int(mappings_.size()); });
    }
    int streamStarts() const { return get(streamStarts_); }
    /// The rate the last S_PARM set, frames per second.
    float currentRate() const { return get(currentRate_); }

    int open(const std::string &path, int flags) override;
    int close(int fd) override;
    int ioctl(int fd, unsigned long request, void *argument) override;
    void *mmap(size_t length, int protection, int flags, int fd, off_t offset) override;
    int munmap(void *address, size_t length) override;
    int poll(struct pollfd *fds, nfds_t count, int timeoutMs) override;
    bool readText(const std::string &path, std::string *text) override;
    std::vector<std::string> listNodes() override;

    /// Side-by-side YUYV of two BGRA eyes, BT.601 limited range as cameras send it.
    static void encodeYuyv(const cv::Mat &left, const cv::Mat &right, std::vector<uchar> &out);
    /// Side-by-side MJPG of two BGRA eyes (4:2:0, quality 90), with a restart marker every
    /// `restartInterval` MCUs (0: none).
    static void encodeMjpg(const cv::Mat &left, const cv::Mat &right, std::vector<uchar> &out,
                           int restartInterval = 0);

private:
    template <typename F> auto locked(F f) const -> decltype(f()) {
        std::lock_guard<std::mutex> lock(mutex_);
        return f();
    }
    template <typename T> T get(const T &field) const {
        return locked([&] { return field; });
    }
    /// Changes the device under the lock, then wakes a waiting poll (the change may be what it waits for).
    template <typename F> void change(F f) {
        locked(f);
        changed_.notify_all();
    }
    template <typename T, typename V> void set(T &field, V value) {
        change([&] { field = value; });
    }
    struct Handle;
    struct CameraState;
    CameraState *cameraOf(int fd, Handle **handle);
    int handleIoctl(Handle &h, CameraState &c, unsigned long request, void *argument);
    int controlIoctl(CameraState &c, unsigned long request, void *argument);
    void arrive(Handle &h, CameraState &c);
    void take(Handle &h, CameraState &c, std::chrono::steady_clock::time_point at);
    void fillFrame(Handle &h, CameraState &c, uchar *memory, size_t length, uint32_t *used);
    void freeBuffers(Handle &h);

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::unique_ptr<CameraState>> cameras_;
    std::map<int, std::unique_ptr<Handle>> handles_;
    std::map<void *, size_t> mappings_;
    bool stalled_ = false;
    bool paced_ = true;
    bool rateLocked_ = false, rateFixed_ = false;
    double busLimit_ = 0;
    Resolution refused_;
    int damageCount_ = 0;
    Damage damage_ = Damage::Short;
    cv::Mat eyes_[2];
    std::vector<std::vector<uchar>> clip_;
    int restartInterval_ = 0;
    const Mode *cachedMode_ = nullptr; // the mode cachedFrame_ was encoded for
    std::vector<uchar> cachedFrame_;
    std::map<std::pair<size_t, size_t>, std::unique_ptr<VirtualScene>> scenes_;
    int streamStarts_ = 0;
    float currentRate_ = 0;
    bool held_ = false;
    bool extendedControls_ = true;
    bool installed_ = false;
    std::map<uint32_t, int> refusedControls_;
    std::thread::id controlThread_;
};

} // namespace twl
