#include "gui/GuiLog.h"

Q_LOGGING_CATEGORY(lcGui, "vantaro.gui", QtInfoMsg)
