// Stored settings: applied once at start-up, written when the window closes.
#include "app/DepthLookSettings.h"
#include "app/MainProcess.h"
#include "common/GlobalParams.h"
#include "gui/GUI.h"
#include "twl/core/Types.h"

#include <QComboBox>
#include <QDir>
#include <QToolButton>

void MainProcess::applyDepthLook() {
    DepthLookSettings look;
    look.read(confFileManager.organisation(), confFileManager.application());
    // Through the window's controls, whose slots set the parameters.
    gui->colourCombo->setCurrentIndex(look.colormap);
    (look.range == 1 ? gui->fixedRangeButton : gui->autoRangeButton)->setChecked(true);
    (look.cloudColours == 1 ? gui->depthColourButton : gui->imageColourButton)->setChecked(true);
}

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
    DepthLookSettings look;
    look.colormap = GlobalParams::getInt(PARAM_DEPTH_COLORMAP);
    look.range = GlobalParams::getInt(PARAM_DEPTH_RANGE);
    look.cloudColours = GlobalParams::getInt(PARAM_CLOUD_COLORS);
    look.write(confFileManager.organisation(), confFileManager.application());
    confFileManager.writeRecordCodec(gui->recordCodecCombo->currentIndex());
}
