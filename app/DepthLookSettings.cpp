#include "app/DepthLookSettings.h"

#include "twl/palette/DepthColormap.h"

#include <QSettings>

namespace {
const char *const kGroup = "view";
const char *const kRanges[] = {"auto", "fixed"};
const char *const kCloudColours[] = {"image", "depth"};

int indexOf(const QString &value, const char *const (&names)[2]) {
    for (int i = 0; i < 2; ++i)
        if (value == names[i]) return i;
    return 0;
}
} // namespace

void DepthLookSettings::read(const QString &organisation, const QString &application) {
    QSettings settings(organisation, application);
    settings.beginGroup(kGroup);
    twl::Colormap map = twl::Colormap::Grey;
    twl::DepthColormap::fromName(settings.value("colormap").toString().toStdString(), &map);
    colormap = int(map);
    range = indexOf(settings.value("range").toString(), kRanges);
    cloudColours = indexOf(settings.value("cloudColours").toString(), kCloudColours);
    settings.endGroup();
}

void DepthLookSettings::write(const QString &organisation, const QString &application) const {
    QSettings settings(organisation, application);
    settings.beginGroup(kGroup);
    settings.setValue("colormap", QString(twl::DepthColormap::name(twl::DepthColormap::fromIndex(colormap))));
    settings.setValue("range", kRanges[range == 1 ? 1 : 0]);
    settings.setValue("cloudColours", kCloudColours[cloudColours == 1 ? 1 : 0]);
    settings.endGroup();
}
