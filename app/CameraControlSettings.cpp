#include "app/CameraControlSettings.h"

#include <QSettings>
#include <QStringList>

CameraControlSettings::CameraControlSettings(const QString &organisation, const QString &application)
    : organisation_(organisation), application_(application) {}

QString CameraControlSettings::group(quint32 serial) const {
    return "cameras/" + QString::number(serial);
}

std::vector<std::pair<std::string, int32_t>> CameraControlSettings::values(quint32 serial) const {
    QSettings settings(organisation_, application_);
    settings.beginGroup(group(serial));
    std::vector<std::pair<std::string, int32_t>> values;
    for (const QString &key : settings.childKeys()) {
        bool number = false;
        const int value = settings.value(key).toInt(&number);
        if (number) values.emplace_back(key.toStdString(), value); // a hand-edited word is passed over
    }
    return values;
}

void CameraControlSettings::store(quint32 serial, const QString &key, int value) {
    QSettings settings(organisation_, application_);
    settings.setValue(group(serial) + "/" + key, value);
}

void CameraControlSettings::forget(quint32 serial) {
    QSettings settings(organisation_, application_);
    settings.remove(group(serial));
}
