// Recordings that cannot be played as they are: short of GPU memory, or cut short; never a dead end.
#include "AppTestSupport.h"
#include "twl/core/DeviceMemory.h"

#include <QSlider>
#include <QtTest>

class TestInputRecovery : public QObject {
    Q_OBJECT
public:
    MainProcess *app = nullptr;

private:
    QTemporaryDir scratch;
    const QString dir = scratch.path(), recording = dir + "/walk.twv";
    size_t deviceTotal = 0;
    GUI *gui() { return app->gui; }
    bool isPlaying(const QString &file) { return AppTest::isPlaying(app, file); }

private slots:
    void initTestCase() {
        QVERIFY(AppTest::makeRecording(recording, 20));
        size_t freeBytes = 0;
        twl::deviceMemGetInfo(&freeBytes, &deviceTotal);
    }
    void cleanup() { twl::deviceSetCapacity(deviceTotal); }

    void recordingTooBigForTheGpuMemory() {
        app->CreateTWVInput(recording);
        QTRY_VERIFY_WITH_TIMEOUT(isPlaying(recording), 8000);
        // A box may say why; its wording is not pinned here.
        AppTest::ModalCatcher catcher;
        twl::deviceSetCapacity(64 * 1024);
        app->CreateTWVInput(recording);
        QTRY_VERIFY_WITH_TIMEOUT(!app->busy, 5000);
        QVERIFY(!app->inputThread || !app->inputThread->isRunning());
        QCOMPARE(gui()->inputState, 0); // back to no input, not a playback without a session
        QVERIFY(app->statusTimer->isActive());
        QCOMPARE(gui()->cursor().shape(), Qt::ArrowCursor);
        // With the memory back the same recording plays.
        twl::deviceSetCapacity(deviceTotal);
        app->CreateTWVInput(recording);
        QTRY_VERIFY_WITH_TIMEOUT(isPlaying(recording), 8000);
    }

    void recordingCutShortPlaysWhatIsThereAndLoops() {
        const QString cut = dir + "/cut.twv";
        QVERIFY(AppTest::makeRecording(cut, 20));
        QVERIFY(QFile::resize(cut, QFileInfo(cut).size() * 6 / 10));
        app->CreateTWVInput(cut);
        QTRY_VERIFY_WITH_TIMEOUT(isPlaying(cut), 8000);
        QVERIFY(gui()->frameSlider->maximum() < 19);
        const int frames = gui()->frameCounter;
        QTRY_VERIFY_WITH_TIMEOUT(gui()->frameCounter > frames + 20, 8000); // more than it holds: it loops
        QVERIFY(isPlaying(cut));
    }
};

int main(int argc, char **argv) { // no camera: the status tick keeps looking for one
    return AppTest::runWithApplication<TestInputRecovery>(argc, argv, "recovery", false);
}

#include "test_input_recovery.moc"
