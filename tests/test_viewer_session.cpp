// What a user meets around a playback or camera session: idle cost, pace, frames, memory, messages.
#include "AppTestSupport.h"
#include "twl/core/DeviceMemory.h"
#include "twl/source/VirtualCamera.h"

#include <QSlider>
#include <QSpinBox>
#include <QtTest>

#include <ctime>

using AppTest::ModalCatcher;

class TestViewerSession : public QObject {
    Q_OBJECT
public:
    MainProcess *app = nullptr;

private:
    QTemporaryDir scratch;
    const QString dir = scratch.path();
    size_t capacity = 0;
    GUI *gui() { return app->gui; }
    QString status() { return gui()->statusLabel->text(); }
    bool isPlaying(const QString &file) { return AppTest::isPlaying(app, file); }
    QString recording(const QString &name, int frames, int width = 320, int height = 180, float fps = 20,
                      const QList<int> &damaged = {}) {
        const QString path = dir + "/" + name;
        if (!AppTest::makeRecording(path, frames, width, height, fps) ||
            (!damaged.isEmpty() && !TestSupport::damageFrames(path, damaged)))
            return QString();
        return path;
    }

private slots:
    void initTestCase() {
        size_t freeBytes = 0;
        twl::deviceMemGetInfo(&freeBytes, &capacity);
    }
    void cleanup() { // what a failed test changed must not reach the next one
        twl::VirtualCamera::replug();
        twl::deviceSetCapacity(capacity);
    }

    void pausedViewerCostsNothing() {
        const QString hd = recording("hd.twv", 3, 1280, 720, 15);
        app->CreateTWVInput(hd);
        QTRY_VERIFY_WITH_TIMEOUT(isPlaying(hd) && gui()->frameCounter > 3, 15000);
        gui()->pauseButton->click();
        QVERIFY(GlobalParams::getBool(PARAM_PAUSE));
        // The pass under way when the pause came and one of the paused frame may still finish, slowly.
        for (int settled = -1, i = 0; settled != gui()->frameCounter && i < 10; ++i) {
            settled = gui()->frameCounter;
            QTest::qWait(2000);
        }
        const int frames = gui()->frameCounter;
        const std::clock_t cpu = std::clock(); // all threads of the process
        QElapsedTimer wall;
        wall.start();
        QTest::qWait(3000);
        const double share = double(std::clock() - cpu) / CLOCKS_PER_SEC / (double(wall.elapsed()) / 1000.0);
        qInfo("paused HD720 playback: %.1f %% of one core", share * 100.0);
        QVERIFY2(share < 0.20, qPrintable(QString::number(share * 100.0)));
        QCOMPARE(gui()->frameCounter, frames);
        // A picture setting is computed once and shown.
        gui()->confidenceSlider->setValue(gui()->confidenceSlider->value() - 10);
        QTRY_VERIFY_WITH_TIMEOUT(gui()->frameCounter > frames, 3000);
        gui()->pauseButton->click();
        QVERIFY(!GlobalParams::getBool(PARAM_PAUSE));
    }

    void shortRecordingsReachEveryFrameAtTheirPace() {
        for (int frames : {1, 2}) {
            const QString path = recording(QString("short%1.twv").arg(frames), frames, 320, 180, 10);
            app->CreateTWVInput(path);
            QTRY_VERIFY_WITH_TIMEOUT(isPlaying(path), 8000);
            QVERIFY(gui()->frameSlider->minimum() == 0 && gui()->frameSlider->maximum() == frames - 1 &&
                    gui()->frameSpinBox->minimum() == 0 && gui()->frameSpinBox->maximum() == frames - 1);
            // Every pass is a rewind here; none may race ahead of 10 frames per second.
            const int before = gui()->frameCounter;
            QTest::qWait(2000);
            const int shown = gui()->frameCounter - before;
            QVERIFY2(shown >= 5 && shown <= 25, qPrintable(QString("%1 in 2 s").arg(shown)));
        }
        // A new playback starts at frame 0 wherever the last one was.
        const QString ten = recording("ten.twv", 10, 320, 180, 5);
        app->CreateTWVInput(ten);
        QTRY_VERIFY_WITH_TIMEOUT(isPlaying(ten), 8000);
        QCOMPARE(gui()->frameSlider->maximum(), 9);
        gui()->frameSlider->setValue(8);
        QList<int> values;
        connect(gui()->frameSlider, &QSlider::valueChanged, this, [&values](int v) { values << v; });
        app->CreateTWVInput(ten);
        QTRY_VERIFY_WITH_TIMEOUT(values.size() >= 2, 8000);
        disconnect(gui()->frameSlider, nullptr, this, nullptr);
        // The slider follows a few times a second, passing frames over; it starts from 0 and goes on
        // (on a busy machine a second or so later, still short of where the last playback was).
        QCOMPARE(values.first(), 0);
        QVERIFY2(values[1] > 0 && values[1] < 8, qPrintable(QString::number(values[1])));
    }

    void badFramesAreSkippedAndOnlyAnUnreadableRecordingEnds() {
        twl::VirtualCamera::unplug(); // the status tick would start the camera once playback ends
        const QString spotted = recording("spotted.twv", 8, 320, 180, 20, {3});
        app->CreateTWVInput(spotted);
        QTRY_VERIFY_WITH_TIMEOUT(status() == "FRAME 3 SKIPPED", 5000);
        QTest::qWait((MainProcess::kPlaybackStallSeconds + 1) * 1000);
        QVERIFY(isPlaying(spotted));
        const QString ruined = recording("ruined.twv", 4, 320, 180, 20, {0, 1, 2, 3});
        app->CreateTWVInput(ruined);
        QTRY_COMPARE_WITH_TIMEOUT(gui()->inputState, 0, (MainProcess::kPlaybackStallSeconds + 3) * 1000);
        QCOMPARE(status(), QString("DAMAGED RECORDING : ruined.twv"));
    }

    void outOfGpuMemoryIsNoDeadEnd() {
        const QString path = recording("memory.twv", 4);
        size_t freeBytes = 0, total = 0;
        twl::deviceMemGetInfo(&freeBytes, &total);
        // A recording says why it did not open.
        twl::VirtualCamera::unplug();
        twl::deviceSetCapacity(64 * 1024);
        app->CreateTWVInput(path);
        twl::deviceSetCapacity(total);
        QCOMPARE(status(), QString("NOT ENOUGH GPU MEMORY : memory.twv"));
        QTest::qWait(1500);
        QCOMPARE(status(), QString("NOT ENOUGH GPU MEMORY : memory.twv"));
        // The live camera, asked for from a playback: afterwards the resolution can be changed.
        twl::VirtualCamera::replug();
        app->CreateTWVInput(path);
        QTRY_VERIFY_WITH_TIMEOUT(isPlaying(path), 8000);
        ModalCatcher catcher;
        twl::deviceSetCapacity(64 * 1024);
        app->CreateLiveInput();
        twl::deviceSetCapacity(total);
        QCOMPARE(catcher.titles, QStringList() << "Error");
        QVERIFY2(catcher.texts.first().startsWith("Not enough GPU memory."),
                 qPrintable(catcher.texts.first()));
        QVERIFY(!app->busy && app->inputThread && !app->inputThread->opened && app->statusTimer->isActive());
        QCOMPARE(gui()->cursor().shape(), Qt::ArrowCursor);
        QVERIFY(gui()->resolutionCombo->isVisible() && gui()->resolutionCombo->isEnabled());
        QTest::qWait(2500); // the tick does not retry the same settings box after box
        QCOMPARE(catcher.titles.size(), 1);
        gui()->resolutionCombo->setCurrentIndex(gui()->resolutionCombo->currentIndex() == 3 ? 2 : 3);
        QTRY_VERIFY_WITH_TIMEOUT(app->inputThread && app->inputThread->isLive &&
                                     app->inputThread->isRunning() && status() == "LIVE",
                                 8000);
    }

    void teardownKeepsOtherQueuedCalls() {
        bool ran = false;
        QMetaObject::invokeMethod(
            app, [&ran] { ran = true; }, Qt::QueuedConnection);
        app->reset();
        QTRY_VERIFY_WITH_TIMEOUT(ran, 2000);
    }

    void commandLineFilesThatCannotPlay() {
        // A folder, an empty, a foreign, a missing file, another type: one line on standard error and in the
        // window each, and the viewer keeps running.
        QFile empty(dir + "/empty.twv"), foreign(dir + "/foreign.twv"), text(dir + "/notes.txt");
        for (QFile *file : {&empty, &foreign, &text}) {
            QVERIFY(file->open(QIODevice::WriteOnly));
            file->write(QByteArray(file == &empty ? 0 : 3000, 'x'));
            file->close();
        }
        QProcessEnvironment noCamera;
        noCamera.insert("VANTARO_VIRTUAL_CAMERA", "0");
        for (const QString &target :
             {dir, empty.fileName(), foreign.fileName(), dir + "/missing.twv", text.fileName()}) {
            const auto r = AppTest::runChild({target}, noCamera);
            QVERIFY2(r.errors.contains(QRegularExpression(
                         "(^|\n)vantaro: " + QRegularExpression::escape(target) + ": [^\n]+\n")),
                     qPrintable(r.errors));
            QCOMPARE(r.exitCode, 0);
            QCOMPARE(r.values.value("inputState"), QString("0"));
            QVERIFY2(r.values.value("status").contains(QFileInfo(target).fileName()),
                     qPrintable(r.values.value("status")));
            if (target == dir) QVERIFY(r.errors.contains(": is a directory\n"));
        }
    }
};

int main(int argc, char **argv) {
    return AppTest::runWithApplication<TestViewerSession>(argc, argv, "session", true);
}

#include "test_viewer_session.moc"
