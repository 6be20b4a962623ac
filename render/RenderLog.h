#pragma once
// The render layer's logging category, vantaro.render: debug lines are off
// unless VANTARO_LOG=debug or Qt's own logging rules turn them on.

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcRender)
