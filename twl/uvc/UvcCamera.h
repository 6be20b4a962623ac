#pragma once
// Real stereo cameras on USB video class (V4L2) nodes that send both eyes in
// one side-by-side frame. A node counts as a stereo camera when it streams,
// as YUYV or MJPG, at least one frame of twice the width of a resolution of
// our table (4416x1242, 3840x1080, 2560x720, 1344x376).

#include "twl/core/FrameSource.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace twl {
namespace UvcCamera {

/// One side-by-side size a format offers, with its frame rates (highest last).
struct Mode {
    uint32_t pixelFormat = 0; // V4L2 fourcc: YUYV or MJPG
    int resolutionIndex = -1;
    Resolution frameSize;     // the whole side-by-side frame
    std::vector<float> rates; // empty when the driver does not list them
};

struct DeviceInfo {
    std::string node; // /dev/videoN
    std::string card; // the driver's name for the device
    std::string serialText;
    uint32_t serialNumber = 0;
    std::vector<Mode> modes;
};

/// The side-by-side frame of a resolution index (twice as wide as one eye);
/// 0 x 0 for an unknown index. The resolution index of such a frame, or -1.
Resolution sideBySideSize(int resolutionIndex);
int resolutionIndexOfFrame(size_t width, size_t height);

/// The USB serial as a number: its decimal value when it is one that fits,
/// otherwise its 32-bit FNV-1a hash (stable across runs and machines).
uint32_t serialNumberOf(const std::string &serial);

/// Every stereo camera present now, in node order. Nodes that could not be
/// looked at (no permission, busy) are explained in `problems` when given.
std::vector<DeviceInfo> scan(std::vector<std::string> *problems = nullptr);

/// Picks the format and the rate for a resolution: the offered rate nearest
/// to `fps` (0 = the highest), YUYV on a tie. False when no format offers
/// the resolution.
bool chooseMode(const DeviceInfo &device, int resolutionIndex, int fps, Mode *mode, float *rate);

/// The rate of `rates` nearest to `fps` (0 = the highest), the lower on a tie.
float nearestRate(const std::vector<float> &rates, int fps);

/// Opens the first stereo camera found (`node` empty) or the given node.
/// Sets *error to ERROR_CODE_CAMERA_NOT_DETECTED when there is none (or it is
/// gone), ERROR_CODE_CAMERA_IN_USE when another program streams from it and
/// ERROR_CODE_LOW_USB_BANDWIDTH when it does not offer the resolution.
std::unique_ptr<FrameSource> open(const std::string &node, int resolutionIndex, int fps, ERROR_CODE *error);

} // namespace UvcCamera
} // namespace twl
