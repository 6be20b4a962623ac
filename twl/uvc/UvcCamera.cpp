#include "twl/uvc/UvcCamera.h"

#include "twl/core/ModeTable.h"
#include "twl/uvc/UvcStereoSource.h"
#include "twl/uvc/V4l2Device.h"

#include <fcntl.h>
#include <linux/videodev2.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>

namespace twl {
namespace UvcCamera {

Resolution sideBySideSize(int resolutionIndex) {
    const ResolutionMode *mode = resolutionMode(resolutionIndex);
    return mode ? mode->sideBySide() : Resolution();
}

int resolutionIndexOfFrame(size_t width, size_t height) {
    for (const ResolutionMode &mode : kResolutionModes)
        if (mode.sideBySide() == Resolution(width, height)) return mode.index;
    return -1;
}

uint32_t serialNumberOf(const std::string &serial) {
    if (!serial.empty() && serial.size() <= 10 &&
        std::all_of(serial.begin(), serial.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        const unsigned long long value = std::stoull(serial);
        if (value <= 0xFFFFFFFFULL) return uint32_t(value);
    }
    uint32_t hash = 2166136261u;
    for (unsigned char c : serial) {
        hash ^= c;
        hash *= 16777619u;
    }
    return hash;
}

float nearestRate(const std::vector<float> &rates, int fps) {
    if (rates.empty()) return float(fps);
    float best = rates.back();
    if (fps > 0)
        for (float r : rates)
            if (std::fabs(r - float(fps)) < std::fabs(best - float(fps)) ||
                (std::fabs(r - float(fps)) == std::fabs(best - float(fps)) && r < best))
                best = r;
    return best;
}

bool chooseMode(const DeviceInfo &device, int resolutionIndex, int fps, Mode *mode, float *rate) {
    bool found = false;
    for (const Mode &m : device.modes) {
        if (m.resolutionIndex != resolutionIndex) continue;
        const float r = nearestRate(m.rates, fps);
        // Modes list YUYV first, so a tie keeps it: no decode, no loss.
        const bool better =
            !found || (fps > 0 ? std::fabs(r - float(fps)) < std::fabs(*rate - float(fps)) : r > *rate);
        if (better) {
            *mode = m;
            *rate = r;
            found = true;
        }
    }
    return found;
}

namespace {

std::vector<float> frameRates(V4l2Device &dev, int fd, uint32_t format, const Resolution &size) {
    std::vector<float> rates;
    v4l2_frmivalenum e{};
    e.pixel_format = format;
    e.width = uint32_t(size.width);
    e.height = uint32_t(size.height);
    for (e.index = 0; dev.xioctl(fd, VIDIOC_ENUM_FRAMEINTERVALS, &e) == 0; ++e.index) {
        if (e.type == V4L2_FRMIVAL_TYPE_DISCRETE) {
            if (e.discrete.numerator && e.discrete.denominator)
                rates.push_back(float(e.discrete.denominator) / float(e.discrete.numerator));
            continue;
        }
        // A range: offer the rates of our table that it covers, and its fastest.
        const v4l2_fract &fast = e.stepwise.min, &slow = e.stepwise.max;
        if (!fast.numerator || !fast.denominator || !slow.numerator) break;
        const float highest = float(fast.denominator) / float(fast.numerator);
        const float lowest = float(slow.denominator) / float(slow.numerator);
        for (int r : kFrameRates)
            if (float(r) >= lowest && float(r) <= highest) rates.push_back(float(r));
        rates.push_back(highest);
        break;
    }
    std::sort(rates.begin(), rates.end());
    rates.erase(
        std::unique(rates.begin(), rates.end(), [](float a, float b) { return std::fabs(a - b) < 0.01f; }),
        rates.end());
    return rates;
}

/// The side-by-side sizes of our table that `format` offers.
std::vector<Resolution> stereoSizes(V4l2Device &dev, int fd, uint32_t format) {
    std::vector<Resolution> sizes;
    v4l2_frmsizeenum e{};
    e.pixel_format = format;
    for (e.index = 0; dev.xioctl(fd, VIDIOC_ENUM_FRAMESIZES, &e) == 0; ++e.index) {
        if (e.type == V4L2_FRMSIZE_TYPE_DISCRETE) {
            if (resolutionIndexOfFrame(e.discrete.width, e.discrete.height) >= 0)
                sizes.emplace_back(e.discrete.width, e.discrete.height);
            continue;
        }
        const v4l2_frmsize_stepwise &s = e.stepwise;
        for (const ResolutionMode &mode : kResolutionModes) {
            const Resolution r = mode.sideBySide();
            const bool inside = r.width >= s.min_width && r.width <= s.max_width &&
                                r.height >= s.min_height && r.height <= s.max_height;
            const bool onStep = (!s.step_width || (r.width - s.min_width) % s.step_width == 0) &&
                                (!s.step_height || (r.height - s.min_height) % s.step_height == 0);
            if (inside && onStep) sizes.push_back(r);
        }
        break;
    }
    return sizes;
}

/// Fills `info` from an open node; false when it is not a stereo camera.
bool describe(V4l2Device &dev, int fd, DeviceInfo *info) {
    v4l2_capability cap{};
    if (dev.xioctl(fd, VIDIOC_QUERYCAP, &cap) < 0) return false;
    const uint32_t caps = (cap.capabilities & V4L2_CAP_DEVICE_CAPS) ? cap.device_caps : cap.capabilities;
    // Metadata-only nodes of the same camera lack video capture.
    if (!(caps & V4L2_CAP_VIDEO_CAPTURE) || !(caps & V4L2_CAP_STREAMING)) return false;
    info->card.assign(reinterpret_cast<const char *>(cap.card),
                      strnlen(reinterpret_cast<const char *>(cap.card), sizeof cap.card));
    std::vector<uint32_t> formats;
    v4l2_fmtdesc f{};
    f.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    for (f.index = 0; dev.xioctl(fd, VIDIOC_ENUM_FMT, &f) == 0; ++f.index)
        if (f.pixelformat == V4L2_PIX_FMT_YUYV || f.pixelformat == V4L2_PIX_FMT_MJPEG)
            formats.push_back(f.pixelformat);
    std::stable_partition(formats.begin(), formats.end(), [](uint32_t p) { return p == V4L2_PIX_FMT_YUYV; });
    for (uint32_t format : formats)
        for (const Resolution &size : stereoSizes(dev, fd, format)) {
            Mode m;
            m.pixelFormat = format;
            m.frameSize = size;
            m.resolutionIndex = resolutionIndexOfFrame(size.width, size.height);
            m.rates = frameRates(dev, fd, format, size);
            info->modes.push_back(m);
        }
    return !info->modes.empty();
}

void readIdentity(V4l2Device &dev, DeviceInfo *info) {
    const std::string name = info->node.substr(info->node.find_last_of('/') + 1);
    // device/ is the USB interface; its parent is the USB device with the strings.
    const std::string usb = "/sys/class/video4linux/" + name + "/device/../";
    std::string text;
    if (dev.readText(usb + "serial", &text)) info->serialText = text;
    info->serialNumber = info->serialText.empty() ? 0 : serialNumberOf(info->serialText);
}

} // namespace

std::vector<DeviceInfo> scan(std::vector<std::string> *problems) {
    V4l2Device &dev = deviceBackend();
    std::vector<DeviceInfo> found;
    for (const std::string &node : dev.listNodes()) {
        const int fd = dev.open(node, O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            const int error = errno;
            if (problems && error != ENOENT && error != ENODEV && error != ENXIO)
                problems->push_back(node + ": " + std::strerror(error) +
                                    (error == EACCES ? " (is this user in the video group?)" : ""));
            continue;
        }
        DeviceInfo info;
        info.node = node;
        const bool stereo = describe(dev, fd, &info);
        dev.close(fd);
        if (!stereo) continue;
        readIdentity(dev, &info);
        found.push_back(std::move(info));
    }
    return found;
}

std::unique_ptr<FrameSource> open(const std::string &node, int resolutionIndex, int fps, ERROR_CODE *error) {
    ERROR_CODE code = ERROR_CODE_CAMERA_NOT_DETECTED;
    std::unique_ptr<FrameSource> source;
    for (const DeviceInfo &device : scan()) {
        if (!node.empty() && device.node != node) continue;
        Mode mode;
        float rate = 0;
        if (!resolutionMode(resolutionIndex))
            code = ERROR_CODE_INVALID_RESOLUTION;
        else if (!chooseMode(device, resolutionIndex, fps, &mode, &rate))
            code = ERROR_CODE_LOW_USB_BANDWIDTH;
        else
            source = UvcStereoSource::open(deviceBackend(), device, mode, rate, &code);
        break;
    }
    if (error) *error = code;
    return source;
}

} // namespace UvcCamera
} // namespace twl
