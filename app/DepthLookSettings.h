#pragma once
// How the depth picture looks, kept across restarts: the colour map, the
// range (auto or fixed) and the point cloud's colours, in the group "view" of
// the same settings as ConfFileManager's, by name so that the file reads plainly.

#include <QString>

class DepthLookSettings {
public:
    /// PARAM_DEPTH_COLORMAP, PARAM_DEPTH_RANGE and PARAM_CLOUD_COLORS values.
    int colormap = 0;
    int range = 0;
    int cloudColours = 0;

    /// Unknown or missing values read as the defaults (grey, auto, the image's colours).
    void read(const QString &organisation, const QString &application);
    void write(const QString &organisation, const QString &application) const;
};
