#pragma once
// The monitor layer's logging category, vantaro.monitor. Unlike the other
// layers its debug lines are on by default: they say why the load line lacks
// the GPU figure (no NVIDIA management library), which users have always been
// shown. VANTARO_LOG=info or QT_LOGGING_RULES="vantaro.monitor.debug=false"
// hides them.

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcMonitor)
