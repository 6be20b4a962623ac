#include "capture/CaptureLog.h"

Q_LOGGING_CATEGORY(lcCapture, "vantaro.capture", QtInfoMsg)
