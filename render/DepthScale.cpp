#include "render/DepthScale.h"

#include <QColor>
#include <QFont>
#include <QFontMetrics>
#include <QImage>
#include <QPainter>

#include <cmath>

namespace {
double stepFor(const twl::DepthRange &range, int most) {
    const double span = double(range.farM) - double(range.nearM);
    const double rough = span / double(std::max(1, most - 1));
    const double power = std::pow(10.0, std::floor(std::log10(rough)));
    for (double factor : {1.0, 2.0, 5.0, 10.0})
        if (factor * power >= rough) return factor * power;
    return 10.0 * power;
}
} // namespace

std::vector<double> DepthScale::ticks(const twl::DepthRange &range, int most) {
    std::vector<double> out;
    if (!range.isValid() || most < 2) return out;
    double step = stepFor(range, most);
    // Too narrow a range for two round values of this step: halve it until they fit.
    for (int i = 0; i < 8; ++i) {
        out.clear();
        for (double t = std::ceil(double(range.nearM) / step - 1e-9) * step; t <= double(range.farM) + 1e-9;
             t += step)
            out.push_back(std::round(t / step) * step);
        if (out.size() >= 2) break;
        step /= 2.0;
    }
    if (out.size() < 2) out = {double(range.nearM), double(range.farM)};
    return out;
}

QString DepthScale::label(double metres, double step) {
    const int decimals = step >= 1.0 ? 0 : step >= 0.1 - 1e-9 ? 1 : 2;
    return QString::number(metres, 'f', decimals);
}

QRect DepthScale::rampRect(const QRect &picture) {
    const int h = std::max(20, picture.height() * 3 / 5);
    return QRect(picture.right() - 8 - 10, picture.top() + (picture.height() - h) / 2, 10, h);
}

void DepthScale::paint(QPainter &painter, const QRect &picture, const twl::DepthRange &range,
                       twl::Colormap map) {
    if (!range.isValid() || picture.width() < 80 || picture.height() < 60) return;
    const QRect ramp = rampRect(picture);
    const std::vector<double> marks = ticks(range);
    const double step = marks.size() >= 2 ? marks[1] - marks[0] : 1.0;
    QFont font = painter.font();
    font.setPointSize(8);
    painter.setFont(font);
    const QFontMetrics fm(font);
    int labelW = fm.horizontalAdvance(QStringLiteral("m"));
    for (double t : marks)
        labelW = std::max(labelW, fm.horizontalAdvance(label(t, step)));
    // A dark backing keeps the labels readable over any colour.
    const QRect panel(ramp.left() - labelW - 10, ramp.top() - fm.height() - 6, labelW + 10 + ramp.width() + 4,
                      ramp.height() + fm.height() + 6 + fm.height() / 2 + 2);
    painter.fillRect(panel, QColor(0, 0, 0, 150));

    // The ramp: level 255 (near) at the top down to 20 (far) at the bottom.
    const cv::Mat &table = twl::DepthColormap::table(map);
    QImage strip(1, ramp.height(), QImage::Format_RGB32);
    const twl::DepthRange unit{0.0f, 1.0f};
    for (int y = 0; y < ramp.height(); ++y) {
        const float z = ramp.height() > 1 ? float(y) / float(ramp.height() - 1) : 0.0f;
        const cv::Vec3b c = table.at<cv::Vec3b>(twl::DepthColormap::level(std::max(z, 1e-6f), unit));
        strip.setPixel(0, y, qRgb(c[2], c[1], c[0]));
    }
    painter.drawImage(ramp, strip);

    painter.setPen(QColor(235, 235, 235));
    const double span = double(range.farM - range.nearM);
    for (double t : marks) {
        const int y =
            ramp.top() + int(std::lround((t - double(range.nearM)) / span * double(ramp.height() - 1)));
        painter.drawLine(ramp.left() - 4, y, ramp.left() - 1, y);
        const QString text = label(t, step);
        painter.drawText(QRect(panel.left() + 2, y - fm.height() / 2, labelW + 2, fm.height()),
                         Qt::AlignRight | Qt::AlignVCenter, text);
    }
    painter.drawText(QRect(panel.left(), panel.top() + 2, panel.width(), fm.height()), Qt::AlignCenter,
                     QStringLiteral("m"));
}
