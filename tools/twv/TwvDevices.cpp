#include "TwvDevices.h"

#include "TwvCommands.h"

#include "twl/core/ModeTable.h"
#include "twl/uvc/UvcCamera.h"

#include <linux/videodev2.h>

#include <cmath>
#include <cstdio>
#include <vector>

using namespace twl;

namespace {

std::string rateList(const std::vector<float> &rates) {
    if (rates.empty()) return "rates not listed";
    std::string text;
    for (float r : rates) {
        char one[32];
        std::snprintf(one, sizeof one, "%s%g", text.empty() ? "" : ", ", std::round(double(r) * 100) / 100);
        text += one;
    }
    return text + " fps";
}

} // namespace

int cmdDevices(int argc, char **) {
    if (argc > 2) {
        std::fputs("twv: devices takes no arguments (see twv --help)\n", stderr);
        return 2;
    }
    std::vector<std::string> problems;
    const std::vector<UvcCamera::DeviceInfo> devices = UvcCamera::scan(&problems);
    for (const std::string &p : problems)
        std::fprintf(stderr, "twv: devices: %s\n", p.c_str());
    if (devices.empty()) {
        std::puts("no stereo camera found");
        return 0;
    }
    for (const UvcCamera::DeviceInfo &d : devices) {
        std::printf("%s  %s\n", d.node.c_str(), d.card.c_str());
        std::printf("  serial:   %s (%u)\n", d.serialText.empty() ? "none" : d.serialText.c_str(),
                    d.serialNumber);
        // A generic UVC camera carries no firmware of the family (its
        // bcdDevice is only a USB release number).
        std::puts("  firmware: unknown");
        for (const UvcCamera::Mode &m : d.modes)
            std::printf("  %s  %6s  %zux%zu  %s\n", m.pixelFormat == V4L2_PIX_FMT_YUYV ? "YUYV" : "MJPG",
                        resolutionMode(m.resolutionIndex)->name, m.frameSize.width, m.frameSize.height,
                        rateList(m.rates).c_str());
    }
    return 0;
}

std::unique_ptr<FrameSource> openDeviceForRecording(const std::string &node, int resolutionIndex, int fps,
                                                    std::string *why) {
    ERROR_CODE error = SUCCESS;
    std::unique_ptr<FrameSource> camera = UvcCamera::open(node, resolutionIndex, fps, &error);
    if (camera) return camera;
    if (error == ERROR_CODE_LOW_USB_BANDWIDTH)
        *why = node + " does not stream " + resolutionMode(resolutionIndex)->name + " (see twv devices)";
    else if (error == ERROR_CODE_CAMERA_IN_USE)
        *why = node + ": camera in use by another program";
    else if (error == ERROR_CODE_CAMERA_NOT_DETECTED)
        *why = "no stereo camera at " + node + ", or it is busy or not readable (see twv devices)";
    else
        *why = node + ": " + toVerbose(error).str();
    return nullptr;
}
