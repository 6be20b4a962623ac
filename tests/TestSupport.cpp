#include "TestSupport.h"

#include "capture/InputThreadModul.h"
#include "common/GlobalParams.h"
#include "gui/GUI.h"
#include "twl/twv/TwvFormat.h"

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QMessageBox>
#include <QProcess>
#include <QSurfaceFormat>
#include <QTest>
#include <QTimer>

#include <cmath>

namespace {

int expectedModals = 0;

void closeUnexpectedModal() {
    if (expectedModals > 0 || !qobject_cast<QApplication *>(QCoreApplication::instance())) return;
    QWidget *w = QApplication::activeModalWidget();
    if (!w) return;
    QString what = w->windowTitle();
    if (auto *box = qobject_cast<QMessageBox *>(w)) {
        what += ": " + box->text();
        box->done(0);
    } else if (auto *dialog = qobject_cast<QDialog *>(w)) {
        dialog->reject();
    } else {
        w->close();
    }
    const QByteArray message = ("unexpected modal box, closed: " + what).toUtf8();
    if (QTest::currentTestFunction())
        QTest::qFail(message.constData(), __FILE__, __LINE__);
    else
        qWarning("%s", message.constData());
}

// Every test program (and its child runs) watches for modal boxes from the
// moment its application object exists.
void startModalWatch() {
    auto *timer = new QTimer(QCoreApplication::instance());
    QObject::connect(timer, &QTimer::timeout, &closeUnexpectedModal);
    timer->start(250);
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(startModalWatch)

namespace TestSupport {

QString dataDir() {
    QString dir = qEnvironmentVariable("VANTARO_TEST_DATA", QDir::tempPath() + "/vantaro-test-data");
    QDir().mkpath(dir);
    return dir;
}

QString twvTool() {
    return qEnvironmentVariable("VANTARO_TWV_TOOL", "twv");
}

ToolRun runTwv(const QStringList &arguments, int limitKiB) {
    QProcess p;
    if (limitKiB > 0) // ulimit counts 512-byte blocks; SIGXFSZ ignored, the write fails instead
        p.start("sh",
                QStringList{"-c", QString("trap '' XFSZ; ulimit -f %1; exec \"$0\" \"$@\"").arg(limitKiB * 2),
                            twvTool()} +
                    arguments);
    else
        p.start(twvTool(), arguments);
    const bool finished = p.waitForFinished(120000 * kSlow);
    if (!finished) p.kill();
    return {finished && p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2,
            QString::fromUtf8(p.readAllStandardOutput()), QString::fromUtf8(p.readAllStandardError())};
}

bool near(QRgb c, int r, int g, int b, int tolerance) {
    return std::abs(qRed(c) - r) <= tolerance && std::abs(qGreen(c) - g) <= tolerance &&
           std::abs(qBlue(c) - b) <= tolerance;
}

QString describe(QRgb c) {
    return QString("(%1, %2, %3)").arg(qRed(c)).arg(qGreen(c)).arg(qBlue(c));
}

int countNear(const QImage &image, int r, int g, int b, int tolerance, QRect area) {
    int n = 0;
    area = area.isEmpty() ? image.rect() : area & image.rect();
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            n += near(image.pixel(x, y), r, g, b, tolerance);
    return n;
}

void fill(twl::Mat &m, int x0, int x1, int y0, int y1, uchar b, uchar g, uchar r) {
    for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x) {
            uchar *p =
                m.getPtr<uchar>(twl::MEM_GPU) + size_t(y) * m.getStepBytes(twl::MEM_GPU) + size_t(x) * 4;
            p[0] = b, p[1] = g, p[2] = r, p[3] = 255;
        }
}

cv::Mat frameCopy(InputThreadModul *t, const twl::Mat &device) {
    t->lockFrame();
    twl::Mat host;
    const twl::ERROR_CODE copied = device.copyTo(host, twl::MEM_GPU, twl::MEM_CPU);
    t->unlockFrame();
    if (copied != twl::SUCCESS) return cv::Mat();
    const int type = device.getDataType() == twl::MAT_TYPE_32F_C4 ? CV_32FC4 : CV_8UC4;
    return cv::Mat(int(host.getHeight()), int(host.getWidth()), type, host.getPtr<uchar>(twl::MEM_CPU),
                   host.getStepBytes(twl::MEM_CPU))
        .clone();
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
    hd.fx = hd.fy = float(w);
    hd.cx = w / 2.f;
    hd.cy = h / 2.f;
    hd.hFov = float(2 * std::atan(0.5) * 180 / M_PI);
    hd.vFov = float(2 * std::atan(h / (2.0 * w)) * 180 / M_PI);
    return hd;
}

bool damageFrames(const QString &path, const QList<int> &which) {
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite)) return false;
    QByteArray bytes = file.readAll();
    const QByteArray marker(reinterpret_cast<const char *>(twl::twv::kFrameMagic), 4);
    int at = -1;
    for (int frame = 0; (at = bytes.indexOf(marker, at + 1)) >= 0; ++frame)
        if (which.contains(frame))
            for (int i = 100; i < 400 && at + i < bytes.size(); ++i)
                bytes[at + i] = char(bytes[at + i] ^ 0x5a);
    return file.seek(0) && file.write(bytes) == bytes.size();
}

QByteArray readFile(const QString &path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

ExpectModal::ExpectModal() {
    ++expectedModals;
}

ExpectModal::~ExpectModal() {
    --expectedModals;
}

void useAppSurfaceFormat() {
    QSurfaceFormat format;
    format.setSamples(4);
    format.setSwapBehavior(QSurfaceFormat::DoubleBuffer);
    QSurfaceFormat::setDefaultFormat(format);
}

} // namespace TestSupport
