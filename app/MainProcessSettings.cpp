// Stored settings: applied once at start-up, written when the window closes.
#include "app/MainProcess.h"
#include "common/GlobalParams.h"
#include "gui/GUI.h"
#include "twl/core/Types.h"

#include <QDir>
#include <QToolButton>

void MainProcess::applyLastSettings() {
    gui->resolutionIndex = ConfFileManager::resolutionIndexFromWidth(confFileManager.storedWidth);
    gui->fpsIndex = ConfFileManager::fpsIndexFromFps(confFileManager.storedFps);
    gui->keepFpsOnResolutionChange = true;
    const int quality =
        confFileManager.storedQuality == 0 ? int(twl::DEPTH_MODE_PERFORMANCE) : confFileManager.storedQuality;
    GlobalParams::setInt(PARAM_DEPTH_QUALITY, quality);
    switch (quality) {
    case twl::DEPTH_MODE_MEDIUM:
        gui->mediumButton->setChecked(true);
        break;
    case twl::DEPTH_MODE_QUALITY:
        gui->qualityButton->setChecked(true);
        break;
    case twl::DEPTH_MODE_ULTRA:
        gui->ultraButton->setChecked(true);
        break;
    default:
        gui->perfButton->setChecked(true);
        break;
    }
}

void MainProcess::saveSettings() {
    if (!gui) return;
    const int width = ConfFileManager::widthFromResolutionIndex(gui->resolutionIndex);
    const int fps = ConfFileManager::fpsFromFpsIndex(gui->fpsIndex);
    const std::string dir = saveDir->path().toStdString();
    const int quality = GlobalParams::getInt(PARAM_DEPTH_QUALITY);
    confFileManager.writeSettings(width, fps, quality, dir);
}
