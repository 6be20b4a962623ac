// The capture loop playing recordings: short files keep the recorded pace and a frame that cannot be decoded
// is stepped over.
#include "AppTestSupport.h"
#include "TestSupport.h"

#include <QSlider>
#include <QtTest>

#include <algorithm>
#include <memory>
#include <mutex>
#include <vector>

class TestPlayback : public QObject {
    Q_OBJECT

    std::mutex mutex;
    std::vector<int> shown; // positions announced, noted in the loop's thread

    InputThreadModul *start(const QString &path, QSlider *slider) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            shown.clear();
        }
        auto *t = new InputThreadModul;
        t->positionSlider = slider;
        if (t->openFile(path) != twl::SUCCESS) {
            delete t;
            return nullptr;
        }
        connect(t, &InputThreadModul::sendContext, t, [t] { t->enableToStart(true); });
        connect(
            t, &InputThreadModul::SendImage, t,
            [this, t] {
                std::lock_guard<std::mutex> lock(mutex);
                shown.push_back(t->camera.getTWVPosition());
            },
            Qt::DirectConnection);
        if (!t->initialize()) {
            delete t;
            return nullptr;
        }
        t->startCapture();
        return t;
    }
    std::vector<int> seen() {
        std::lock_guard<std::mutex> lock(mutex);
        return shown;
    }

private slots:
    void initTestCase() {
        GlobalParams::reset();
        GlobalParams::setInt(PARAM_TWV_STEP, 1);
        GlobalParams::setInt(PARAM_DEPTH_MAX, 15000);
        GlobalParams::setInt(PARAM_CONFIDENCE, 100);
    }

    void shortRecordingsKeepTheRecordedRate() {
        // Every pass of a one- or two-frame recording is a rewind; none may race.
        for (int frames : {1, 2}) {
            const QString path = TestSupport::dataDir() + QString("/short-%1.twv").arg(frames);
            QVERIFY(AppTest::makeRecording(path, frames, 320, 180, 10));
            QSlider slider(Qt::Horizontal);
            slider.setRange(0, frames - 1);
            std::unique_ptr<InputThreadModul> t(start(path, &slider));
            QVERIFY(t);
            QTest::qWait(2000);
            t.reset();
            const size_t count = seen().size();
            QVERIFY2(count >= 5 && count <= 25,
                     qPrintable(QString("%1 frames: %2 shown in 2 s at 10 fps").arg(frames).arg(count)));
        }
    }

    void undecodableFrameIsSteppedOver() {
        const QString path = TestSupport::dataDir() + "/playback-damaged.twv";
        QVERIFY(AppTest::makeRecording(path, 6, 320, 180, 50));
        QVERIFY(AppTest::damageFrames(path, {2}));

        QSlider slider(Qt::Horizontal);
        slider.setRange(0, 5);
        std::unique_ptr<InputThreadModul> t(start(path, &slider));
        QVERIFY(t);
        QList<int> skipped;
        QTRY_VERIFY_WITH_TIMEOUT((skipped << t->takeSkippedFrame(), seen().size() >= 12), 15000);
        t.reset();
        const std::vector<int> positions = seen();
        QCOMPARE(positions.front(), 0);
        QVERIFY(std::find(positions.begin(), positions.end(), 2) == positions.end());
        for (int p : {1, 3, 5})
            QVERIFY(std::find(positions.begin(), positions.end(), p) != positions.end());
        QVERIFY(std::count(positions.begin(), positions.end(), 0) >= 2); // and it still loops
        QVERIFY(skipped.contains(2));
    }
};

QTEST_MAIN(TestPlayback)
#include "test_playback.moc"
