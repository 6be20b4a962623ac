#include "twl/Types.h"

namespace twl {

Resolution resolutionSize(int resolutionIndex) {
    switch (resolutionIndex) {
    case RESOLUTION_HD2K:
        return Resolution(2208, 1242);
    case RESOLUTION_HD1080:
        return Resolution(1920, 1080);
    case RESOLUTION_HD720:
        return Resolution(1280, 720);
    case RESOLUTION_VGA:
        return Resolution(672, 376);
    default:
        return Resolution(0, 0);
    }
}

static const int kFrameRates[] = {15, 30, 60, 100};

bool isFrameRateAllowed(int resolutionIndex, int fps) {
    if (resolutionIndex < 0 || resolutionIndex > 3)
        return false;
    for (int i = 0; i <= resolutionIndex; ++i)
        if (kFrameRates[i] == fps)
            return true;
    return false;
}

int nearestAllowedFrameRate(int resolutionIndex, int fps) {
    if (resolutionIndex < 0 || resolutionIndex > 3)
        return kFrameRates[0];
    int best = kFrameRates[0];
    for (int i = 0; i <= resolutionIndex; ++i)
        if (kFrameRates[i] <= fps)
            best = kFrameRates[i];
    return best;
}

String toVerbose(const ERROR_CODE &code) {
    switch (code) {
    case SUCCESS:
        return "SUCCESS";
    case ERROR_CODE_FAILURE:
        return "UNEXPECTED FAILURE";
    case ERROR_CODE_INVALID_ARGUMENT:
        return "INVALID ARGUMENT";
    case ERROR_CODE_NOT_ENOUGH_DEVICE_MEMORY:
        return "NOT ENOUGH GPU MEMORY";
    case ERROR_CODE_CAMERA_NOT_DETECTED:
        return "CAMERA NOT DETECTED";
    case ERROR_CODE_CAMERA_NOT_OPENED:
        return "CAMERA NOT OPENED";
    case ERROR_CODE_INVALID_RESOLUTION:
        return "INVALID RESOLUTION";
    case ERROR_CODE_LOW_USB_BANDWIDTH:
        return "LOW USB BANDWIDTH FOR THIS RESOLUTION";
    case ERROR_CODE_FILE_NOT_FOUND:
        return "FILE NOT FOUND";
    case ERROR_CODE_NOT_A_RECORDING:
        return "NOT A TWV RECORDING";
    case ERROR_CODE_DAMAGED_RECORDING:
        return "DAMAGED RECORDING";
    case ERROR_CODE_END_OF_FILE:
        return "END OF RECORDING";
    case ERROR_CODE_UNSUPPORTED_VERSION:
        return "UNSUPPORTED RECORDING VERSION";
    case ERROR_CODE_WRITE_FAILED:
        return "CANNOT WRITE FILE";
    default:
        return "UNKNOWN ERROR";
    }
}

} // namespace twl
