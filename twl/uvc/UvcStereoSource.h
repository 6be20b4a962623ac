#pragma once
// A side-by-side UVC stereo camera as a frame source: memory-mapped
// streaming buffers, a dequeue that never waits more than two seconds, and
// each eye converted straight out of the driver's buffer. A thread of its own
// dequeues and decodes the next frames while the caller works on the last one
// (two ahead at most; the driver's buffers hold the rest), so that decoding
// and the caller's work share the cores; it runs at a lower priority, since
// those buffers give it slack and the caller has none. Two such threads take
// turns: one at the lowest priority, which decodes only where the caller's
// threads leave a core, and one a little above it, which takes over while
// other work keeps the cores so busy that the first starves. The pairs come
// off the lenses as they are (not rectified); the calibration reported is
// the nominal rig described in docs/real-cameras.md.
// Thread-safe: the rate may change from another thread while grabs run.

#include "twl/core/FrameSource.h"
#include "twl/uvc/UvcCamera.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace twl {

class MjpgDecoder;
class V4l2Device;

class UvcStereoSource : public FrameSource {
public:
    /// Longest wait for a frame before the camera counts as gone.
    static constexpr int kFrameTimeoutMs = 2000;
    /// Pairs decoded and not grabbed yet, at most.
    static constexpr int kPairsAhead = 2;

    /// Opens `device` (as found by UvcCamera::scan) in `mode` at `rate`. Sets
    /// *error and returns null on failure, with nothing left open:
    /// ERROR_CODE_CAMERA_IN_USE when another program streams from it.
    static std::unique_ptr<UvcStereoSource> open(V4l2Device &backend, const UvcCamera::DeviceInfo &device,
                                                 const UvcCamera::Mode &mode, float rate, ERROR_CODE *error);
    ~UvcStereoSource() override;

    /// The oldest pair decoded and not yet grabbed (waiting for it if none).
    /// The caller's previous eyes are taken back to decode into, unless it
    /// still holds them elsewhere. ERROR_CODE_CAMERA_NOT_DETECTED when the
    /// camera went away or sent nothing for kFrameTimeoutMs; from then on
    /// every descriptor and mapping is released and each later grab answers
    /// the same at once. ERROR_CODE_FAILURE when frames came but none could
    /// be decoded.
    ERROR_CODE grab(StereoFrame &frame) override;
    Resolution resolution() const override { return eye_; }
    CameraInformation information() const override;
    float fps() const override { return fps_.load(); }
    /// MJPG pairs only: their decoder makes it.
    void wantGrey(bool wanted) override { greyWanted_ = wanted; }
    /// The offered rate nearest to `fps` (0 = the highest), on the running
    /// stream when the driver allows, else by restarting the stream.
    ERROR_CODE setFps(int fps) override;
    bool isLive() const override { return true; }
    bool isRectified() const override { return false; }
    std::vector<CameraControl> controls() override;
    int setControl(uint32_t id, int32_t value) override;

    uint32_t pixelFormat() const { return mode_.pixelFormat; }
    /// Whether the lowest-priority thread reads now (else the one above it).
    bool readsAtLowestPriority() const { return reading_.load() == kLowest; }
    /// A grab that waits longer than `starvedNs` for a pair whose decode
    /// took longer than that hands the reading to the thread above; the
    /// lowest takes it back `retryNs` later (twice as late each time it
    /// starves again soon after). By default a few periods and 30 s.
    void setStarvation(int64_t starvedNs, int64_t retryNs);

private:
    UvcStereoSource(V4l2Device &backend, const UvcCamera::DeviceInfo &device, const UvcCamera::Mode &mode);
    ERROR_CODE configure(float rate);
    bool applyRate(float rate);
    float readRate(float otherwise); ///< the driver's rate, `otherwise` where it says none
    /// False with the failing call's error number in *error.
    bool startStream(int *error = nullptr);
    void stopStream();
    void release();
    bool decode(const uchar *data, size_t bytes, StereoFrame &frame);
    std::unique_lock<std::mutex> lockDevice(); // mutex_, ahead of the reader
    ERROR_CODE readFrame(StereoFrame &frame);  // with mutex_ held
    void readAhead(int which);                 // a reader thread
    /// After a grab that waited `waitedNs`: which thread reads from now on.
    void chooseReader(int64_t waitedNs); // with handMutex_ held

    struct Buffer {
        void *start = nullptr;
        size_t length = 0;
    };

    V4l2Device &backend_;
    UvcCamera::DeviceInfo device_;
    UvcCamera::Mode mode_;
    Resolution eye_;
    std::mutex mutex_; // the descriptor, the buffers and the stream state
    int fd_ = -1;
    size_t stride_ = 0;
    std::vector<Buffer> buffers_;
    bool streaming_ = false;
    std::atomic<float> fps_{0.0f};
    std::atomic<bool> greyWanted_{false};
    std::unique_ptr<MjpgDecoder> mjpg_; // the reader's

    // Hand-over from the reader to grab().
    std::mutex handMutex_;
    std::condition_variable handChanged_;
    std::vector<StereoFrame> ready_; // decoded, not grabbed yet, oldest first
    std::vector<StereoFrame> spare_; // eyes grabs gave back, to decode into
    std::atomic<int> readyPairs_{0}; // ready_.size(), for the reader to read without the lock
    ERROR_CODE readError_ = SUCCESS; // what the reader found instead of a frame, for the next grab
    std::atomic<bool> stopping_{false};
    std::atomic<int> waiters_{0}; // others waiting for mutex_: the reader lets them in first

    // The reader threads, and which one reads (kLowest or kAbove).
    static constexpr int kLowest = 0, kAbove = 1;
    std::thread readers_[2];
    std::atomic<int> reading_{kLowest};
    std::atomic<int64_t> lastDecodeNs_{0}; // wall time of the latest decode
    // The caller's, with handMutex_ held.
    int64_t starvedNs_ = 0, retryNs_ = 0; // 0: from the rate, 30 s
    int64_t handedOverAt_ = 0, takenBackAt_ = 0, retryAfterNs_ = 0;
};

} // namespace twl
