#include "app/ConfFileManager.h"

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

int ConfFileManager::resolutionIndexFromWidth(int width) {
    switch (width) {
    case 2208:
        return 0;
    case 1920:
        return 1;
    case 640:
    case 672:
        return 3;
    default:
        return 2;
    }
}

int ConfFileManager::widthFromResolutionIndex(int index) {
    switch (index) {
    case 0:
        return 2208;
    case 1:
        return 1920;
    case 3:
        return 640;
    default:
        return 1280;
    }
}

int ConfFileManager::fpsIndexFromFps(int fps) {
    switch (fps) {
    case 30:
        return 1;
    case 60:
        return 2;
    case 100:
        return 3;
    default:
        return 0;
    }
}

int ConfFileManager::fpsFromFpsIndex(int index) {
    switch (index) {
    case 1:
        return 30;
    case 2:
        return 60;
    case 3:
        return 100;
    default:
        return 15;
    }
}
