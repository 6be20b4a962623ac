#pragma once
// How depth becomes a picture a person can read: each depth within a range
// gets a level from 255 (nearest) down to 20 (farthest), and the level picks
// a colour from one of OpenCV's colour maps (or stays grey). Level 0, black,
// is kept for pixels without depth in every map, so that no depth never
// looks like the far end. The viewer's depth picture, the depth-coloured
// point cloud and `twv depth --colormap` all come from here.

#include "twl/palette/DepthRange.h"

#include <opencv2/core.hpp>

#include <algorithm>

#include <string>
#include <vector>

namespace twl {

enum class Colormap : int { Grey = 0, Turbo, Viridis, Inferno, Plasma, Jet };

/// What the depth picture looks like: the colour map and where its range comes from.
struct DepthLook {
    Colormap colormap = Colormap::Grey;
    /// Follow the depths in view; otherwise the fixed range below.
    bool autoRange = true;
    /// Fixed range in metres; 0 takes the nearest allowed depth or the maximum range.
    float nearM = 0.0f, farM = 0.0f;
    bool operator==(const DepthLook &o) const {
        return colormap == o.colormap && autoRange == o.autoRange && nearM == o.nearM && farM == o.farM;
    }
    bool operator!=(const DepthLook &o) const { return !(*this == o); }
};

class DepthColormap {
public:
    /// Levels of depth pixels: the nearest of the range, the farthest.
    static constexpr int kNearLevel = 255, kFarLevel = 20;
    static constexpr int kCount = 6;

    /// Lower-case name ("grey", "turbo", ...), and back; false for an unknown name.
    static const char *name(Colormap map);
    static bool fromName(const std::string &name, Colormap *map);
    /// The name as the window lists it ("Grey", "Turbo", ...).
    static const char *title(Colormap map);
    /// Maps past the end of the list read as Grey.
    static Colormap fromIndex(int index);

    /// The level of depth `z` (metres) in `range`: 255 at or nearer than its
    /// near end, 20 at or beyond its far end; 0 for no depth (NaN, 0, negative).
    static unsigned char level(float z, const DepthRange &range) {
        return level(z, range.nearM, scaleOf(range));
    }
    /// The same with the range's levels per metre worked out once.
    static unsigned char level(float z, float nearM, float scale) {
        if (!(z > 0.0f)) return 0;
        return (unsigned char)std::clamp(float(kNearLevel) - (z - nearM) * scale, float(kFarLevel),
                                         float(kNearLevel));
    }
    /// Levels per metre of `range`.
    static float scaleOf(const DepthRange &range) {
        const float span = range.farM - range.nearM;
        return span > 0.0f ? float(kNearLevel - kFarLevel) / span : 0.0f;
    }

    /// 256 colours (CV_8UC3, BGR), entry i being the map's colour of level i:
    /// OpenCV's applyColorMap of i, or grey i. Entry 0 is black in every map.
    static const cv::Mat &table(Colormap map);

    /// Paints `depth` (CV_32F metres, NaN or 0 for none) into `bgra` (CV_8UC4,
    /// its size; allocated when it has another): colour of each pixel's level.
    static void paint(const cv::Mat &depth, const DepthRange &range, Colormap map, cv::Mat &bgra);
    /// Rewrites the colour word of every point of `xyzrgba` (CV_32FC4, the camera
    /// looking along -Z) that has depth with the colour its depth has in the picture.
    static void colourPoints(cv::Mat &xyzrgba, const DepthRange &range, Colormap map);
};

} // namespace twl
