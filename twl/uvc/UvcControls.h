#pragma once
// The image controls of an open V4L2 node, as the kernel's UVC driver offers
// them: listed with VIDIOC_QUERY_EXT_CTRL (VIDIOC_QUERYCTRL where that is not
// known) and V4L2_CTRL_FLAG_NEXT_CTRL, menus with VIDIOC_QUERYMENU, values
// read and set with the extended calls (the plain ones as a fall-back).
// Integer, boolean and menu controls only; disabled, read-only and
// write-only ones, class headings and buttons are left out. None of this
// needs the stream, so it works on a node that another program streams from.

#include "twl/core/CameraControl.h"

#include <cstdint>
#include <vector>

namespace twl {

class V4l2Device;

namespace UvcControls {

/// Every control we can show, in the driver's order, with its value now.
std::vector<CameraControl> query(V4l2Device &device, int fd);
/// 0, or the error number of the refusal.
int read(V4l2Device &device, int fd, uint32_t id, int32_t *value);
/// 0, or the error number of the refusal (EACCES: inactive now).
int set(V4l2Device &device, int fd, uint32_t id, int32_t value);

} // namespace UvcControls
} // namespace twl
