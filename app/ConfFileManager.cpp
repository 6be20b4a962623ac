#include "app/ConfFileManager.h"

#include "twl/core/ModeTable.h"

#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>
#include <QStringList>

ConfFileManager::ConfFileManager()
    : organisationName("Tarnwell"), inputGroup("input"), widthKey("width"), fpsKey("fps"),
      qualityKey("quality"), dirGroup("dir"), saveKey("save") {}

QString ConfFileManager::defaultSaveDir() {
    const QStringList docs = QStandardPaths::standardLocations(QStandardPaths::DocumentsLocation);
    return (docs.isEmpty() ? QString() : docs.first()) + "/VEXO";
}

QString ConfFileManager::calibrationDir() const {
    const QSettings settings(organisationName, applicationName);
    return QFileInfo(settings.fileName()).absolutePath() + "/calibration";
}

void ConfFileManager::readSettings(const std::string &name) {
    applicationName = QString::fromStdString(name);
    QSettings settings(organisationName, applicationName);
    settings.beginGroup(inputGroup);
    storedWidth = settings.value(widthKey, 1280).toInt();
    storedFps = settings.value(fpsKey, 30).toInt();
    storedQuality = settings.value(qualityKey, 0).toInt();
    settings.endGroup();
    settings.beginGroup(dirGroup);
    storedSaveDir = settings.value(saveKey, defaultSaveDir()).toString().toStdString();
    settings.endGroup();
}

void ConfFileManager::writeSettings(int width, int fps, int quality, const std::string &saveDir) {
    QSettings settings(organisationName, applicationName);
    settings.beginGroup(inputGroup);
    settings.setValue(widthKey, width);
    settings.setValue(fpsKey, fps);
    settings.setValue(qualityKey, quality);
    settings.endGroup();
    settings.beginGroup(dirGroup);
    settings.setValue(saveKey, QString::fromStdString(saveDir));
    settings.endGroup();
}

// Settings files store a resolution as its picture width, VGA as the nominal
// 640 rather than the camera's 672 (both read back as VGA).
constexpr int kStoredVgaWidth = 640;

int ConfFileManager::resolutionIndexFromWidth(int width) {
    if (width == kStoredVgaWidth) return twl::RESOLUTION_VGA;
    const int index = width > 0 ? twl::resolutionIndexByWidth(size_t(width)) : -1;
    return index >= 0 ? index : int(twl::kDefaultResolution);
}

int ConfFileManager::widthFromResolutionIndex(int index) {
    if (index == twl::RESOLUTION_VGA) return kStoredVgaWidth;
    const twl::ResolutionMode *mode = twl::resolutionMode(index);
    return int((mode ? mode : twl::resolutionMode(twl::kDefaultResolution))->size.width);
}

int ConfFileManager::fpsIndexFromFps(int fps) {
    const int index = twl::frameRateIndex(fps);
    return index >= 0 ? index : 0;
}

int ConfFileManager::fpsFromFpsIndex(int index) {
    return index >= 0 && index < twl::kFrameRateCount ? twl::kFrameRates[index] : twl::kFrameRates[0];
}

int ConfFileManager::readRecordCodec() const {
    const QSettings settings(organisationName, applicationName);
    return settings.value("record/codec", "jpeg").toString() == "lossless" ? 1 : 0;
}

void ConfFileManager::writeRecordCodec(int codec) const {
    QSettings settings(organisationName, applicationName);
    settings.setValue("record/codec", codec == 1 ? "lossless" : "jpeg");
}
