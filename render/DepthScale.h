#pragma once
// The scale of the depth picture: its colour ramp from the near end (top) to
// the far end (bottom) of the picture's range, with metre ticks at round
// values, painted over the right-hand side of the picture.

#include "twl/palette/DepthColormap.h"
#include "twl/palette/DepthRange.h"

#include <QRect>
#include <QString>
#include <vector>

class QPainter;

class DepthScale {
public:
    /// Round depths (steps of 1, 2 or 5 times a power of ten) inside the
    /// range, at most `most` of them and at least two for any valid range.
    static std::vector<double> ticks(const twl::DepthRange &range, int most = 6);
    /// A tick's label: as many decimals as the step between ticks needs.
    static QString label(double metres, double step);
    /// Where the ramp goes inside a picture drawn at `picture` (widget pixels).
    static QRect rampRect(const QRect &picture);
    /// Paints ramp, ticks and labels over the picture.
    static void paint(QPainter &painter, const QRect &picture, const twl::DepthRange &range,
                      twl::Colormap map);
};
