#include "TestSupport.h"

#include "common/GlobalParams.h"
#include "gui/GUI.h"
#include "twl/TwvFormat.h"

#include <QComboBox>
#include <QDir>
#include <QSurfaceFormat>
#include <QTest>

namespace TestSupport {

QString dataDir() {
    QString dir = qEnvironmentVariable("VANTARO_TEST_DATA", QDir::tempPath() + "/vantaro-test-data");
    QDir().mkpath(dir);
    return dir;
}

QString twvTool() {
    return qEnvironmentVariable("VANTARO_TWV_TOOL", "twv");
}

bool near(QRgb c, int r, int g, int b, int tolerance) {
    return std::abs(qRed(c) - r) <= tolerance && std::abs(qGreen(c) - g) <= tolerance &&
           std::abs(qBlue(c) - b) <= tolerance;
}

QString describe(QRgb c) {
    return QString("(%1, %2, %3)").arg(qRed(c)).arg(qGreen(c)).arg(qBlue(c));
}

QStringList items(const QComboBox *c) {
    QStringList out;
    for (int i = 0; i < c->count(); ++i)
        out << c->itemText(i);
    return out;
}

std::unique_ptr<GUI> makeWindow(int w, int h, QPoint pos) {
    GlobalParams::reset();
    GlobalParams::setInt(PARAM_TWV_STEP, 1);
    GlobalParams::stringRef(PARAM_WINDOW_TITLE) = "Vantaro";
    auto gui = std::make_unique<GUI>();
    gui->buildInterface();
    gui->setGeometry(pos.x(), pos.y(), w, h);
    gui->show();
    if (!QTest::qWaitForWindowExposed(gui.get())) qWarning("window not exposed");
    return gui;
}

twl::TwvHeader twvHeader(int w, int h) {
    twl::TwvHeader hd;
    hd.width = uint32_t(w);
    hd.height = uint32_t(h);
    hd.fps = 30;
    hd.serialNumber = 123456;
    hd.firmwareVersion = 1523;
    hd.model = 2;
    hd.baseline = 0.12f;
    return hd;
}

void useAppSurfaceFormat() {
    QSurfaceFormat format;
    format.setSamples(4);
    format.setSwapBehavior(QSurfaceFormat::DoubleBuffer);
    QSurfaceFormat::setDefaultFormat(format);
}

} // namespace TestSupport
