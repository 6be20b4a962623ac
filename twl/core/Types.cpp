#include "twl/core/Types.h"

namespace twl {

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
    case ERROR_CODE_CAMERA_IN_USE:
        return "CAMERA IN USE BY ANOTHER PROGRAM";
    default:
        return "UNKNOWN ERROR";
    }
}

} // namespace twl
