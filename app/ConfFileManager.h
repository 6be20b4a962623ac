#pragma once
// The four values that survive a restart: camera resolution (stored as an
// image width), frame rate, depth quality and the snapshot directory.

#include <QObject>
#include <QString>

#include <string>

class ConfFileManager : public QObject {
public:
    ConfFileManager();

    /// Reads the stored values under `applicationName` (UTF-8); missing keys
    /// take their defaults, numbers that do not parse read as 0.
    void readSettings(const std::string &applicationName);
    /// Stores the four values under the application name of the last read.
    void writeSettings(int width, int fps, int quality, const std::string &saveDir);

    int storedWidth;
    int storedFps;
    int storedQuality;
    std::string storedSaveDir;

    /// Resolution index <-> stored width (VGA is stored as 640; unknown widths read as HD720).
    static int resolutionIndexFromWidth(int width);
    static int widthFromResolutionIndex(int index);
    /// Frame-rate index <-> frames per second (unknown values read as index 0, 15 fps).
    static int fpsIndexFromFps(int fps);
    static int fpsFromFpsIndex(int index);
    /// The directory used when none is stored: the first Documents location + "/VEXO".
    static QString defaultSaveDir();
    /// Where per-camera calibrations "<serial>.yml" are looked for: the folder
    /// "calibration" beside the settings file of the last read.
    QString calibrationDir() const;
    /// The names the settings are stored under (the application's after readSettings).
    QString organisation() const { return organisationName; }
    QString application() const { return applicationName; }
    /// The codec recordings are made with, 0 JPEG or 1 lossless, stored as
    /// "record/codec" "jpeg" or "lossless" (JPEG when absent or unknown).
    int readRecordCodec() const;
    void writeRecordCodec(int codec) const;

private:
    QString organisationName;
    QString applicationName;
    QString inputGroup;
    QString widthKey;
    QString fpsKey;
    QString qualityKey;
    QString dirGroup;
    QString saveKey;
};
