#include "render/RenderLog.h"

Q_LOGGING_CATEGORY(lcRender, "vantaro.render", QtInfoMsg)
