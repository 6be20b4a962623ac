#include "twl/uvc/UvcControls.h"

#include "twl/uvc/V4l2Device.h"

#include <linux/videodev2.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

namespace twl {
namespace UvcControls {

namespace {

// Bounds against a driver that never ends a list.
constexpr int kMostControls = 1024;
constexpr int64_t kMostMenuEntries = 256;

int32_t toInt32(int64_t v) {
    return int32_t(std::clamp<int64_t>(v, INT32_MIN, INT32_MAX));
}

std::string nameOf(const char *text, size_t size) {
    return std::string(text, strnlen(text, size));
}

/// One step of the list: the extended query, or the plain one copied into it.
int queryNext(V4l2Device &device, int fd, bool extended, v4l2_query_ext_ctrl *q) {
    if (extended) return device.xioctl(fd, VIDIOC_QUERY_EXT_CTRL, q);
    v4l2_queryctrl plain{};
    plain.id = q->id;
    if (device.xioctl(fd, VIDIOC_QUERYCTRL, &plain) < 0) return -1;
    *q = v4l2_query_ext_ctrl{};
    q->id = plain.id;
    q->type = plain.type;
    std::memcpy(q->name, plain.name, std::min(sizeof q->name, sizeof plain.name));
    q->minimum = plain.minimum;
    q->maximum = plain.maximum;
    q->step = uint64_t(plain.step);
    q->default_value = plain.default_value;
    q->flags = plain.flags;
    return 0;
}

bool describe(V4l2Device &device, int fd, const v4l2_query_ext_ctrl &q, CameraControl *c) {
    constexpr uint32_t hidden =
        V4L2_CTRL_FLAG_DISABLED | V4L2_CTRL_FLAG_READ_ONLY | V4L2_CTRL_FLAG_WRITE_ONLY;
    if (q.flags & hidden) return false;
    switch (q.type) {
    case V4L2_CTRL_TYPE_INTEGER:
        c->type = CameraControl::Type::Integer;
        break;
    case V4L2_CTRL_TYPE_BOOLEAN:
        c->type = CameraControl::Type::Boolean;
        break;
    case V4L2_CTRL_TYPE_MENU:
        c->type = CameraControl::Type::Menu;
        break;
    case V4L2_CTRL_TYPE_INTEGER_MENU:
        c->type = CameraControl::Type::IntegerMenu;
        break;
    default:
        return false; // class headings, buttons, strings, 64-bit and compound values
    }
    c->id = q.id;
    c->name = nameOf(q.name, sizeof q.name);
    c->key = controlKey(c->name);
    c->minimum = toInt32(q.minimum);
    c->maximum = toInt32(q.maximum);
    c->step = q.step > 0 && q.step <= uint64_t(INT32_MAX) ? int32_t(q.step) : 1;
    c->defaultValue = toInt32(q.default_value);
    c->inactive = (q.flags & V4L2_CTRL_FLAG_INACTIVE) != 0;
    if (c->type == CameraControl::Type::Boolean) {
        c->minimum = 0;
        c->maximum = 1;
        c->step = 1;
    }
    if (c->type == CameraControl::Type::Menu || c->type == CameraControl::Type::IntegerMenu) {
        // Menus may leave gaps (auto exposure offers 1 and 3): an index the
        // driver does not answer is not offered.
        const int64_t last = std::min<int64_t>(q.maximum, q.minimum + kMostMenuEntries - 1);
        for (int64_t i = std::max<int64_t>(q.minimum, 0); i <= last; ++i) {
            v4l2_querymenu m{};
            m.id = q.id;
            m.index = uint32_t(i);
            if (device.xioctl(fd, VIDIOC_QUERYMENU, &m) < 0) continue;
            CameraControl::MenuItem item;
            item.index = int32_t(i);
            item.label = c->type == CameraControl::Type::Menu
                             ? nameOf(reinterpret_cast<const char *>(m.name), sizeof m.name)
                             : std::to_string(static_cast<long long>(m.value));
            c->menu.push_back(item);
        }
        if (c->menu.empty()) return false;
    }
    if (read(device, fd, c->id, &c->value) != 0) c->value = c->defaultValue;
    return true;
}

bool fallBack(int error) {
    return error == ENOTTY || error == EINVAL;
}

} // namespace

std::vector<CameraControl> query(V4l2Device &device, int fd) {
    std::vector<CameraControl> controls;
    bool extended = true;
    v4l2_query_ext_ctrl q{};
    q.id = V4L2_CTRL_FLAG_NEXT_CTRL;
    uint32_t previous = 0;
    for (int n = 0; n < kMostControls; ++n) {
        const uint32_t asked = q.id;
        if (queryNext(device, fd, extended, &q) < 0) {
            if (extended && n == 0 && fallBack(errno)) {
                extended = false;
                q = v4l2_query_ext_ctrl{};
                q.id = asked;
                continue;
            }
            break; // EINVAL past the last control
        }
        if (q.id <= previous) break; // a driver that does not move on
        previous = q.id;
        CameraControl c;
        if (describe(device, fd, q, &c)) controls.push_back(std::move(c));
        q.id |= V4L2_CTRL_FLAG_NEXT_CTRL;
    }
    return controls;
}

int read(V4l2Device &device, int fd, uint32_t id, int32_t *value) {
    v4l2_ext_control one{};
    one.id = id;
    v4l2_ext_controls all{};
    all.which = V4L2_CTRL_ID2WHICH(id);
    all.count = 1;
    all.controls = &one;
    if (device.xioctl(fd, VIDIOC_G_EXT_CTRLS, &all) == 0) {
        *value = one.value;
        return 0;
    }
    const int error = errno;
    if (!fallBack(error)) return error;
    v4l2_control plain{};
    plain.id = id;
    if (device.xioctl(fd, VIDIOC_G_CTRL, &plain) < 0) return errno == ENOTTY ? error : errno;
    *value = plain.value;
    return 0;
}

int set(V4l2Device &device, int fd, uint32_t id, int32_t value) {
    v4l2_ext_control one{};
    one.id = id;
    one.value = value;
    v4l2_ext_controls all{};
    all.which = V4L2_CTRL_ID2WHICH(id);
    all.count = 1;
    all.controls = &one;
    if (device.xioctl(fd, VIDIOC_S_EXT_CTRLS, &all) == 0) return 0;
    const int error = errno;
    if (!fallBack(error)) return error;
    v4l2_control plain{};
    plain.id = id;
    plain.value = value;
    if (device.xioctl(fd, VIDIOC_S_CTRL, &plain) < 0) return errno == ENOTTY ? error : errno;
    return 0;
}

} // namespace UvcControls
} // namespace twl
