#include "monitor/MonitorLog.h"

Q_LOGGING_CATEGORY(lcMonitor, "vantaro.monitor", QtDebugMsg)
