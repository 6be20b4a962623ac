#pragma once
// Helpers for the tests that drive the whole application object: private user folders, catching modal boxes,
// child runs of a test executable with its own MainProcess, and recordings with known pictures.

#include "TestSupport.h"
#include "app/MainProcess.h"
#include "capture/InputThreadModul.h"
#include "common/GlobalParams.h"
#include "gui/GUI.h"
#include "twl/twv/TwvFormat.h"
#include "twl/twv/TwvWriter.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>
#include <QToolButton>
#include <QtTest>

#include <opencv2/core.hpp>

#include <cstdio>
#include <functional>

namespace AppTest {

/// Points HOME and the XDG folders at `root`, away from the real user's; call before the application exists.
inline void isolateUserDirs(const QString &root) {
    QDir().mkpath(root);
    qputenv("HOME", root.toUtf8());
    qputenv("XDG_CONFIG_HOME", (root + "/.config").toUtf8());
    qputenv("XDG_DATA_HOME", (root + "/.local/share").toUtf8());
    qputenv("XDG_RUNTIME_DIR", (root + "/.runtime").toUtf8());
    QDir().mkpath(root + "/.runtime");
    QFile::setPermissions(root + "/.runtime",
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    QStandardPaths::setTestModeEnabled(true);
}

/// Closes every modal box or dialog that shows up, remembering title and text.
/// A handler may deal with a dialog itself (return true when it did).
class ModalCatcher : public QObject, TestSupport::ExpectModal {
public:
    explicit ModalCatcher(std::function<bool(QWidget *)> handler = nullptr) : handler_(std::move(handler)) {
        QObject::connect(&timer_, &QTimer::timeout, this, [this]() { poll(); });
        timer_.start(20);
    }
    QStringList titles;
    QStringList texts;

private:
    void poll() {
        QWidget *w = QApplication::activeModalWidget();
        if (!w)
            for (QWidget *top : QApplication::topLevelWidgets())
                if (top->isVisible() &&
                    (qobject_cast<QMessageBox *>(top) || qobject_cast<QFileDialog *>(top)))
                    w = top;
        if (!w) return;
        if (auto *box = qobject_cast<QMessageBox *>(w)) {
            titles << box->windowTitle();
            texts << box->text();
            box->done(0);
            return;
        }
        if (handler_ && handler_(w)) return;
        if (auto *dialog = qobject_cast<QDialog *>(w)) {
            titles << dialog->windowTitle();
            texts << QString();
            dialog->reject();
        }
    }
    QTimer timer_;
    std::function<bool(QWidget *)> handler_;
};

/// A loss-free recording with known pictures: in frame k the left picture's blue is (x + 10 k) % 256,
/// green y % 256, red 200; the right picture is the left one shifted left by 12 pixels.
inline bool makeRecording(const QString &path, int frames, int width = 672, int height = 376,
                          float fps = 100) {
    twl::TwvHeader header = TestSupport::twvHeader(width, height);
    header.fps = fps;
    header.serialNumber = 4242;
    header.firmwareVersion = 1200;
    header.model = 0;
    header.fx = header.fy = 350;
    header.hFov = 90;
    header.vFov = 60;
    twl::TwvWriter writer;
    if (writer.open(path.toStdString(), header, twl::TwvCodec::Lossless) != twl::SUCCESS) return false;
    for (int i = 0; i < frames; ++i) {
        cv::Mat left(height, width, CV_8UC4), right;
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x)
                left.at<cv::Vec4b>(y, x) = cv::Vec4b(uchar((x + i * 10) % 256), uchar(y % 256), 200, 255);
        cv::copyMakeBorder(left.colRange(12, width), right, 0, 0, 0, 12, cv::BORDER_REPLICATE);
        if (writer.writeFrame(left, right, uint64_t(i) * uint64_t(1e9 / fps)) != twl::SUCCESS) return false;
    }
    return writer.close() == twl::SUCCESS;
}

/// Child mode: `TEST --child ARGS...` builds a MainProcess from ARGS, prints its state as key=value lines
/// after CHILD_WAIT_MS (default 1500) and closes the window, exiting with the event loop's code; else -1.
inline int runChildIfAsked(int argc, char **argv) {
    if (argc < 2 || QByteArray(argv[1]) != "--child") return -1;
    static int childArgc = argc - 1;
    argv[1] = argv[0];
    QStandardPaths::setTestModeEnabled(true);
    MainProcess *app = new MainProcess(childArgc, argv + 1);
    const int wait =
        qEnvironmentVariableIsSet("CHILD_WAIT_MS") ? qEnvironmentVariableIntValue("CHILD_WAIT_MS") : 1500;
    QTimer::singleShot(wait, app, [app]() {
        GUI *g = app->gui;
        std::printf("resolutionIndex=%d\nfpsIndex=%d\nfpsCount=%d\ncameraFps=%d\nquality=%d\n",
                    g->resolutionIndex, g->fpsIndex, g->fpsCombo->count(),
                    GlobalParams::getInt(PARAM_CAMERA_FPS), GlobalParams::getInt(PARAM_DEPTH_QUALITY));
        std::printf("perfChecked=%d\nqualityChecked=%d\nuseLastSettings=%d\ninputState=%d\n",
                    int(g->perfButton->isChecked()), int(g->qualityButton->isChecked()),
                    int(app->useLastSettings), g->inputState);
        std::printf("colormap=%d\ncolourCombo=%d\ndepthRange=%d\nfixedChecked=%d\ncloudColours=%d\n",
                    GlobalParams::getInt(PARAM_DEPTH_COLORMAP), g->colourCombo->currentIndex(),
                    GlobalParams::getInt(PARAM_DEPTH_RANGE), int(g->fixedRangeButton->isChecked()),
                    GlobalParams::getInt(PARAM_CLOUD_COLORS));
        const auto utf8 = [](const QString &text) { return text.toUtf8(); };
        std::printf("saveDir=%s\nstatus=%s\nstatusText=%s\ncpuGpuLabel=%s\ntwvPath=%s\n",
                    utf8(app->saveDir->path()).constData(), utf8(g->statusLabel->text()).constData(),
                    utf8(GlobalParams::stringRef(PARAM_STATUS_TEXT)).constData(),
                    utf8(g->cpuGpuLabel->text()).constData(),
                    utf8(GlobalParams::stringRef(PARAM_TWV_PATH)).constData());
        std::fflush(stdout);
        if (app->inputThread) {
            // Record whether the settings were already stored when the capture thread goes.
            QObject::connect(app->inputThread, &QObject::destroyed, [app]() {
                QSettings settings("Tarnwell", "Vantaro");
                std::printf("storedBeforeThreadGone=%d\n", settings.contains("input/width") ? 1 : 0);
                std::fflush(stdout);
            });
        }
        g->close();
    });
    const int code = app->exec();
    delete app;
    return code;
}

/// Whether `app` plays `file` with nothing else under way.
inline bool isPlaying(MainProcess *app, const QString &file) {
    return app->inputThread && app->inputThread->isFile && app->inputThread->isRunning() && !app->busy &&
           app->gui->inputState == 3 && GlobalParams::stringRef(PARAM_TWV_PATH) == file;
}

/// Makes `window` the active window. Tests run two at a time on one display
/// with no window manager, where another test's window can take the focus
/// back while this one waits for it: ask again until it stays.
inline bool activate(QWidget *window, int timeoutMs = 10000) {
    QElapsedTimer clock;
    clock.start();
    do {
        window->activateWindow();
        if (QTest::qWaitForWindowActive(window, 500)) return true;
    } while (clock.elapsed() < timeoutMs);
    return false;
}

/// Runs this executable as a child with `args`; returns its "key=value" lines.
struct ChildResult {
    int exitCode = -1;
    QMap<QString, QString> values;
    QString errors;
};

inline ChildResult runChild(const QStringList &args,
                            const QProcessEnvironment &extra = QProcessEnvironment()) {
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(extra);
    process.setProcessEnvironment(env);
    process.start(QCoreApplication::applicationFilePath(), QStringList() << "--child" << args);
    ChildResult result;
    if (!process.waitForFinished(60000 * TestSupport::kSlow)) {
        process.kill();
        process.waitForFinished();
        result.errors = "child timed out";
        return result;
    }
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -2;
    for (const QString &line : QString::fromUtf8(process.readAllStandardOutput()).split('\n')) {
        const int eq = line.indexOf('=');
        if (eq > 0) result.values.insert(line.left(eq), line.mid(eq + 1));
    }
    result.errors = QString::fromUtf8(process.readAllStandardError());
    return result;
}

/// main() of a test that drives one application object, handed to the test as `app` and closed after the
/// tests; without `kMainProcess` a plain application object, for tests that only start child runs.
template <class Test, bool kMainProcess = true>
int runWithApplication(int argc, char **argv, const char *name, bool virtualCamera) {
    const int child = runChildIfAsked(argc, argv);
    if (child >= 0) return child;
    isolateUserDirs(QDir::tempPath() + "/vantaro-test-" + name + "-" +
                    QString::number(QCoreApplication::applicationPid()));
    if (virtualCamera)
        qputenv("VANTARO_VIRTUAL_CAMERA", "1");
    else
        qunsetenv("VANTARO_VIRTUAL_CAMERA");
    Test test;
    if constexpr (kMainProcess) {
        int appArgc = 1;
        MainProcess app(appArgc, argv);
        test.app = &app;
        const int status = QTest::qExec(&test, argc, argv);
        if (app.gui) app.gui->close(); // the way a user ends it: the session goes, the settings are stored
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        return status;
    } else {
        QApplication app(argc, argv);
        return QTest::qExec(&test, argc, argv);
    }
}

} // namespace AppTest
