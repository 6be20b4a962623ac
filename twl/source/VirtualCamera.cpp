#include "twl/source/VirtualCamera.h"

#include "twl/core/ModeTable.h"
#include "twl/source/VirtualCameraSource.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace twl {
namespace VirtualCamera {

namespace {
std::atomic<bool> plugged{true};
std::atomic<uint32_t> firmware{1523};
constexpr uint32_t kSerialNumber = 26115523;

const char *environmentValue() {
    const char *value = std::getenv("VANTARO_VIRTUAL_CAMERA");
    return value ? value : "";
}
} // namespace

namespace detail {
std::mutex &stateMutex() {
    static std::mutex mutex;
    return mutex;
}
std::condition_variable &stateChanged() {
    static std::condition_variable condition;
    return condition;
}
} // namespace detail

bool isUsb2Only() {
    return std::strcmp(environmentValue(), "usb2") == 0;
}

bool isEnabled() {
    return std::strcmp(environmentValue(), "1") == 0 || isUsb2Only();
}

bool isAvailable() {
    return isEnabled() && plugged.load();
}

void unplug() {
    {
        std::lock_guard<std::mutex> lock(detail::stateMutex());
        plugged.store(false);
    }
    detail::stateChanged().notify_all();
}

void replug() {
    {
        std::lock_guard<std::mutex> lock(detail::stateMutex());
        plugged.store(true);
    }
    detail::stateChanged().notify_all();
}

bool isPlugged() {
    return plugged.load();
}

void setFirmwareVersion(uint32_t version) {
    firmware.store(version);
}
uint32_t firmwareVersion() {
    return firmware.load();
}
uint32_t serialNumber() {
    return kSerialNumber;
}

std::unique_ptr<FrameSource> open(int resolutionIndex, int fps, ERROR_CODE *error) {
    ERROR_CODE code = SUCCESS;
    if (!isAvailable())
        code = ERROR_CODE_CAMERA_NOT_DETECTED;
    else if (!resolutionMode(resolutionIndex))
        code = ERROR_CODE_INVALID_RESOLUTION;
    else if (isUsb2Only() && resolutionIndex != RESOLUTION_VGA)
        code = ERROR_CODE_LOW_USB_BANDWIDTH;
    if (error) *error = code;
    if (code != SUCCESS) return nullptr;
    if (fps <= 0)
        fps = nearestAllowedFrameRate(resolutionIndex, 1000);
    else if (!isFrameRateAllowed(resolutionIndex, fps))
        fps = nearestAllowedFrameRate(resolutionIndex, fps);
    return std::unique_ptr<FrameSource>(new VirtualCameraSource(resolutionIndex, fps));
}

} // namespace VirtualCamera
} // namespace twl
