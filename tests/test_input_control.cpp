// Input control: live start, camera loss, restarts, recordings by dialog and drop, pause, broken files, exit.
#include "AppTestSupport.h"
#include "gui/CameraControlsWindow.h"
#include "gui/LogoScreen.h"
#include "render/OGL3DWidget.h"
#include "twl/source/VirtualCamera.h"

#include <QPointer>
#include <QSlider>
#include <QtTest>

using AppTest::ModalCatcher;
using TestSupport::kSlow;

class TestInputControl : public QObject {
    Q_OBJECT
public:
    MainProcess *app = nullptr;

private:
    QTemporaryDir scratch;
    const QString dir = scratch.path(), recording = dir + "/walk.twv";
    uint32_t firmware = 0;
    GUI *gui() { return app->gui; }
    bool isLive() {
        return app->inputThread && app->inputThread->isLive && app->inputThread->isRunning() &&
               gui()->statusLabel->text() == "LIVE" && !app->busy;
    }
    bool isPlaying(const QString &file) { return AppTest::isPlaying(app, file); }
    // Types the name and accepts, as a user would: a selection made while the folder loads may not take.
    static bool chooseInDialog(QFileDialog *dialog, const QString &path) {
        auto *name = dialog->findChild<QLineEdit *>("fileNameEdit");
        if (!name) return false;
        name->setText(path);
        QMetaObject::invokeMethod(dialog, "accept");
        return true;
    }
    QString describe() { // for failure messages
        const InputThreadModul *t = app->inputThread;
        QString s;
        QDebug(&s) << "status" << gui()->statusLabel->text() << "state" << gui()->inputState << "busy"
                   << app->busy << "file, live, running" << (t && t->isFile) << (t && t->isLive)
                   << (t && t->isRunning()) << "path" << GlobalParams::stringRef(PARAM_TWV_PATH);
        return s;
    }
    // Runs `change` and waits for a new live session in place of the running one.
    void reopensLive(const std::function<void()> &change) {
        QPointer<InputThreadModul> before = app->inputThread;
        change();
        QTRY_VERIFY2_WITH_TIMEOUT(isLive() && before.isNull(), qPrintable(describe()), 8000 * kSlow);
    }
    void openRecording(const QString &file) {
        app->CreateTWVInput(file);
        QTRY_VERIFY2_WITH_TIMEOUT(isPlaying(file), qPrintable(describe()), 8000 * kSlow);
    }

private slots:
    void initTestCase() {
        QVERIFY(AppTest::makeRecording(recording, 30));
        firmware = twl::VirtualCamera::firmwareVersion();
    }
    // Put back even after a failure half-way: a later live start must not meet an old firmware.
    void cleanup() {
        twl::VirtualCamera::setFirmwareVersion(firmware);
        qputenv("VANTARO_VIRTUAL_CAMERA", "1");
        twl::VirtualCamera::replug();
    }

    void liveStartsWithoutAClick() {
        QTRY_VERIFY_WITH_TIMEOUT(isLive(), 8000 * kSlow);
        QVERIFY(gui()->liveButton->isEnabled() && !app->statusTimer->isActive() && app->inputOpened);
        QCOMPARE(gui()->idField->text(), QString("0"));
        QCOMPARE(gui()->serialField->text(), QString::number(twl::VirtualCamera::serialNumber()));
        QVERIFY(gui()->logoScreen->isHidden());
        const int frames = gui()->frameCounter;
        QTRY_VERIFY_WITH_TIMEOUT(gui()->frameCounter > frames + 3, 5000 * kSlow);
    }

    void restartsOnlyWhenTheSessionMustChange() {
        QTRY_VERIFY_WITH_TIMEOUT(isLive(), 8000 * kSlow);
        gui()->resolutionCombo->setCurrentIndex(2);
        QTRY_VERIFY_WITH_TIMEOUT(isLive(), 8000 * kSlow);
        // A resolution change opens a new session with the rate the window chose.
        reopensLive([this] { gui()->resolutionCombo->setCurrentIndex(3); });
        QCOMPARE(GlobalParams::getInt(PARAM_RESOLUTION), 3);
        QCOMPARE(GlobalParams::getInt(PARAM_CAMERA_FPS), 100);
        QCOMPARE(GlobalParams::getInt(PARAM_CAM_WIDTH), 672);
        // Depth mode and stabilisation reopen the camera.
        reopensLive([this] { gui()->mediumButton->click(); });
        reopensLive([this] { gui()->stabilizationCheck->click(); });
        reopensLive([this] { gui()->stabilizationCheck->click(); }); // and back
    }

    void slowLinkFallsBackToVga() {
        QTRY_VERIFY_WITH_TIMEOUT(isLive(), 8000 * kSlow);
        qputenv("VANTARO_VIRTUAL_CAMERA", "usb2");
        gui()->resolutionCombo->setCurrentIndex(1);
        QTRY_VERIFY_WITH_TIMEOUT(isLive(), 8000 * kSlow);
        QCOMPARE(gui()->resolutionCombo->currentIndex(), 3);
        QCOMPARE(GlobalParams::getInt(PARAM_CAM_WIDTH), 672);
    }

    void oldFirmwareWarns() {
        twl::VirtualCamera::setFirmwareVersion(1000);
        ModalCatcher catcher;
        app->CreateLiveInput();
        QTRY_VERIFY_WITH_TIMEOUT(isLive(), 8000 * kSlow);
        QCOMPARE(catcher.titles, QStringList() << "Warning");
        QVERIFY2(catcher.texts.first().contains("latest firmware"), qPrintable(catcher.texts.first()));
    }

    void recordingThroughTheDialog() {
        QList<QUrl> sideBar;
        auto catcher = std::make_unique<ModalCatcher>([&](QWidget *w) {
            auto *dialog = qobject_cast<QFileDialog *>(w);
            if (!dialog) return false;
            sideBar = dialog->sidebarUrls();
            return chooseInDialog(dialog, recording);
        });
        app->ChooseTWVFile();
        catcher.reset();
        QTRY_VERIFY_WITH_TIMEOUT(isPlaying(recording), 5000 * kSlow);
        QVERIFY(!sideBar.isEmpty() && sideBar.last() == QUrl::fromLocalFile("/media"));
        QCOMPARE(gui()->resolutionField->text(), QString("VGA"));
        QCOMPARE(gui()->fpsField->text(), QString("100fps"));
        QCOMPARE(gui()->serialField->text(), QString("4242"));
        QCOMPARE(gui()->idField->text(), QString("-"));
        QCOMPARE(app->saveDir->path(), dir); // snapshots go beside the recording
        QVERIFY(gui()->logoScreen->isHidden());
        // An upper-case extension is not taken from the dialog.
        const QString upper = dir + "/LOUD.TWV";
        QVERIFY(QFile::copy(recording, upper));
        QPointer<InputThreadModul> before = app->inputThread;
        ModalCatcher picker([&](QWidget *w) {
            auto *dialog = qobject_cast<QFileDialog *>(w);
            return dialog && chooseInDialog(dialog, upper);
        });
        app->ChooseTWVFile();
        QCOMPARE(app->inputThread, before.data());
        QVERIFY(isPlaying(recording));
    }

    void cameraLostWhileTheFileDialogIsOpen() {
        app->CreateLiveInput();
        QTRY_VERIFY_WITH_TIMEOUT(isLive(), 8000 * kSlow);
        // The cable goes while the dialog is up; the file is chosen once the window waits for a camera again.
        bool sawIdle = false;
        const QString noCamera =
            QString::fromUtf8(twl::toVerbose(twl::ERROR_CODE_CAMERA_NOT_DETECTED).c_str());
        ModalCatcher catcher([&](QWidget *w) {
            auto *dialog = qobject_cast<QFileDialog *>(w);
            if (!dialog) return false;
            if (twl::VirtualCamera::isPlugged()) {
                twl::VirtualCamera::unplug();
                return true;
            }
            if (gui()->inputState != 0 || gui()->statusLabel->text() != noCamera) return true;
            if (!app->inputThread) return true; // between two sessions
            sawIdle = !app->inputThread->isLive && !app->busy;
            return chooseInDialog(dialog, recording);
        });
        app->ChooseTWVFile();
        QTRY_VERIFY_WITH_TIMEOUT(isPlaying(recording), 8000 * kSlow);
        QVERIFY(sawIdle);
    }

    void recordingDroppedThenStopped() {
        const QString other = dir + "/other.twv";
        QVERIFY(AppTest::makeRecording(other, 12));
        emit gui()->sendTWVWork(other);
        QTRY_VERIFY_WITH_TIMEOUT(isPlaying(other), 5000 * kSlow);
        // A new depth mode reopens the same recording.
        QPointer<InputThreadModul> before = app->inputThread;
        gui()->ultraButton->click();
        QTRY_VERIFY_WITH_TIMEOUT(isPlaying(other), 5000 * kSlow);
        QVERIFY(before.isNull());     // the old session is gone
        twl::VirtualCamera::unplug(); // keep the idle state from turning live at once
        gui()->stopButton->click();
        QCOMPARE(gui()->statusLabel->text(), QString("OPENING"));
        QVERIFY(app->inputThread && !app->inputThread->opened && !app->inputThread->isFile);
        QVERIFY(app->statusTimer->isActive() && !app->inputOpened && !gui()->logoScreen->isHidden());
        twl::VirtualCamera::replug();
        QTRY_VERIFY_WITH_TIMEOUT(isLive(), 5000 * kSlow);
    }

    void pauseControls() {
        openRecording(recording);
        QVERIFY(AppTest::activate(gui()));
        QVERIFY(!GlobalParams::getBool(PARAM_PAUSE));
        QTest::keyClick(gui()->pointCloudView, Qt::Key_Space);
        QVERIFY(GlobalParams::getBool(PARAM_PAUSE) && gui()->pauseButton->isChecked());
        // A new session always starts unpaused.
        gui()->perfButton->click();
        QTRY_VERIFY_WITH_TIMEOUT(isPlaying(recording), 5000 * kSlow);
        QVERIFY(!GlobalParams::getBool(PARAM_PAUSE) && !gui()->pauseButton->isChecked());
    }

    void brokenRecordingsKeepTheViewerWaiting() {
        twl::VirtualCamera::unplug();
        // A folder, a missing file: the window says which and why, and waits for a camera.
        const QString notFound = QString::fromUtf8(twl::toVerbose(twl::ERROR_CODE_FILE_NOT_FOUND).c_str());
        for (const QString &target : {dir, dir + "/missing.twv"}) {
            emit gui()->sendTWVWork(target);
            QTRY_VERIFY_WITH_TIMEOUT(!app->busy, 3000);
            const QString status = gui()->statusLabel->text();
            QCOMPARE(gui()->inputState, 0);
            QVERIFY2(status.contains(QFileInfo(target).fileName()), qPrintable(status));
            QVERIFY(target != dir || status.startsWith("IS A DIRECTORY"));
            QVERIFY(!app->inputThread || !app->inputThread->opened);
            QVERIFY(app->statusTimer->isActive());
        }
        QVERIFY(gui()->statusLabel->text().contains(notFound));
        QTest::qWait(1500); // the message outlives the next camera poll
        QVERIFY(gui()->statusLabel->text().contains("missing.twv"));
        // Still usable afterwards.
        twl::VirtualCamera::replug();
        openRecording(recording);
    }

    void overlappingRequests() {
        // A drop arrives while the live camera is being opened: the newer request wins.
        QMetaObject::invokeMethod(
            this, [this]() { emit gui()->sendTWVWork(recording); }, Qt::QueuedConnection);
        app->CreateLiveInput();
        QTRY_VERIFY_WITH_TIMEOUT(isPlaying(recording), 5000 * kSlow);
        // A stop click while a recording is being opened.
        QMetaObject::invokeMethod(gui()->stopButton, "click", Qt::QueuedConnection);
        app->CreateTWVInput(recording);
        QTRY_VERIFY_WITH_TIMEOUT(isLive() || (!app->busy && app->statusTimer->isActive()), 5000 * kSlow);
        QVERIFY(!app->inputThread->isFile);
        // Then things go on as usual.
        QTRY_VERIFY_WITH_TIMEOUT(isLive(), 5000 * kSlow);
    }

    void shutdownWhileLive() {
        QProcessEnvironment env;
        env.insert("CHILD_WAIT_MS", QString::number(3500 * kSlow));
        env.insert("VANTARO_VIRTUAL_CAMERA", "1");
        const auto r = AppTest::runChild({}, env);
        QCOMPARE(r.values.value("status"), QString("LIVE"));
        QCOMPARE(r.values.value("storedBeforeThreadGone"), QString("1"));
        QCOMPARE(r.exitCode, 0);
    }
};

int main(int argc, char **argv) {
    return AppTest::runWithApplication<TestInputControl>(argc, argv, "input", true);
}

#include "test_input_control.moc"
