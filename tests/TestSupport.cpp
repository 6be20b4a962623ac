#include "TestSupport.h"

#include "common/GlobalParams.h"
#include "gui/GUI.h"
#include "twl/twv/TwvFormat.h"

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QMessageBox>
#include <QProcess>
#include <QSurfaceFormat>
#include <QTest>
#include <QTimer>

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
    const bool finished = p.waitForFinished(120000);
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
