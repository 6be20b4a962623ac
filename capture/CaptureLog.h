#pragma once
// The capture layer's logging category, vantaro.capture: debug lines are off
// unless VANTARO_LOG=debug or Qt's own logging rules turn them on.

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcCapture)
