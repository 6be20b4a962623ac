#include "render/FrameProbe.h"

#include "common/GlobalParams.h"
#include "render/FrameLock.h"
#include "twl/core/Mat.h"

#include <algorithm>
#include <cmath>

void FrameProbe::bind(const twl::Mat *points, const twl::Mat *confidence, QMutex *frameMutex) {
    points_ = points;
    confidence_ = confidence;
    frameMutex_ = frameMutex;
}

bool FrameProbe::pixelAt(double fx, double fy, int width, int height, int *col, int *row) {
    if (!(fx >= 0.0 && fx <= 1.0 && fy >= 0.0 && fy <= 1.0) || width <= 0 || height <= 0) return false;
    *col = std::min(width - 1, int(fx * double(width)));
    *row = std::min(height - 1, int(fy * double(height)));
    return true;
}

bool FrameProbe::isPicked(double fx, double fy, int width, int height) {
    int col = 0, row = 0;
    return fx != -1.0 && pixelAt(fx, fy, width, height, &col, &row) && col >= 1 && row >= 1;
}

FrameProbe::Sample FrameProbe::sample(double fx, double fy) const {
    Sample s;
    if (!points_ || !points_->getPtr<float>(twl::MEM_GPU)) return s;
    const int w = int(points_->getWidth()), h = int(points_->getHeight());
    if (!pixelAt(fx, fy, w, h, &s.col, &s.row)) return s;
    s.inside = true;
    twl::Vector4<float> p;
    float confidence = 0.0f;
    {
        FrameLock lock(frameMutex_);
        if (!lock.locked()) return s;
        points_->getValue(size_t(s.col), size_t(s.row), &p, twl::MEM_GPU);
        if (confidence_ && confidence_->getWidth() == size_t(w) && confidence_->getHeight() == size_t(h))
            confidence_->getValue(size_t(s.col), size_t(s.row), &confidence, twl::MEM_GPU);
    }
    if (!(p.z < 0.0f)) return s; // NaN compares false
    s.hasDepth = true;
    s.x = p.x;
    s.y = p.y;
    s.z = p.z;
    s.depth = -p.z;
    s.confidence = confidence;
    return s;
}

QString FrameProbe::describe(const Sample &s) {
    if (!s.inside) return QString();
    if (!s.hasDepth) return QStringLiteral("no depth");
    const auto m = [](float v) { return QString::number(double(v), 'f', 2); };
    return QStringLiteral("%1 m   X %2  Y %3  Z %4 m   confidence %5")
        .arg(m(s.depth), m(s.x), m(s.y), m(s.z))
        .arg(int(std::lround(double(s.confidence))));
}

FrameProbe::Measure FrameProbe::measure() const {
    Measure m;
    if (!points_) return m;
    const int w = int(points_->getWidth()), h = int(points_->getHeight());
    const double ax = GlobalParams::getDouble(PARAM_CLICK_X), ay = GlobalParams::getDouble(PARAM_CLICK_Y);
    const double bx = GlobalParams::getDouble(PARAM_CLICK2_X), by = GlobalParams::getDouble(PARAM_CLICK2_Y);
    m.first = isPicked(ax, ay, w, h);
    m.second = m.first && isPicked(bx, by, w, h);
    if (m.first) m.a = sample(ax, ay);
    if (m.second) m.b = sample(bx, by);
    if (m.second && m.a.hasDepth && m.b.hasDepth)
        m.length = std::sqrt((m.a.x - m.b.x) * (m.a.x - m.b.x) + (m.a.y - m.b.y) * (m.a.y - m.b.y) +
                             (m.a.z - m.b.z) * (m.a.z - m.b.z));
    return m;
}

QString FrameProbe::lengthText(float metres) {
    return QString::number(double(metres), 'f', 2) + QStringLiteral(" m");
}
