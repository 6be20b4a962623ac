#include "support/FakeV4l2Device.h"

#include "twl/core/ModeTable.h"
#include "twl/source/VirtualScene.h"

#include <linux/videodev2.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <unistd.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <deque>

namespace twl {

namespace {
using Clock = std::chrono::steady_clock;

int failWith(int error) {
    errno = error;
    return -1;
}

std::string baseName(const std::string &path) {
    return path.substr(path.find_last_of('/') + 1);
}
} // namespace

struct FakeV4l2Device::CameraState {
    Camera camera;
    bool plugged = true;
    std::map<uint32_t, int32_t> values; // what the camera holds; defaults again after a replug
    void powerUp() {
        values.clear();
        for (const Control &k : camera.controls)
            values[k.id] = k.defaultValue;
    }
    const Control *control(uint32_t id) const {
        for (const Control &k : camera.controls)
            if (k.id == id) return &k;
        return nullptr;
    }
    /// The first control after `id` (V4L2_CTRL_FLAG_NEXT_CTRL) or exactly `id`.
    const Control *query(uint32_t id) const {
        if (!(id & V4L2_CTRL_FLAG_NEXT_CTRL)) return control(id);
        const uint32_t after = id & ~(V4L2_CTRL_FLAG_NEXT_CTRL | V4L2_CTRL_FLAG_NEXT_COMPOUND);
        const Control *next = nullptr;
        for (const Control &k : camera.controls)
            if (k.id > after && (!next || k.id < next->id)) next = &k;
        return next;
    }
    bool inactive(const Control &k) const {
        return k.master && values.count(k.master) && values.at(k.master) != k.masterManual;
    }
    std::vector<uint32_t> formats() const {
        std::vector<uint32_t> list;
        for (const Mode &m : camera.modes)
            if (std::find(list.begin(), list.end(), m.pixelFormat) == list.end())
                list.push_back(m.pixelFormat);
        return list;
    }
    const Mode *find(uint32_t format, uint32_t w, uint32_t h) const {
        for (const Mode &m : camera.modes)
            if (m.pixelFormat == format && m.width == w && m.height == h) return &m;
        return nullptr;
    }
};

struct FakeV4l2Device::Handle {
    CameraState *camera = nullptr;
    const Mode *mode = nullptr;
    int rate = 0;
    struct Buffer {
        void *memory = nullptr;
        size_t length = 0;
        bool queued = false;
        Clock::time_point taken; // when the camera took the frame it holds
        uint32_t sequence = 0, used = 0;
    };
    std::vector<Buffer> buffers;
    std::deque<uint32_t> queue;  // queued, waiting for a frame
    std::deque<uint32_t> filled; // holding a frame, waiting to be dequeued
    bool streaming = false;
    uint32_t sequence = 0; // frames the camera has taken, lost ones included
    Clock::time_point due; // when it takes the next one
    Clock::duration period() const { return std::chrono::microseconds(1000000 / std::max(rate, 1)); }
};

FakeV4l2Device::Camera FakeV4l2Device::stereoCamera(const std::string &node) {
    Camera c;
    c.node = node;
    using K = Control;
    const uint32_t readOnly = V4L2_CTRL_FLAG_READ_ONLY,
                   heading = V4L2_CTRL_FLAG_READ_ONLY | V4L2_CTRL_FLAG_WRITE_ONLY;
    const auto menu = [](K k, std::vector<std::string> labels) {
        k.menu = std::move(labels);
        return k;
    };
    const auto slave = [](K k, uint32_t master, int32_t manual) { // inactive unless master == manual
        k.master = master;
        k.masterManual = manual;
        return k;
    };
    c.controls = {
        K{V4L2_CID_USER_CLASS, V4L2_CTRL_TYPE_CTRL_CLASS, "User Controls", 0, 0, 0, 0, heading},
        K{V4L2_CID_BRIGHTNESS, V4L2_CTRL_TYPE_INTEGER, "Brightness", -64, 64, 1, 0},
        K{V4L2_CID_CONTRAST, V4L2_CTRL_TYPE_INTEGER, "Contrast", 0, 95, 1, 32},
        K{V4L2_CID_HUE, V4L2_CTRL_TYPE_INTEGER, "Hue", -2000, 2000, 1, 0, V4L2_CTRL_FLAG_DISABLED},
        K{V4L2_CID_AUTO_WHITE_BALANCE, V4L2_CTRL_TYPE_BOOLEAN, "White Balance Temperature, Auto", 0, 1, 1, 1},
        K{V4L2_CID_GAIN, V4L2_CTRL_TYPE_INTEGER, "Gain", 0, 100, 1, 0},
        menu(K{V4L2_CID_POWER_LINE_FREQUENCY, V4L2_CTRL_TYPE_MENU, "Power Line Frequency", 0, 2, 1, 1},
             {"Disabled", "50 Hz", "60 Hz"}),
        slave(K{V4L2_CID_WHITE_BALANCE_TEMPERATURE, V4L2_CTRL_TYPE_INTEGER, "White Balance Temperature", 2800,
                6500, 10, 4600},
              V4L2_CID_AUTO_WHITE_BALANCE, 0),
        K{V4L2_CID_CAMERA_CLASS, V4L2_CTRL_TYPE_CTRL_CLASS, "Camera Controls", 0, 0, 0, 0, heading},
        menu(K{V4L2_CID_EXPOSURE_AUTO, V4L2_CTRL_TYPE_MENU, "Auto Exposure", 0, 3, 1, 3},
             {"", "Manual Mode", "", "Aperture Priority Mode"}),
        slave(
            K{V4L2_CID_EXPOSURE_ABSOLUTE, V4L2_CTRL_TYPE_INTEGER, "Exposure Time, Absolute", 3, 2047, 1, 250},
            V4L2_CID_EXPOSURE_AUTO, V4L2_EXPOSURE_MANUAL),
        K{V4L2_CID_PAN_RESET, V4L2_CTRL_TYPE_BUTTON, "Pan, Reset", 0, 0, 0, 0},
        K{V4L2_CID_PRIVACY, V4L2_CTRL_TYPE_BOOLEAN, "Privacy", 0, 1, 1, 0, readOnly},
    };
    for (uint32_t format : {uint32_t(V4L2_PIX_FMT_YUYV), uint32_t(V4L2_PIX_FMT_MJPEG)})
        for (const ResolutionMode &mode : kResolutionModes) {
            const Resolution frame = mode.sideBySide();
            c.modes.push_back(
                Mode{format, uint32_t(frame.width), uint32_t(frame.height), frameRatesFor(mode.index)});
        }
    return c;
}

FakeV4l2Device::FakeV4l2Device(bool install) : installed_(install) {
    if (install) setDeviceBackend(this);
}

FakeV4l2Device::~FakeV4l2Device() {
    if (installed_) setDeviceBackend(nullptr);
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto &h : handles_) {
        freeBuffers(*h.second);
        ::close(h.first);
    }
}

void FakeV4l2Device::addCamera(const Camera &camera) {
    std::lock_guard<std::mutex> lock(mutex_);
    cameras_.push_back(std::make_unique<CameraState>());
    cameras_.back()->camera = camera;
    cameras_.back()->powerUp();
}

void FakeV4l2Device::unplug(const std::string &node) {
    change([&] {
        for (auto &c : cameras_)
            if (c->camera.node == node) c->plugged = false;
    });
}

void FakeV4l2Device::replug(const std::string &node) {
    change([&] {
        for (auto &c : cameras_)
            if (c->camera.node == node && !c->plugged) {
                c->plugged = true;
                c->powerUp(); // a camera forgets its settings without power
            }
    });
}

void FakeV4l2Device::damageNextFrames(int count, Damage damage) {
    std::lock_guard<std::mutex> lock(mutex_);
    damageCount_ = count;
    damage_ = damage;
}

void FakeV4l2Device::setEyes(const cv::Mat &left, const cv::Mat &right) {
    std::lock_guard<std::mutex> lock(mutex_);
    eyes_[0] = left.clone();
    eyes_[1] = right.clone();
    cachedMode_ = nullptr;
}

int32_t FakeV4l2Device::controlValue(uint32_t id, const std::string &node) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto &c : cameras_)
        if (c->camera.node == node && c->values.count(id)) return c->values.at(id);
    return INT32_MIN;
}

int FakeV4l2Device::open(const std::string &path, int) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto &c : cameras_) {
        if (c->camera.node != path || !c->plugged) continue;
        const int fd = eventfd(0, EFD_CLOEXEC);
        if (fd < 0) return -1;
        auto h = std::make_unique<Handle>();
        h->camera = c.get();
        if (!c->camera.modes.empty()) {
            h->mode = &c->camera.modes.front();
            h->rate = h->mode->rates.empty() ? 30 : h->mode->rates.front();
        }
        handles_[fd] = std::move(h);
        return fd;
    }
    return failWith(ENOENT);
}

void FakeV4l2Device::freeBuffers(Handle &h) {
    for (Handle::Buffer &b : h.buffers)
        ::munmap(b.memory, b.length);
    h.buffers.clear();
    h.queue.clear();
}

int FakeV4l2Device::close(int fd) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = handles_.find(fd);
    if (it == handles_.end()) return failWith(EBADF);
    freeBuffers(*it->second);
    handles_.erase(it);
    return ::close(fd);
}

FakeV4l2Device::CameraState *FakeV4l2Device::cameraOf(int fd, Handle **handle) {
    auto it = handles_.find(fd);
    if (it == handles_.end()) return nullptr;
    *handle = it->second.get();
    return it->second->camera;
}

int FakeV4l2Device::ioctl(int fd, unsigned long request, void *argument) {
    std::lock_guard<std::mutex> lock(mutex_);
    Handle *h = nullptr;
    CameraState *c = cameraOf(fd, &h);
    if (!c) return failWith(EBADF);
    if (!c->plugged) return failWith(ENODEV);
    return handleIoctl(*h, *c, request, argument);
}

int FakeV4l2Device::handleIoctl(Handle &h, CameraState &c, unsigned long request, void *argument) {
    const bool video = !c.camera.metadataOnly;
    switch (request) {
    case VIDIOC_QUERYCAP: {
        auto *cap = static_cast<v4l2_capability *>(argument);
        std::memset(cap, 0, sizeof *cap);
        std::strncpy(reinterpret_cast<char *>(cap->driver), "uvcvideo", sizeof cap->driver - 1);
        std::strncpy(reinterpret_cast<char *>(cap->card), "Stand-in Stereo Camera", sizeof cap->card - 1);
        cap->device_caps = video ? V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING : V4L2_CAP_META_CAPTURE;
        cap->capabilities =
            V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_META_CAPTURE | V4L2_CAP_STREAMING | V4L2_CAP_DEVICE_CAPS;
        return 0;
    }
    case VIDIOC_ENUM_FMT: {
        auto *f = static_cast<v4l2_fmtdesc *>(argument);
        const std::vector<uint32_t> formats = c.formats();
        if (!video || f->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || f->index >= formats.size())
            return failWith(EINVAL);
        f->pixelformat = formats[f->index];
        return 0;
    }
    case VIDIOC_ENUM_FRAMESIZES: {
        auto *e = static_cast<v4l2_frmsizeenum *>(argument);
        uint32_t n = 0;
        for (const Mode &m : c.camera.modes)
            if (m.pixelFormat == e->pixel_format && n++ == e->index) {
                e->type = V4L2_FRMSIZE_TYPE_DISCRETE;
                e->discrete.width = m.width;
                e->discrete.height = m.height;
                return 0;
            }
        return failWith(EINVAL);
    }
    case VIDIOC_ENUM_FRAMEINTERVALS: {
        auto *e = static_cast<v4l2_frmivalenum *>(argument);
        const Mode *m = c.find(e->pixel_format, e->width, e->height);
        if (!m || e->index >= m->rates.size()) return failWith(EINVAL);
        e->type = V4L2_FRMIVAL_TYPE_DISCRETE;
        e->discrete.numerator = 1;
        e->discrete.denominator = uint32_t(m->rates[m->rates.size() - 1 - e->index]); // slowest interval last
        return 0;
    }
    case VIDIOC_G_FMT:
    case VIDIOC_S_FMT: {
        auto *f = static_cast<v4l2_format *>(argument);
        if (!video || !h.mode) return failWith(EINVAL);
        if (request == VIDIOC_S_FMT) {
            if (held_ || h.streaming || !h.buffers.empty()) return failWith(EBUSY);
            const Mode *m = c.find(f->fmt.pix.pixelformat, f->fmt.pix.width, f->fmt.pix.height);
            if (!m || Resolution(m->width, m->height) == refused_) {
                // Like a driver: the nearest it can do, here any other size.
                m = nullptr;
                for (const Mode &other : c.camera.modes)
                    if (Resolution(other.width, other.height) != refused_ &&
                        (!m || other.pixelFormat == f->fmt.pix.pixelformat))
                        m = &other;
            }
            if (!m) return failWith(EINVAL);
            h.mode = m;
            h.rate = m->rates.empty() ? 30 : m->rates.back();
        }
        f->fmt.pix.pixelformat = h.mode->pixelFormat;
        f->fmt.pix.width = h.mode->width;
        f->fmt.pix.height = h.mode->height;
        f->fmt.pix.field = V4L2_FIELD_NONE;
        f->fmt.pix.bytesperline = h.mode->pixelFormat == V4L2_PIX_FMT_YUYV ? h.mode->width * 2 : 0;
        f->fmt.pix.sizeimage = h.mode->width * h.mode->height * 2;
        return 0;
    }
    case VIDIOC_G_PARM:
    case VIDIOC_S_PARM: {
        auto *p = static_cast<v4l2_streamparm *>(argument);
        if (!video || !h.mode) return failWith(EINVAL);
        if (request == VIDIOC_S_PARM) {
            if (rateFixed_) return failWith(ENOTTY);
            if (held_ || (h.streaming && rateLocked_)) return failWith(EBUSY);
            const v4l2_fract &t = p->parm.capture.timeperframe;
            const double asked = t.numerator ? double(t.denominator) / double(t.numerator) : 1000.0;
            for (int r : h.mode->rates)
                if (std::fabs(r - asked) < std::fabs(h.rate - asked)) h.rate = r;
            currentRate_ = float(h.rate);
        }
        p->parm.capture.capability = V4L2_CAP_TIMEPERFRAME;
        p->parm.capture.timeperframe.numerator = 1;
        p->parm.capture.timeperframe.denominator = uint32_t(h.rate);
        return 0;
    }
    case VIDIOC_REQBUFS: {
        auto *r = static_cast<v4l2_requestbuffers *>(argument);
        if (!video || r->memory != V4L2_MEMORY_MMAP) return failWith(EINVAL);
        if (h.streaming || (held_ && r->count > 0)) return failWith(EBUSY);
        freeBuffers(h);
        r->count = std::min<uint32_t>(r->count, 8);
        const size_t length = size_t(h.mode->width) * h.mode->height * 2;
        for (uint32_t i = 0; i < r->count; ++i) {
            void *memory =
                ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (memory == MAP_FAILED) return failWith(ENOMEM);
            h.buffers.emplace_back();
            h.buffers.back().memory = memory;
            h.buffers.back().length = length;
        }
        return 0;
    }
    case VIDIOC_QUERYBUF:
    case VIDIOC_QBUF: {
        auto *b = static_cast<v4l2_buffer *>(argument);
        if (b->index >= h.buffers.size()) return failWith(EINVAL);
        Handle::Buffer &buffer = h.buffers[b->index];
        if (request == VIDIOC_QBUF) {
            if (buffer.queued) return failWith(EINVAL);
            buffer.queued = true;
            h.queue.push_back(b->index);
            changed_.notify_all();
        }
        b->length = uint32_t(buffer.length);
        b->m.offset = (b->index + 1) << 24;
        return 0;
    }
    case VIDIOC_DQBUF: {
        auto *b = static_cast<v4l2_buffer *>(argument);
        if (!h.streaming) return failWith(EINVAL);
        arrive(h, c);
        if (h.filled.empty() && !paced_ && !stalled_ && !h.queue.empty()) take(h, c, Clock::now());
        if (h.filled.empty()) return failWith(EAGAIN);
        const uint32_t index = h.filled.front();
        h.filled.pop_front();
        Handle::Buffer &buffer = h.buffers[index];
        buffer.queued = false;
        std::memset(b, 0, sizeof *b);
        b->index = index;
        b->type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        b->memory = V4L2_MEMORY_MMAP;
        b->flags = V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC;
        b->sequence = buffer.sequence;
        const auto sinceEpoch =
            std::chrono::duration_cast<std::chrono::microseconds>(buffer.taken.time_since_epoch());
        b->timestamp.tv_sec = sinceEpoch.count() / 1000000;
        b->timestamp.tv_usec = sinceEpoch.count() % 1000000;
        b->bytesused = buffer.used;
        b->length = uint32_t(buffer.length);
        return 0;
    }
    case VIDIOC_STREAMON:
        if (held_) return failWith(EBUSY);
        if (h.buffers.empty()) return failWith(EINVAL);
        if (busLimit_ > 0 && double(h.mode->width) * h.mode->height * 2 * h.rate > busLimit_)
            return failWith(ENOSPC);
        if (!h.streaming) ++streamStarts_;
        h.streaming = true;
        h.due = Clock::now() + h.period();
        changed_.notify_all();
        return 0;
    case VIDIOC_STREAMOFF:
        h.streaming = false;
        h.queue.clear();
        h.filled.clear();
        for (Handle::Buffer &b : h.buffers)
            b.queued = false;
        return 0;
    default:
        return controlIoctl(c, request, argument);
    }
}

int FakeV4l2Device::controlIoctl(CameraState &c, unsigned long request, void *argument) {
    const bool extended =
        request == VIDIOC_QUERY_EXT_CTRL || request == VIDIOC_G_EXT_CTRLS || request == VIDIOC_S_EXT_CTRLS;
    if (extended && !extendedControls_) return failWith(ENOTTY);
    const auto describe = [&c](auto *q) {
        const Control *k = c.query(q->id);
        if (!k) return failWith(EINVAL);
        std::memset(q, 0, sizeof *q);
        q->id = k->id;
        q->type = k->type;
        std::strncpy(reinterpret_cast<char *>(q->name), k->name.c_str(), sizeof q->name - 1);
        q->minimum = k->minimum;
        q->maximum = k->maximum;
        q->step = decltype(q->step)(k->step);
        q->default_value = k->defaultValue;
        q->flags = k->flags | (c.inactive(*k) ? V4L2_CTRL_FLAG_INACTIVE : 0u);
        return 0;
    };
    if (request == VIDIOC_QUERY_EXT_CTRL) return describe(static_cast<v4l2_query_ext_ctrl *>(argument));
    if (request == VIDIOC_QUERYCTRL) return describe(static_cast<v4l2_queryctrl *>(argument));
    if (request == VIDIOC_QUERYMENU) {
        auto *m = static_cast<v4l2_querymenu *>(argument);
        const Control *k = c.control(m->id);
        if (!k || k->type != V4L2_CTRL_TYPE_MENU || m->index >= k->menu.size() || k->menu[m->index].empty())
            return failWith(EINVAL);
        std::memset(m->name, 0, sizeof m->name);
        std::strncpy(reinterpret_cast<char *>(m->name), k->menu[m->index].c_str(), sizeof m->name - 1);
        return 0;
    }
    const bool set = request == VIDIOC_S_CTRL || request == VIDIOC_S_EXT_CTRLS;
    if (!set && request != VIDIOC_G_CTRL && request != VIDIOC_G_EXT_CTRLS) return failWith(ENOTTY);
    auto *all = static_cast<v4l2_ext_controls *>(argument);
    if (extended && (all->count != 1 || !all->controls)) return failWith(EINVAL);
    auto *plain = static_cast<v4l2_control *>(argument);
    const uint32_t id = extended ? all->controls->id : plain->id;
    int32_t value = extended ? all->controls->value : plain->value;
    const Control *k = c.control(id);
    if (!k || k->type == V4L2_CTRL_TYPE_CTRL_CLASS || k->type == V4L2_CTRL_TYPE_BUTTON)
        return failWith(EINVAL);
    if (!set) {
        (extended ? all->controls->value : plain->value) = c.values[id];
        return 0;
    }
    if ((k->flags & V4L2_CTRL_FLAG_READ_ONLY) || c.inactive(*k)) return failWith(EACCES);
    if (refusedControls_.count(id) && refusedControls_[id]) return failWith(refusedControls_[id]);
    if (k->type == V4L2_CTRL_TYPE_MENU) {
        if (value < k->minimum || value > k->maximum) return failWith(ERANGE);
        if (size_t(value) >= k->menu.size() || k->menu[size_t(value)].empty()) return failWith(EINVAL);
        c.values[id] = value;
    } else {
        // Integers are clamped and rounded to the step, as the driver does.
        const int32_t v = std::clamp(value, k->minimum, k->maximum);
        c.values[id] = std::min(k->maximum, k->minimum + (v - k->minimum + k->step / 2) /
                                                             std::max(k->step, 1) * std::max(k->step, 1));
    }
    controlThread_ = std::this_thread::get_id();
    return 0;
}

void FakeV4l2Device::encodeMjpg(const cv::Mat &left, const cv::Mat &right, std::vector<uchar> &out,
                                int restartInterval) {
    cv::Mat joined, bgr;
    cv::hconcat(left, right, joined);
    cv::cvtColor(joined, bgr, cv::COLOR_BGRA2BGR);
    cv::imencode(".jpg", bgr, out,
                 {cv::IMWRITE_JPEG_QUALITY, 90, cv::IMWRITE_JPEG_RST_INTERVAL, restartInterval});
}

void FakeV4l2Device::encodeYuyv(const cv::Mat &left, const cv::Mat &right, std::vector<uchar> &out) {
    const int w = left.cols, h = left.rows;
    out.resize(size_t(w) * 2 * h * 2);
    uchar *o = out.data();
    for (int y = 0; y < h; ++y)
        for (int eye = 0; eye < 2; ++eye) {
            const uchar *p = (eye == 0 ? left : right).ptr<uchar>(y);
            for (int x = 0; x < w; x += 2, p += 8, o += 4) {
                float ys[2], u = 0, v = 0;
                for (int k = 0; k < 2; ++k) {
                    const float b = p[4 * k], g = p[4 * k + 1], r = p[4 * k + 2];
                    ys[k] = 16 + 0.257f * r + 0.504f * g + 0.098f * b;
                    u += 0.5f * (128 - 0.148f * r - 0.291f * g + 0.439f * b);
                    v += 0.5f * (128 + 0.439f * r - 0.368f * g - 0.071f * b);
                }
                o[0] = cv::saturate_cast<uchar>(ys[0]);
                o[1] = cv::saturate_cast<uchar>(u);
                o[2] = cv::saturate_cast<uchar>(ys[1]);
                o[3] = cv::saturate_cast<uchar>(v);
            }
        }
}

// As a driver does: at each frame time the camera's frame goes into the
// oldest queued buffer, or is lost when the program has none queued (the
// frame count still goes on, as the timestamps show).
void FakeV4l2Device::arrive(Handle &h, CameraState &c) {
    if (!paced_ || !h.streaming) return;
    const Clock::time_point now = Clock::now();
    if (stalled_) {
        h.due = std::max(h.due, now);
        return;
    }
    const Clock::duration period = h.period();
    if (now - h.due > 8 * period) { // long asleep: all but the last frames were lost
        const auto lost = (now - h.due) / period - 4;
        h.sequence += uint32_t(lost);
        h.due += lost * period;
    }
    for (; h.due <= now; h.due += period, ++h.sequence)
        if (!h.queue.empty()) take(h, c, h.due);
}

void FakeV4l2Device::take(Handle &h, CameraState &c, Clock::time_point at) {
    const uint32_t index = h.queue.front();
    h.queue.pop_front();
    Handle::Buffer &buffer = h.buffers[index];
    fillFrame(h, c, static_cast<uchar *>(buffer.memory), buffer.length, &buffer.used);
    buffer.taken = at;
    buffer.sequence = h.sequence;
    if (!paced_) ++h.sequence;
    h.filled.push_back(index);
}

void FakeV4l2Device::fillFrame(Handle &h, CameraState &, uchar *memory, size_t length, uint32_t *used) {
    const cv::Size eye(int(h.mode->width / 2), int(h.mode->height));
    const bool fixed = !eyes_[0].empty();
    // Fixed eyes make the same frame every time: encode it once. A frame
    // ready made is copied once, as a driver's transfer would.
    std::vector<uchar> bytes;
    const std::vector<uchar> *ready = nullptr;
    if (!clip_.empty()) {
        ready = &clip_[h.sequence % clip_.size()];
    } else if (fixed && cachedMode_ == h.mode) {
        ready = &cachedFrame_;
    } else {
        cv::Mat pair[2];
        if (fixed) {
            for (int i = 0; i < 2; ++i)
                if (eyes_[i].size() == eye)
                    pair[i] = eyes_[i];
                else
                    cv::resize(eyes_[i], pair[i], eye, 0, 0, cv::INTER_NEAREST);
        } else {
            auto &scene = scenes_[{size_t(eye.width), size_t(eye.height)}];
            if (!scene)
                scene = std::make_unique<VirtualScene>(Resolution(size_t(eye.width), size_t(eye.height)));
            scene->render(double(h.sequence) / std::max(h.rate, 1), pair[0], pair[1]);
        }
        if (h.mode->pixelFormat == V4L2_PIX_FMT_YUYV) {
            encodeYuyv(pair[0], pair[1], bytes);
        } else {
            encodeMjpg(pair[0], pair[1], bytes, restartInterval_);
        }
        if (fixed) {
            cachedFrame_ = bytes;
            cachedMode_ = h.mode;
        }
    }
    if (h.mode->pixelFormat == V4L2_PIX_FMT_MJPEG && damageCount_ > 0) {
        if (ready) bytes = *ready;
        ready = nullptr;
        --damageCount_;
        if (damage_ == Damage::Short)
            bytes.resize(bytes.size() / 2);
        else
            std::fill(bytes.begin(), bytes.end(), uchar(0x55));
    }
    const std::vector<uchar> &frame = ready ? *ready : bytes;
    const size_t n = std::min(frame.size(), length);
    std::memcpy(memory, frame.data(), n);
    *used = uint32_t(n);
}

void *FakeV4l2Device::mmap(size_t length, int, int, int fd, off_t offset) {
    std::lock_guard<std::mutex> lock(mutex_);
    Handle *h = nullptr;
    CameraState *c = cameraOf(fd, &h);
    const size_t index = (size_t(offset) >> 24) - 1;
    if (!c || !c->plugged || index >= h->buffers.size() || length > h->buffers[index].length) {
        errno = c && !c->plugged ? ENODEV : EINVAL;
        return MAP_FAILED;
    }
    void *memory = h->buffers[index].memory;
    mappings_[memory] = length;
    return memory;
}

int FakeV4l2Device::munmap(void *address, size_t) {
    std::lock_guard<std::mutex> lock(mutex_);
    return mappings_.erase(address) ? 0 : failWith(EINVAL);
}

int FakeV4l2Device::poll(struct pollfd *fds, nfds_t count, int timeoutMs) {
    if (count == 0) return 0;
    std::unique_lock<std::mutex> lock(mutex_);
    const Clock::time_point deadline =
        timeoutMs < 0 ? Clock::time_point::max() : Clock::now() + std::chrono::milliseconds(timeoutMs);
    pollfd &p = fds[0];
    for (;;) {
        Handle *h = nullptr;
        CameraState *c = cameraOf(p.fd, &h);
        if (!c) {
            p.revents = POLLNVAL;
            return 1;
        }
        if (!c->plugged || !h->streaming) {
            p.revents = POLLERR;
            return 1;
        }
        arrive(*h, *c);
        if (!h->filled.empty() || (!paced_ && !stalled_ && !h->queue.empty())) {
            p.revents = POLLIN;
            return 1;
        }
        const bool waiting = paced_ && !stalled_ && !h->queue.empty();
        const Clock::time_point wake = waiting ? std::min(h->due, deadline) : deadline;
        if (Clock::now() >= deadline) return 0;
        changed_.wait_until(lock, wake);
    }
}

bool FakeV4l2Device::readText(const std::string &path, std::string *text) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto &c : cameras_) {
        const std::string prefix = "/sys/class/video4linux/" + baseName(c->camera.node) + "/device/../";
        if (!c->plugged || path.compare(0, prefix.size(), prefix) != 0) continue;
        const std::string attribute = path.substr(prefix.size());
        if (attribute == "serial" && !c->camera.serial.empty())
            *text = c->camera.serial;
        else if (attribute == "bcdDevice")
            *text = c->camera.bcdDevice;
        else
            return false;
        return true;
    }
    return false;
}

std::vector<std::string> FakeV4l2Device::listNodes() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> nodes;
    for (auto &c : cameras_)
        if (c->plugged) nodes.push_back(c->camera.node);
    return nodes;
}

} // namespace twl
