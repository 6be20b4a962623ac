#pragma once
// The image-control values a user chose, remembered per camera (by serial
// number) in the settings: group "cameras", one sub-group per serial, one
// key per control as v4l2-ctl names it ("cameras/17042/exposure_time_absolute").
// Only values the user changed are kept; each is written at once, so that
// nothing is lost when the viewer does not end normally.

#include <QString>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

class CameraControlSettings {
public:
    CameraControlSettings(const QString &organisation, const QString &application);

    std::vector<std::pair<std::string, int32_t>> values(quint32 serial) const;
    void store(quint32 serial, const QString &key, int value);
    /// Forgets every value of this camera ("Reset to defaults").
    void forget(quint32 serial);

private:
    QString group(quint32 serial) const;
    QString organisation_;
    QString application_;
};
