// Recording from the viewer: the recorder under the window (its queue, drops, a disk that fills) and the
// record button through every way a recording ends; what is left always plays.
#include "AppTestSupport.h"
#include "app/RecordingControl.h"
#include "render/OGL3DWidget.h"
#include "twl/source/VirtualCamera.h"
#include "twl/twv/TwvReader.h"
#include "twl/twv/TwvRecorder.h"

#include <QRegularExpression>
#include <QtTest>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <sys/resource.h>

using AppTest::ModalCatcher;
using TestSupport::kSlow;
using twl::TwvRecorder;

namespace {

/// While one lives no file of this process grows past `bytes`: writes beyond fail as on a full disk.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &saved_);
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = saved_;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &saved_); }

private:
    rlimit saved_;
};

/// Frames of the recording at `path` when every one of them decodes, else -1.
int playableFrames(const QString &path, bool *recovered = nullptr) {
    twl::TwvReader reader;
    if (reader.open(path.toStdString()) != twl::SUCCESS) return -1;
    cv::Mat left, right;
    for (int i = 0; i < reader.frameCount(); ++i)
        if (reader.readFrame(i, left, right) != twl::SUCCESS) return -1;
    if (recovered) *recovered = reader.isRecovered();
    return reader.frameCount();
}

bool hasRed(const QImage &img) {
    return TestSupport::countNear(img, 231, 76, 60, 20) > 0;
}

constexpr uint64_t kPeriodNs = 1000000000ULL / 30;

/// Child mode: records the live camera with the lossless codec, then closes the window mid-recording; prints
/// the recording's path.
int recordThenClose(char **argv) {
    static int argc = 1;
    QStandardPaths::setTestModeEnabled(true);
    MainProcess app(argc, argv);
    app.gui->recordCodecCombo->setCurrentIndex(1);
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&app]() {
        RecordingControl *r = app.recordingControl;
        if (!r->isRecording() && app.inputThread && app.inputThread->isLive && app.inputThread->isRunning())
            app.ToggleRecording();
        if (r->isRecording() && r->recorder()->stats().written >= 5) {
            std::printf("path=%s\n", r->path().toUtf8().constData());
            std::fflush(stdout);
            app.gui->close();
        }
    });
    poll.start(50);
    QTimer::singleShot(60000 * kSlow, &app, [&app] { app.gui->close(); }); // never hang the parent
    return app.exec();
}

} // namespace

class TestRecording : public QObject {
    Q_OBJECT
public:
    MainProcess *app = nullptr;

private:
    QTemporaryDir scratch;
    const QString dir = scratch.path();
    GUI *gui() { return app->gui; }
    RecordingControl *recording() { return app->recordingControl; }
    bool isLive() {
        return app->inputThread && app->inputThread->isLive && app->inputThread->isRunning() && !app->busy &&
               gui()->inputState == 2;
    }
    /// Starts a recording of the live camera and waits for its first frames.
    QString recordFrames(int frames) {
        if (!QTest::qWaitFor([this] { return isLive(); }, 10000 * kSlow)) return QString();
        app->ToggleRecording();
        if (!recording()->isRecording() ||
            !QTest::qWaitFor([&] { return recording()->recorder()->stats().written >= frames; },
                             10000 * kSlow))
            return QString();
        return recording()->path();
    }

private slots:
    void initTestCase() {
        // VGA at 15 fps keeps the viewer light, under the race detector too.
        QTRY_VERIFY_WITH_TIMEOUT(isLive(), 10000 * kSlow);
        gui()->resolutionCombo->setCurrentIndex(twl::RESOLUTION_VGA);
        QTRY_VERIFY_WITH_TIMEOUT(isLive() && GlobalParams::getInt(PARAM_CAM_WIDTH) == 672, 10000 * kSlow);
        gui()->fpsCombo->setCurrentIndex(0);
    }
    void cleanup() {
        if (recording()->isRecording()) recording()->stop(RecordingControl::End::User);
    }

    void aFullQueueDropsAndCountsWhatItCannotTake() {
        const QString path = dir + "/burst.twv";
        const int w = 1280, h = 720;
        TwvRecorder recorder(size_t(3) * w * h * 3 * 2); // room for three pairs
        QCOMPARE(recorder.start(path.toStdString(), TestSupport::twvHeader(w, h), twl::TwvCodec::Jpeg),
                 twl::SUCCESS);
        QVERIFY(QFile::exists(path + ".partial") && !QFile::exists(path));
        cv::Mat left(h, w, CV_8UC4), right(h, w, CV_8UC4);
        cv::randu(left, 0, 255), cv::randu(right, 0, 255);
        // A burst far faster than noise compresses: most of it finds the queue full.
        int taken = 0;
        for (int i = 0; i < 40; ++i)
            taken += recorder.push(left, right, uint64_t(i + 1) * kPeriodNs) ? 1 : 0;
        QTRY_COMPARE_WITH_TIMEOUT(recorder.stats().queued, 0, 20000);
        QVERIFY(recorder.push(left, right, 41 * kPeriodNs)); // every drop now lies between two frames kept
        ++taken;
        const TwvRecorder::Stats s = recorder.stats();
        QCOMPARE(s.offered, int64_t(41));
        QCOMPARE(s.dropped, int64_t(41 - taken));
        QVERIFY2(s.dropped > 0 && s.missed == 0, qPrintable(QString::number(s.dropped)));
        QVERIFY(s.queueCapacity == 3 && s.queuePeak <= 3);
        const TwvRecorder::Result r = recorder.finish();
        QVERIFY(r.kept && r.error == twl::SUCCESS && r.path == path.toStdString());
        QCOMPARE(r.frames, taken);
        QVERIFY(!QFile::exists(path + ".partial"));
        QCOMPARE(playableFrames(path), taken);
        // Read back, the drops show in the timeline.
        const QString out = TestSupport::runTwv({"info", path}).out;
        QVERIFY2(out.contains(QString("gaps:          %1 frames").arg(s.dropped)), qPrintable(out));
    }

    void ctrlRRecordsAndTheRecordingPlaysBack() {
        QTRY_VERIFY_WITH_TIMEOUT(isLive(), 10000 * kSlow);
        QVERIFY(gui()->recordButton->isEnabled());
        QVERIFY(!hasRed(gui()->recordButton->grab().toImage()));
        // The window's shortcuts take keys only while it is active, and the window of a test
        // running beside this one on the same display may have taken that over since.
        auto press = [this](QWidget *to, Qt::Key key, Qt::KeyboardModifiers with = Qt::NoModifier) {
            if (!AppTest::activate(gui())) return false;
            QTest::keyClick(to, key, with);
            return true;
        };
        QVERIFY(press(gui(), Qt::Key_R, Qt::ControlModifier));
        QVERIFY(recording()->isRecording());
        QVERIFY(gui()->recordButton->isChecked() && hasRed(gui()->recordButton->grab().toImage()));
        // What would reopen the camera or change its rate waits, and says so.
        for (QWidget *held : std::initializer_list<QWidget *>{gui()->resolutionCombo, gui()->fpsCombo,
                                                              gui()->ultraButton, gui()->stabilizationCheck})
            QVERIFY(!held->isEnabled() && held->toolTip().startsWith("Stop the recording first"));
        const QString path = recording()->path();
        const QString serial = QString::number(twl::VirtualCamera::serialNumber());
        QVERIFY2(QFileInfo(path).fileName().contains(QRegularExpression(
                     "^Vantaro_REC_" + serial + "_376_\\d\\d-\\d\\d-\\d{4}-\\d\\d-\\d\\d-\\d\\d\\.twv$")),
                 qPrintable(path));
        QCOMPARE(QFileInfo(path).absolutePath(), QFileInfo(app->saveDir->path()).absoluteFilePath());
        QVERIFY(QFile::exists(path + ".partial") && !QFile::exists(path));
        // Once a second: time, size, frames, drops and the space left.
        const QRegularExpression line("^REC 00:00:0[1-9] · \\d+(\\.\\d)? [KMG]B · [\\d,]+ frames? · [\\d,]+ "
                                      "dropped · [\\d.]+ [KMGT]B free$");
        QTRY_VERIFY_WITH_TIMEOUT(line.match(gui()->recordLabel->text()).hasMatch(), 4000);
        // A paused picture does not pause the recording.
        QVERIFY(press(gui()->pointCloudView, Qt::Key_Space));
        QVERIFY(GlobalParams::getBool(PARAM_PAUSE));
        const int64_t before = recording()->recorder()->stats().written;
        QTRY_VERIFY_WITH_TIMEOUT(recording()->recorder()->stats().written > before + 5, 5000 * kSlow);
        QVERIFY(press(gui()->pointCloudView, Qt::Key_Space));
        QVERIFY(!GlobalParams::getBool(PARAM_PAUSE));

        QVERIFY(press(gui(), Qt::Key_R, Qt::ControlModifier));
        QVERIFY(!recording()->isRecording() && !gui()->recordButton->isChecked());
        QVERIFY(gui()->resolutionCombo->isEnabled() && gui()->ultraButton->isEnabled());
        QVERIFY(QFile::exists(path) && !QFile::exists(path + ".partial"));
        bool recovered = true;
        const int frames = playableFrames(path, &recovered);
        QVERIFY2(frames > 5 && !recovered,
                 qPrintable(QString::number(frames))); // at least what was waited for
        QVERIFY(gui()->recordLabel->text().contains(
            QRegularExpression(QString("^Saved %1 \\(%2 frames(, \\d+ dropped)?\\)$")
                                   .arg(QRegularExpression::escape(QFileInfo(path).fileName()))
                                   .arg(frames))));

        // The recording plays in the viewer at its rate, every frame of it.
        app->CreateTWVInput(path);
        QTRY_VERIFY_WITH_TIMEOUT(AppTest::isPlaying(app, path), 8000 * kSlow);
        QCOMPARE(app->inputThread->camera.getTWVNumberOfFrames(), frames);
        QCOMPARE(gui()->frameSlider->maximum(), frames - 1);
        QCOMPARE(gui()->fpsField->text(), QString("15fps"));
        QCOMPARE(gui()->resolutionField->text(), QString("VGA"));
        QVERIFY(!gui()->recordButton->isEnabled() &&
                gui()->recordButton->toolTip().contains("recorded file"));
        QVERIFY(press(gui(), Qt::Key_R, Qt::ControlModifier));
        QVERIFY(!recording()->isRecording());
        app->CreateLiveInput();
    }

    void aDiskThatFillsStopsTheRecordingOnceAndTheViewGoesOn() {
        ModalCatcher catcher;
        QString path;
        {
            FileSizeLimit limit(2 << 20);
            path = recordFrames(1);
            QVERIFY(!path.isEmpty());
            QTRY_VERIFY_WITH_TIMEOUT(!recording()->isRecording(), 30000 * kSlow);
            QTRY_COMPARE_WITH_TIMEOUT(catcher.titles.size(), 1, 5000);
        }
        QCOMPARE(catcher.titles.first(), QString("Warning"));
        const int frames = playableFrames(path);
        QVERIFY2(frames > 0 && catcher.texts.first().contains(
                                   QString("%1 frames were kept in %2").arg(frames).arg(path)),
                 qPrintable(catcher.texts.first()));
        QVERIFY(!QFile::exists(path + ".partial"));
        QVERIFY(gui()->recordLabel->text().startsWith("REC STOPPED"));
        const int shown = gui()->frameCounter;
        QTRY_VERIFY_WITH_TIMEOUT(gui()->frameCounter > shown + 5 && isLive(), 5000 * kSlow);
        QCOMPARE(catcher.titles.size(), 1);
    }

    void closingTheWindowMidRecordingFinalizesIt() {
        QProcess child;
        child.start(QCoreApplication::applicationFilePath(), {"--record-then-close"});
        QVERIFY(child.waitForFinished(60000 * kSlow));
        QCOMPARE(child.exitCode(), 0);
        const QString out = QString::fromUtf8(child.readAllStandardOutput());
        const QString path = QRegularExpression("path=(.*)\n").match(out).captured(1);
        QVERIFY2(!path.isEmpty(), qPrintable(out + child.readAllStandardError()));
        QVERIFY(QFile::exists(path) && !QFile::exists(path + ".partial"));
        bool recovered = true;
        QVERIFY(playableFrames(path, &recovered) >= 5 && !recovered);
        twl::TwvReader reader;
        QCOMPARE(reader.open(path.toStdString()), twl::SUCCESS);
        QCOMPARE(reader.header().codec, twl::TwvCodec::Lossless); // the codec row, stored for next time
        QCOMPARE(QSettings("Tarnwell", "Vantaro").value("record/codec").toString(), QString("lossless"));
    }
};

int main(int argc, char **argv) {
    if (argc > 1 && QByteArray(argv[1]) == "--record-then-close") return recordThenClose(argv);
    return AppTest::runWithApplication<TestRecording>(argc, argv, "recording", true);
}

#include "test_recording.moc"
