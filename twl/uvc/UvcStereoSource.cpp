#include "twl/uvc/UvcStereoSource.h"

#include "twl/core/Optics.h"
#include "twl/util/CoreLoan.h"
#include "twl/util/SteadyClock.h"

#include "twl/uvc/MjpgDecoder.h"
#include "twl/uvc/SideBySide.h"
#include "twl/uvc/UvcControls.h"
#include "twl/uvc/V4l2Device.h"

#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <optional>
#include <utility>

namespace twl {

namespace {
// The driver drops a frame only when every buffer it has is full, so the
// buffers are the slack for a caller that falls behind for a moment: at 60
// fps four were 50 ms, less than the first frame of a session can take
// while its engine maps its memory (40-120 ms). An eighth of a second of
// frames, four buffers at least and eight at most.
unsigned bufferCountFor(float fps) {
    if (!(fps > 0.0f)) return 4; // a rate the driver did not tell
    return unsigned(std::clamp(std::ceil(fps / 8.0f), 4.0f, 8.0f));
}
// Below the caller's threads. At the lowest, the reader decodes where they
// leave a core; at 10, it takes a tenth of their share of a core, and the
// thread it takes it from holds up the other (see readAhead).
constexpr int kReaderNice[2] = {19, 10};
constexpr int64_t kRetryNs = 30000000000LL;         // before the lowest reads again
constexpr int64_t kLongestRetryNs = 600000000000LL; // however often it starves
} // namespace

UvcStereoSource::UvcStereoSource(V4l2Device &backend, const UvcCamera::DeviceInfo &device,
                                 const UvcCamera::Mode &mode)
    : backend_(backend), device_(device), mode_(mode), eye_(mode.frameSize.width / 2, mode.frameSize.height),
      // The fast DCT and chroma upsampling: 8 % less decode time, 44 dB from
      // the exact decode, the same depth (vantaro-bench input).
      mjpg_(mode.pixelFormat == V4L2_PIX_FMT_YUYV ? nullptr : new MjpgDecoder(MjpgDecoder::Precision::Fast)) {
}

UvcStereoSource::~UvcStereoSource() {
    stopping_ = true;
    {
        std::lock_guard<std::mutex> hand(handMutex_);
        handChanged_.notify_all();
    }
    for (std::thread &reader : readers_)
        if (reader.joinable()) reader.join();
    std::lock_guard<std::mutex> lock(mutex_);
    release();
}

std::unique_ptr<UvcStereoSource> UvcStereoSource::open(V4l2Device &backend,
                                                       const UvcCamera::DeviceInfo &device,
                                                       const UvcCamera::Mode &mode, float rate,
                                                       ERROR_CODE *error) {
    std::unique_ptr<UvcStereoSource> source(new UvcStereoSource(backend, device, mode));
    ERROR_CODE code;
    {
        std::lock_guard<std::mutex> lock(source->mutex_);
        code = source->configure(rate);
        if (code != SUCCESS) source->release();
    }
    if (error) *error = code;
    if (code != SUCCESS) return nullptr;
    for (int which : {kLowest, kAbove})
        source->readers_[which] = std::thread(&UvcStereoSource::readAhead, source.get(), which);
    return source;
}

ERROR_CODE UvcStereoSource::configure(float rate) {
    fd_ = backend_.open(device_.node, O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) return ERROR_CODE_CAMERA_NOT_DETECTED;
    v4l2_format format{};
    format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    format.fmt.pix.width = uint32_t(mode_.frameSize.width);
    format.fmt.pix.height = uint32_t(mode_.frameSize.height);
    format.fmt.pix.pixelformat = mode_.pixelFormat;
    format.fmt.pix.field = V4L2_FIELD_NONE;
    // While another program streams, the driver lets us open the node and
    // look, but not set the format or take buffers: EBUSY.
    if (backend_.xioctl(fd_, VIDIOC_S_FMT, &format) < 0)
        return errno == EINVAL  ? ERROR_CODE_LOW_USB_BANDWIDTH
               : errno == EBUSY ? ERROR_CODE_CAMERA_IN_USE
                                : ERROR_CODE_CAMERA_NOT_DETECTED;
    // Drivers answer a size they cannot stream with the nearest one they can.
    if (format.fmt.pix.width != mode_.frameSize.width || format.fmt.pix.height != mode_.frameSize.height ||
        format.fmt.pix.pixelformat != mode_.pixelFormat)
        return ERROR_CODE_LOW_USB_BANDWIDTH;
    stride_ = format.fmt.pix.bytesperline ? format.fmt.pix.bytesperline : mode_.frameSize.width * 2;
    // A driver that takes no rate streams at its own: report that one, not
    // the rate asked for.
    if (!applyRate(rate)) fps_.store(readRate(rate));
    int error = 0;
    if (startStream(&error)) return SUCCESS;
    // ENOSPC: the driver found no setting of the bus that carries this mode.
    return error == EBUSY    ? ERROR_CODE_CAMERA_IN_USE
           : error == ENOSPC ? ERROR_CODE_LOW_USB_BANDWIDTH
                             : ERROR_CODE_CAMERA_NOT_DETECTED;
}

bool UvcStereoSource::applyRate(float rate) {
    if (!(rate > 0)) return false;
    v4l2_streamparm parm{};
    parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    // 1001-based intervals such as 30000/1001 come back as offered; whole
    // rates are asked for as 1/rate.
    parm.parm.capture.timeperframe.numerator = 1000;
    parm.parm.capture.timeperframe.denominator = uint32_t(std::lround(rate * 1000.0f));
    if (backend_.xioctl(fd_, VIDIOC_S_PARM, &parm) < 0) return false;
    const v4l2_fract &t = parm.parm.capture.timeperframe;
    // The driver writes back what it really set: that is what we report.
    fps_.store(t.numerator && t.denominator ? float(t.denominator) / float(t.numerator) : rate);
    return true;
}

float UvcStereoSource::readRate(float otherwise) {
    v4l2_streamparm parm{};
    parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (backend_.xioctl(fd_, VIDIOC_G_PARM, &parm) < 0) return otherwise;
    const v4l2_fract &t = parm.parm.capture.timeperframe;
    return t.numerator && t.denominator ? float(t.denominator) / float(t.numerator) : otherwise;
}

bool UvcStereoSource::startStream(int *error) {
    const auto failed = [error]() {
        if (error) *error = errno;
        return false;
    };
    v4l2_requestbuffers request{};
    request.count = bufferCountFor(fps_.load());
    request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    request.memory = V4L2_MEMORY_MMAP;
    if (backend_.xioctl(fd_, VIDIOC_REQBUFS, &request) < 0) return failed();
    if (request.count == 0) {
        errno = ENOMEM;
        return failed();
    }
    for (unsigned i = 0; i < request.count; ++i) {
        v4l2_buffer b{};
        b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        b.memory = V4L2_MEMORY_MMAP;
        b.index = i;
        if (backend_.xioctl(fd_, VIDIOC_QUERYBUF, &b) < 0) return failed();
        void *start = backend_.mmap(b.length, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, off_t(b.m.offset));
        if (start == MAP_FAILED) return failed();
        buffers_.push_back(Buffer{start, b.length});
        if (backend_.xioctl(fd_, VIDIOC_QBUF, &b) < 0) return failed();
    }
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (backend_.xioctl(fd_, VIDIOC_STREAMON, &type) < 0) return failed();
    streaming_ = true;
    return true;
}

void UvcStereoSource::stopStream() {
    if (fd_ < 0) return;
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (streaming_) backend_.xioctl(fd_, VIDIOC_STREAMOFF, &type);
    streaming_ = false;
    for (const Buffer &b : buffers_)
        backend_.munmap(b.start, b.length);
    const bool hadBuffers = !buffers_.empty();
    buffers_.clear();
    if (hadBuffers) {
        v4l2_requestbuffers request{};
        request.count = 0;
        request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        request.memory = V4L2_MEMORY_MMAP;
        backend_.xioctl(fd_, VIDIOC_REQBUFS, &request);
    }
}

void UvcStereoSource::release() {
    if (fd_ < 0) return;
    stopStream();
    backend_.close(fd_);
    fd_ = -1;
}

bool UvcStereoSource::decode(const uchar *data, size_t bytes, StereoFrame &frame) {
    // Where the caller has no pair left to take, it will wait for this one:
    // its loops leave the decode a core.
    std::optional<CoreLoan> loan;
    if (readyPairs_.load() == 0) loan.emplace();
    try {
        const bool grey = greyWanted_.load() && mode_.pixelFormat == V4L2_PIX_FMT_MJPEG;
        if (!grey) {
            frame.greyLeft.release();
            frame.greyRight.release();
        }
        if (mode_.pixelFormat == V4L2_PIX_FMT_YUYV)
            return splitYuyv(data, bytes, stride_, eye_, frame.left, frame.right);
        // Split between two threads only where one thread decoding whole
        // pictures would fall behind the camera, and only while the cores
        // have room for it: the split costs CPU time that the matching or
        // the recording needs.
        const float fps = fps_.load();
        mjpg_->splitAbove(fps > 0 ? 0.8 / fps : 0.0);
        return mjpg_->decode(data, bytes, eye_, frame.left, frame.right, grey ? &frame.greyLeft : nullptr,
                             grey ? &frame.greyRight : nullptr);
    } catch (const cv::Exception &) {
        return false; // a damaged frame is skipped, never fatal
    }
}

namespace {
constexpr ERROR_CODE kStopped = ERROR_CODE_LAST; // the source is closing

// Whether nothing but the frame itself refers to its pictures.
bool heldOnlyBy(const StereoFrame &f) {
    auto headers = [](const cv::Mat &a, const cv::Mat &b) { return a.u && a.u == b.u ? 2 : 1; };
    auto own = [](const cv::Mat &m, int count) { return !m.u || m.u->refcount == count; };
    const int colour = headers(f.left, f.right), grey = headers(f.greyLeft, f.greyRight);
    return own(f.left, colour) && own(f.right, colour) && own(f.greyLeft, grey) && own(f.greyRight, grey);
}
} // namespace

void UvcStereoSource::readAhead(int which) {
    // The reader has slack (the driver's buffers hold three frames more at
    // least) and the caller has none: a frame it finishes late is a frame
    // lost. So the reader runs at a lower priority and decodes in the
    // moments the caller's threads leave a core free, rather than halving
    // the speed of one of them (whose band the other then waits for). With an
    // MJPG camera at HD1080 through ULTRA on two cores this kept all 300
    // frames of 10 s in five runs, against losing 10 to 18 of them. While the
    // caller waits for a frame its threads sleep and the reader has the
    // cores, so it is never held back for long by them.
    //
    // At the lowest priority rather than 10 nice levels down, the cores were
    // busier still where the stream falls behind (0.936 against 0.908 at 40
    // frames a second, ten runs of each): the reader took less of a core from
    // the matcher, and the scheduler, which leaves a thread that just ran
    // where it is for a few milliseconds, left fewer cores idle beside it. But
    // other work of the same scheduling group that keeps every core busy
    // starves it (two busy loops left it a fifth of the frames it kept 10
    // levels down), and a thread cannot raise its own priority again. So two
    // threads take turns: the lowest reads until a grab finds it starved,
    // then the one above until the lowest tries again (chooseReader). The
    // decoder's second thread, started from here, inherits the priority.
    const pid_t self = pid_t(::syscall(SYS_gettid));
    errno = 0;
    const int nice = ::getpriority(PRIO_PROCESS, id_t(self));
    if (errno == 0) ::setpriority(PRIO_PROCESS, id_t(self), std::min(nice + kReaderNice[which], 19));
    StereoFrame decoding;
    for (;;) {
        {
            std::unique_lock<std::mutex> hand(handMutex_);
            handChanged_.wait(hand, [&] {
                return stopping_ ||
                       (reading_ == which && ready_.size() < size_t(kPairsAhead) && readError_ == SUCCESS);
            });
            if (stopping_) return;
        }
        while (waiters_.load() > 0)
            std::this_thread::yield();
        std::lock_guard<std::mutex> lock(mutex_);
        {
            // The other reader may have read, or found the camera gone, while
            // this one waited for the device.
            std::lock_guard<std::mutex> hand(handMutex_);
            if (reading_ != which || ready_.size() >= size_t(kPairsAhead) || readError_ != SUCCESS) continue;
            if (!spare_.empty()) { // eyes a grab gave back
                decoding = std::move(spare_.back());
                spare_.pop_back();
            }
        }
        const ERROR_CODE e = readFrame(decoding);
        if (e == kStopped) return;
        // Handed over with the device still held, so that the pairs of the
        // two readers keep the camera's order.
        std::lock_guard<std::mutex> hand(handMutex_);
        if (e == SUCCESS) {
            ready_.push_back(std::move(decoding));
            readyPairs_ = int(ready_.size());
        } else {
            readError_ = e;
        }
        decoding = StereoFrame();
        handChanged_.notify_all();
    }
}

void UvcStereoSource::setStarvation(int64_t starvedNs, int64_t retryNs) {
    std::lock_guard<std::mutex> hand(handMutex_);
    starvedNs_ = std::max<int64_t>(0, starvedNs);
    retryNs_ = std::max<int64_t>(0, retryNs);
    retryAfterNs_ = 0;
}

void UvcStereoSource::chooseReader(int64_t waitedNs) {
    const int64_t now = steadyNowNs();
    const int64_t retry = retryNs_ ? retryNs_ : kRetryNs;
    retryAfterNs_ = std::max(retryAfterNs_, retry);
    if (reading_ == kLowest) {
        // A wait of a few periods for a pair whose decode took as long: the
        // reader was starved. A silent or slow camera makes the grab wait
        // too, but not the decode.
        const float fps = fps_.load();
        const int64_t starved =
            starvedNs_ ? starvedNs_ : std::max<int64_t>(100000000, int64_t(3e9 / std::max(fps, 1.0f)));
        if (waitedNs <= starved || lastDecodeNs_.load() <= starved) return;
        // Starved again soon after it read again: its next turn comes later.
        const bool soon = takenBackAt_ != 0 && now - takenBackAt_ < 2 * retryAfterNs_;
        retryAfterNs_ = soon ? std::min(2 * retryAfterNs_, std::max(kLongestRetryNs, retry)) : retry;
        reading_ = kAbove;
        handedOverAt_ = now;
    } else if (now - handedOverAt_ >= retryAfterNs_) {
        reading_ = kLowest;
        takenBackAt_ = now;
    }
    // The grab wakes the readers after this, whoever's turn it is.
}

ERROR_CODE UvcStereoSource::grab(StereoFrame &frame) {
    std::unique_lock<std::mutex> hand(handMutex_);
    const int64_t asked = steadyNowNs();
    handChanged_.wait(hand, [&] { return !ready_.empty() || readError_ != SUCCESS; });
    const int64_t waited = steadyNowNs() - asked;
    ERROR_CODE e = SUCCESS;
    if (!ready_.empty()) {
        StereoFrame &next = ready_.front();
        std::swap(frame.left, next.left);
        std::swap(frame.right, next.right);
        std::swap(frame.greyLeft, next.greyLeft);
        std::swap(frame.greyRight, next.greyRight);
        frame.timestamp = next.timestamp;
        if (heldOnlyBy(next) && spare_.size() < size_t(kPairsAhead)) spare_.push_back(std::move(next));
        ready_.erase(ready_.begin());
        readyPairs_ = int(ready_.size());
        chooseReader(waited);
    } else {
        e = readError_;
        readError_ = SUCCESS;
    }
    handChanged_.notify_all();
    return e;
}

ERROR_CODE UvcStereoSource::readFrame(StereoFrame &frame) {
    if (fd_ < 0) return ERROR_CODE_CAMERA_NOT_DETECTED;
    const int64_t deadline = steadyNowNs() + int64_t(kFrameTimeoutMs) * 1000000;
    bool undecodable = false;
    for (;;) {
        const int64_t left = deadline - steadyNowNs();
        if (left <= 0) break;
        if (stopping_) return kStopped;
        pollfd p{fd_, POLLIN, 0};
        // In slices, so that closing the source never waits long.
        const int ready = backend_.poll(&p, 1, int(std::min<int64_t>((left + 999999) / 1000000, 50)));
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) break;
        if (ready == 0) continue; // the deadline decides
        v4l2_buffer b{};
        b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        b.memory = V4L2_MEMORY_MMAP;
        if (backend_.xioctl(fd_, VIDIOC_DQBUF, &b) < 0) {
            if (errno == EAGAIN && !(p.revents & (POLLERR | POLLHUP | POLLNVAL))) continue;
            break; // ENODEV, EIO: the camera is gone
        }
        if (b.index >= buffers_.size()) break;
        const Buffer &buffer = buffers_[b.index];
        const size_t bytes = std::min<size_t>(b.bytesused, buffer.length);
        const int64_t decodeStart = steadyNowNs();
        const bool ok = !(b.flags & V4L2_BUF_FLAG_ERROR) &&
                        decode(static_cast<const uchar *>(buffer.start), bytes, frame);
        lastDecodeNs_ = steadyNowNs() - decodeStart;
        if (backend_.xioctl(fd_, VIDIOC_QBUF, &b) < 0) break;
        if (!ok) {
            undecodable = true;
            continue;
        }
        const uint64_t driverTime =
            uint64_t(b.timestamp.tv_sec) * 1000000000ULL + uint64_t(b.timestamp.tv_usec) * 1000ULL;
        frame.timestamp = driverTime ? driverTime : uint64_t(steadyNowNs());
        return SUCCESS;
    }
    if (undecodable && steadyNowNs() >= deadline) return ERROR_CODE_FAILURE;
    release();
    return ERROR_CODE_CAMERA_NOT_DETECTED;
}

std::unique_lock<std::mutex> UvcStereoSource::lockDevice() {
    ++waiters_; // the reader, between frames, lets us in first
    std::unique_lock<std::mutex> lock(mutex_);
    --waiters_;
    return lock;
}

ERROR_CODE UvcStereoSource::setFps(int fps) {
    const std::unique_lock<std::mutex> lock = lockDevice();
    if (fd_ < 0) return ERROR_CODE_CAMERA_NOT_DETECTED;
    if (mode_.rates.empty() && fps <= 0) return SUCCESS; // nothing known to choose from: keep what runs
    const float rate = mode_.rates.empty() ? float(fps) : UvcCamera::nearestRate(mode_.rates, fps);
    if (std::fabs(rate - fps_.load()) < 0.01f) return SUCCESS;
    if (applyRate(rate)) return SUCCESS;
    // Many drivers refuse a new rate while streaming (EBUSY): restart the
    // stream around it. Any other refusal would stay the same after a restart.
    if (errno != EBUSY) return ERROR_CODE_INVALID_ARGUMENT;
    const float before = fps_.load();
    stopStream();
    const bool applied = applyRate(rate);
    int error = 0;
    if (startStream(&error)) return applied ? SUCCESS : ERROR_CODE_INVALID_ARGUMENT;
    // A faster rate may need more of the bus than there is: the camera goes
    // on at the rate that streamed a moment ago.
    if (error == ENOSPC) {
        stopStream();
        if (applyRate(before) && startStream()) return ERROR_CODE_LOW_USB_BANDWIDTH;
    }
    release();
    return ERROR_CODE_CAMERA_NOT_DETECTED;
}

std::vector<CameraControl> UvcStereoSource::controls() {
    const std::unique_lock<std::mutex> lock = lockDevice();
    if (fd_ < 0) return {};
    return UvcControls::query(backend_, fd_);
}

int UvcStereoSource::setControl(uint32_t id, int32_t value) {
    const std::unique_lock<std::mutex> lock = lockDevice();
    if (fd_ < 0) return ENODEV;
    return UvcControls::set(backend_, fd_, id, value);
}

CameraInformation UvcStereoSource::information() const {
    CameraInformation info;
    info.serial_number = device_.serialNumber;
    // A generic UVC camera has no firmware of the family: bcdDevice is only
    // its USB release number, which says nothing about our firmware.
    info.firmware_version = kFirmwareUnknown;
    info.camera_model = 0;
    info.calibration_parameters = nominalCalibration(eye_);
    return info;
}

} // namespace twl
