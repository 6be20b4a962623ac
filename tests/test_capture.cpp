// The capture thread on the virtual camera and a recording: frames, rate, steps, pauses, unplug, deletion.
#include "TestSupport.h"
#include "capture/InputThreadModul.h"
#include "common/GlobalParams.h"
#include "twl/core/DeviceMemory.h"
#include "twl/source/VirtualCamera.h"
#include "twl/twv/TwvWriter.h"

#include <QSlider>
#include <QtTest>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <memory>
#include <mutex>
#include <vector>

using namespace twl;

namespace {

// Instrumented builds grab many times slower: waits stretch by this factor.
constexpr int kSlow = TestSupport::kSlow > 1 ? 10 : 1;
// A deletion waits for at most the grab under way (seconds when instrumented).
constexpr int kDeleteLimitMs = kSlow > 1 ? 15000 : 500;
constexpr int kFrames = 20;

/// What the loop announced, noted in the worker thread right at SendImage().
struct Announcements {
    std::mutex mutex;
    std::vector<int> rates, positions;
    std::vector<uint64_t> timestamps;
    std::vector<qint64> times;
    QElapsedTimer clock;

    void attach(InputThreadModul *t) {
        clock.start();
        QObject::connect(
            t, &InputThreadModul::SendImage, t,
            [this, t] {
                std::lock_guard<std::mutex> lock(mutex);
                rates.push_back(GlobalParams::getInt(PARAM_DEPTH_FPS));
                positions.push_back(t->camera.getTWVPosition());
                timestamps.push_back(t->camera.getCameraTimestamp());
                times.push_back(clock.elapsed());
            },
            Qt::DirectConnection);
    }
    size_t count() {
        std::lock_guard<std::mutex> lock(mutex);
        return positions.size();
    }
    std::vector<int> positionsSince(size_t from) {
        std::lock_guard<std::mutex> lock(mutex);
        return std::vector<int>(positions.begin() + qMin(from, positions.size()), positions.end());
    }
    /// After a pause the pass under way and one of the paused frame may still come: waits until none does.
    void waitForRest() {
        for (size_t before = SIZE_MAX, i = 0; before != count() && i < 20; ++i) {
            before = count();
            QTest::qWait(500 * kSlow);
        }
    }
    int lastPosition() {
        std::lock_guard<std::mutex> lock(mutex);
        return positions.empty() ? -1 : positions.back();
    }
};

/// Counts a signal where the application receives it: queued, on the GUI thread.
class Tally : public QObject {
public:
    template <typename Signal> Tally(InputThreadModul *t, Signal signal) {
        connect(t, signal, this, [this] {
            ++count;
            onGuiThread = onGuiThread && QThread::currentThread() == thread();
        });
    }
    bool waitFor(int atLeast, int ms) {
        return QTest::qWaitFor([&] { return count >= atLeast; }, ms);
    }
    int count = 0;
    bool onGuiThread = true;
};

size_t nonZeroPixels(const cv::Mat &bgra) {
    cv::Mat grey;
    cv::cvtColor(bgra, grey, cv::COLOR_BGRA2GRAY);
    return size_t(cv::countNonZero(grey));
}

void deletePromptly(InputThreadModul *t) {
    QElapsedTimer clock;
    clock.start();
    delete t;
    QVERIFY2(clock.elapsed() < kDeleteLimitMs, qPrintable(QString::number(clock.elapsed())));
}

} // namespace

class TestCapture : public QObject {
    Q_OBJECT

    QString recording; // 20 frames, 10 ms apart
    std::unique_ptr<QSlider> slider;

    /// Opens the live camera (empty path) or a recording and starts it the way the window would.
    InputThreadModul *startSession(const QString &path, bool permit = true, QSlider *positions = nullptr,
                                   Announcements *notes = nullptr, bool start = true) {
        auto *t = new InputThreadModul;
        t->positionSlider = positions;
        const ERROR_CODE code = path.isEmpty() ? t->openCamera() : t->openFile(path);
        if (code != SUCCESS) qWarning("open failed: %s", toVerbose(code).c_str());
        if (permit) connect(t, &InputThreadModul::sendContext, t, [t] { t->enableToStart(true); });
        if (notes) notes->attach(t);
        if (code != SUCCESS || !t->initialize()) {
            delete t;
            return nullptr;
        }
        if (start) t->startCapture();
        return t;
    }

private slots:
    void initTestCase() {
        qputenv("VANTARO_VIRTUAL_CAMERA", "1");
        recording = TestSupport::dataDir() + "/capture-vga-20.twv";
        const TestSupport::ToolRun r =
            TestSupport::runTwv({"record", recording, "--virtual", "--resolution", "VGA", "--fps", "100",
                                 "--frames", QString::number(kFrames)});
        QVERIFY2(r.exitCode == 0, qPrintable(r.err));
    }

    void init() {
        VirtualCamera::replug();
        GlobalParams::reset(); // playing, the left image, standard sensing, step 1
        GlobalParams::setBool(PARAM_STABILIZER, true);
        GlobalParams::setInt(PARAM_RESOLUTION, RESOLUTION_VGA);
        GlobalParams::setInt(PARAM_CAMERA_FPS, 100);
        GlobalParams::setInt(PARAM_DEPTH_QUALITY, DEPTH_MODE_PERFORMANCE);
        GlobalParams::setInt(PARAM_DEPTH_MAX, 15000);
        GlobalParams::setInt(PARAM_CONFIDENCE, 100);
        GlobalParams::setInt(PARAM_DEPTH_VIEW, VIEW_DEPTH);
        slider = std::make_unique<QSlider>(Qt::Horizontal);
        slider->setRange(0, kFrames - 1);
    }

    void cleanup() {
        VirtualCamera::replug();
        slider.reset();
    }

    void setUpHandsTheViewsMatricesThatExist() {
        InputThreadModul t;
        QVERIFY(!t.initialize()); // nothing open
        QCOMPARE(t.openCamera(), SUCCESS);
        // Each view binds what it is handed right away: the device matrices must exist by then.
        int handed = 0;
        connect(&t, &InputThreadModul::sendContext, [&] {
            handed += t.imageGPU.getPtr<uchar>(MEM_GPU) && t.depthViewGPU.getPtr<uchar>(MEM_GPU);
            t.enableToStart(true);
        });
        connect(&t, &InputThreadModul::sendInit3D,
                [&](int *p) { handed += reinterpret_cast<Mat *>(p)->getPtr<uchar>(MEM_GPU) != nullptr; });
        connect(&t, &InputThreadModul::sendVEXOParam,
                [&](int *p) { handed += reinterpret_cast<CameraInformation *>(p) == &t.cameraInfo; });
        QVERIFY(t.initialize());
        QCOMPARE(handed, 3);
        QVERIFY(t.startAllowed && GlobalParams::getDouble(PARAM_DEPTH_MIN) > 0.0);
    }

    void liveFramesReachTheMatricesAndTheRateIsPublished() {
        Announcements notes;
        std::unique_ptr<InputThreadModul> t(startSession(QString(), true, nullptr, &notes));
        QVERIFY(t);
        Tally frames(t.get(), &InputThreadModul::SendImage);
        QVERIFY(frames.waitFor(1, 5000 * kSlow));
        QVERIFY(frames.onGuiThread);
        QTRY_VERIFY_WITH_TIMEOUT(t->running, 5000 * kSlow);
        const cv::Mat image = TestSupport::frameCopy(t.get(), t->imageGPU);
        QVERIFY(nonZeroPixels(image) > image.total() / 2);
        const cv::Mat depth = TestSupport::frameCopy(t.get(), t->depthViewGPU);
        QVERIFY(nonZeroPixels(depth) > depth.total() / 10);
        cv::Mat z; // points in front of the camera (NaN compares false)
        cv::extractChannel(TestSupport::frameCopy(t.get(), t->pointCloudGPU), z, 2);
        QVERIFY(cv::countNonZero(z < 0) > int(z.total() / 10));
        // Run past two full counting periods.
        QTRY_VERIFY_WITH_TIMEOUT(notes.clock.elapsed() > 3200 * kSlow, 5000 * kSlow);
        t.reset();
        if (kSlow > 1) return; // the rate rule needs frames at their normal pace
        std::lock_guard<std::mutex> lock(notes.mutex);
        QVERIFY(notes.rates.size() >= 4);
        const int settled = notes.rates.back();
        int counted = 0;
        for (qint64 when : notes.times)
            counted += when > notes.times.back() - 1000;
        QVERIFY2(settled > 0 && std::abs(settled - counted) <= qMax(3, counted / 3),
                 qPrintable(QStringLiteral("published %1, counted %2").arg(settled).arg(counted)));
    }

    void sideBySideIsScaledIntoTheImage() {
        slider->setValue(5);
        GlobalParams::setBool(PARAM_PAUSE, true);
        std::unique_ptr<InputThreadModul> t(startSession(recording, true, slider.get()));
        QVERIFY(t);
        Tally frames(t.get(), &InputThreadModul::SendImage);
        QVERIFY(frames.waitFor(1, 5000 * kSlow));
        const cv::Mat left = TestSupport::frameCopy(t.get(), t->imageGPU);
        // Paused, the loop computes the picture again once the view changes.
        GlobalParams::setInt(PARAM_IMAGE_VIEW, VIEW_SIDE_BY_SIDE);
        frames.count = 0;
        QVERIFY(frames.waitFor(1, 5000 * kSlow));
        const cv::Mat sbs = TestSupport::frameCopy(t.get(), t->imageGPU);
        t.reset();
        QCOMPARE(sbs.cols, 672);
        cv::Mat expected;
        cv::resize(left, expected, cv::Size(336, 376), 0, 0, cv::INTER_LINEAR);
        const cv::Scalar diff = cv::mean(cv::abs(sbs(cv::Rect(0, 0, 336, 376)) - expected));
        QVERIFY2(diff[0] < 4 && diff[1] < 4 && diff[2] < 4, qPrintable(QString::number(diff[0])));
        QVERIFY(nonZeroPixels(sbs(cv::Rect(336, 0, 336, 376))) > 336 * 376 / 2);
    }

    void controlChangesGoInBetweenFramesAndComeBackAnnounced() {
        std::unique_ptr<InputThreadModul> t(startSession(QString(), true, nullptr, nullptr, false));
        QVERIFY(t);
        const std::vector<CameraControl> controls = t->cameraControls();
        const CameraControl *exposure = findControl(controls, "exposure_time_absolute");
        QVERIFY(exposure && exposure->value == 100);
        Tally changed(t.get(), &InputThreadModul::controlsChanged);
        QList<int> taken, refusals;
        connect(t.get(), &InputThreadModul::controlTaken, this,
                [&taken](const QString &, int v) { taken << v; });
        connect(t.get(), &InputThreadModul::controlRefused, this,
                [&refusals](const QString &, int e) { refusals << e; });
        // A burst that arrives before the loop next looks (here, before it starts, so that no
        // frame in between can take part of it): only the newest value of a control is applied.
        for (int v = 20; v <= 40; v += 10)
            t->requestControl(exposure->id, v);
        t->requestControl(0xdead, 1); // no such control
        t->startCapture();
        QVERIFY(changed.waitFor(1, 5000 * kSlow) && changed.onGuiThread);
        QVERIFY(taken == QList<int>({40}) && refusals == QList<int>({EINVAL}));
        QCOMPARE(findControl(t->cameraControls(), "exposure_time_absolute")->value, 40);
        // And while frames run.
        t->requestControl(exposure->id, 50);
        QTRY_VERIFY_WITH_TIMEOUT(taken.contains(50), 5000 * kSlow);
        QCOMPARE(findControl(t->cameraControls(), "exposure_time_absolute")->value, 50);
    }

    void filePlaybackStepsAndLoops() {
        QList<int> sliderValues;
        connect(slider.get(), &QSlider::valueChanged, [&](int v) { sliderValues << v; });
        Announcements notes;
        std::unique_ptr<InputThreadModul> t(startSession(recording, true, slider.get(), &notes));
        QVERIFY(t);
        QCOMPARE(t->lastFrameIndex, kFrames - 1);
        // Step 1: every frame in turn, then back to the first.
        QTRY_VERIFY_WITH_TIMEOUT(notes.count() > size_t(kFrames + 2), 20000 * kSlow);
        std::vector<int> seen = notes.positionsSince(0);
        QCOMPARE(seen[0], 0);
        for (size_t i = 1; i < seen.size(); ++i)
            QVERIFY2(seen[i] == seen[i - 1] + 1 || (seen[i - 1] == kFrames - 1 && seen[i] == 0),
                     qPrintable(QStringLiteral("%1 -> %2").arg(seen[i - 1]).arg(seen[i])));
        // A step that does not divide the length: clamped to the last frame, then looped.
        const int step = 3;
        GlobalParams::setInt(PARAM_TWV_STEP, step);
        const size_t from = notes.count() + 2; // let the change settle
        sliderValues.clear();
        QTRY_VERIFY_WITH_TIMEOUT(notes.count() > from + size_t(2 * kFrames / step + 2), 20000 * kSlow);
        seen = notes.positionsSince(from);
        int jumps = 0;
        for (size_t i = 1; i < seen.size(); ++i) {
            const bool advanced = seen[i] == seen[i - 1] + step;
            const bool looped = seen[i] == 0 && seen[i - 1] + step > kFrames - 2;
            const bool clampedToLast = seen[i] == kFrames - 1 && seen[i - 1] + step > kFrames - 1;
            QVERIFY2(advanced || looped || clampedToLast,
                     qPrintable(QStringLiteral("%1 -> %2").arg(seen[i - 1]).arg(seen[i])));
            jumps += advanced;
        }
        QVERIFY(jumps > 2);
        QVERIFY(sliderValues.contains(2 * step)); // the slider moves by the same steps
    }

    void pausedFileFollowsTheSliderAndStaysOnTheLastFrame() {
        Announcements notes;
        std::unique_ptr<InputThreadModul> t(startSession(recording, true, slider.get(), &notes));
        QVERIFY(t);
        QTRY_VERIFY_WITH_TIMEOUT(notes.count() > 3, 5000 * kSlow);
        GlobalParams::setBool(PARAM_PAUSE, true);
        notes.waitForRest();
        // The slider settles on the frame shown.
        QTRY_COMPARE_WITH_TIMEOUT(slider->value(), notes.lastPosition(), 5000 * kSlow);
        slider->setValue(7); // the user drags the slider
        QTRY_COMPARE_WITH_TIMEOUT(notes.lastPosition(), 7, 5000 * kSlow);
        slider->setValue(kFrames - 1);
        QTRY_COMPARE_WITH_TIMEOUT(notes.lastPosition(), kFrames - 1, 5000 * kSlow);
        // Playing again from the last frame starts over.
        size_t from = notes.count();
        GlobalParams::setBool(PARAM_PAUSE, false);
        QTRY_VERIFY_WITH_TIMEOUT(notes.positionsSince(from).size() > 3, 5000 * kSlow);
        std::vector<int> seen = notes.positionsSince(from);
        const auto restart = std::find(seen.begin(), seen.end(), 0);
        QVERIFY(restart != seen.end() && restart - seen.begin() <= 2);
        QVERIFY(std::all_of(seen.begin(), restart, [](int p) { return p == kFrames - 1; }));
        // Dragging while playing seeks there.
        slider->setValue(12);
        from = notes.count();
        QTRY_VERIFY_WITH_TIMEOUT(notes.positionsSince(from).size() > 2, 5000 * kSlow);
        seen = notes.positionsSince(from); // the pass under way may still show the old place
        QVERIFY(std::any_of(seen.begin(), seen.begin() + 3, [](int p) { return p == 13; }));
    }

    void filePlaybackFollowsTheRecordedTimes() {
        if (kSlow > 1) QSKIP("timing check: instrumented matching is slower than the recorded pace");
        // Frames a quarter second apart, a gap of 12 s after frame 3 and one of 1.5 s after frame 6.
        const QString path = TestSupport::dataDir() + "/capture-paced.twv";
        const uint64_t stamps[10] = {0, 250, 500, 750, 12750, 13000, 13250, 14750, 15000, 15250};
        TwvHeader header = TestSupport::twvHeader(320, 180);
        header.fps = 4;
        TwvWriter writer;
        QCOMPARE(writer.open(path.toStdString(), header, TwvCodec::Lossless), SUCCESS);
        cv::Mat texture(180, 360, CV_8UC4);
        cv::randu(texture, 0, 255);
        for (const uint64_t stamp : stamps)
            QCOMPARE(writer.writeFrame(texture(cv::Rect(20, 0, 320, 180)), texture(cv::Rect(0, 0, 320, 180)),
                                       (1000 + stamp) * 1000000),
                     SUCCESS);
        QCOMPARE(writer.close(), SUCCESS);
        Announcements notes;
        std::unique_ptr<InputThreadModul> t(startSession(path, true, slider.get(), &notes));
        QVERIFY(t);
        QTRY_VERIFY_WITH_TIMEOUT(notes.count() >= 22, 15000 * kSlow);
        t.reset();
        // Shortest gap seen before each frame, over the loops played.
        std::lock_guard<std::mutex> lock(notes.mutex);
        std::vector<qint64> before(10, -1);
        for (size_t i = 1; i < notes.times.size(); ++i) {
            const size_t p = size_t(notes.positions[i]);
            if (p > 0 && notes.positions[i - 1] == int(p) - 1) {
                const qint64 gap = notes.times[i] - notes.times[i - 1];
                before[p] = before[p] < 0 ? gap : qMin(before[p], gap);
            }
        }
        // Gaps of 10 s or more (before 4), or waits of 1 s or more (before 7), are not waited for.
        for (size_t p = 1; p < 10; ++p)
            QVERIFY2(before[p] >= 200 && before[p] < 600,
                     qPrintable(QStringLiteral("frame %1 after %2 ms").arg(p).arg(before[p])));
    }

    void pausedLiveCameraServesSavesOnlyAfterAGrabThenRests() {
        // Paused before the first grab: nothing to show, nothing to save.
        GlobalParams::setBool(PARAM_PAUSE, true);
        Announcements notes;
        std::unique_ptr<InputThreadModul> t(startSession(QString(), true, nullptr, &notes));
        QVERIFY(t);
        Tally frames(t.get(), &InputThreadModul::SendImage);
        t->saveRequest[0] = true;
        QVERIFY(!frames.waitFor(1, 400 * kSlow));
        QVERIFY(t->saveRequest[0]);
        GlobalParams::setBool(PARAM_PAUSE, false);
        QTRY_VERIFY_WITH_TIMEOUT(!t->saveRequest[0], 5000 * kSlow);
        QTRY_VERIFY_WITH_TIMEOUT(notes.count() > 2, 5000 * kSlow);
        GlobalParams::setBool(PARAM_PAUSE, true);
        notes.waitForRest();
        size_t from = notes.count();
        QTest::qWait(300 * kSlow);
        QCOMPARE(notes.count(), from); // nothing changes, nothing is computed
        from = notes.count() - 1;
        GlobalParams::setInt(PARAM_DEPTH_MAX, 9000);
        QTRY_VERIFY_WITH_TIMEOUT(notes.count() >= from + 2, 5000 * kSlow);
        GlobalParams::setInt(PARAM_CONFIDENCE, 80);
        QTRY_VERIFY_WITH_TIMEOUT(notes.count() >= from + 3, 5000 * kSlow);
        std::lock_guard<std::mutex> lock(notes.mutex); // the same frame, computed again
        QVERIFY(std::all_of(notes.timestamps.begin() + long(from), notes.timestamps.end(),
                            [&](uint64_t s) { return s == notes.timestamps[from]; }));
    }

    void unplugEndsTheSession() {
        std::unique_ptr<InputThreadModul> t(startSession(QString()));
        QVERIFY(t);
        Tally frames(t.get(), &InputThreadModul::SendImage);
        Tally lost(t.get(), &InputThreadModul::DetectVEXODisconnect);
        QVERIFY(frames.waitFor(1, 5000 * kSlow));
        VirtualCamera::unplug();
        QVERIFY(lost.waitFor(1, 3000 * kSlow));
        QVERIFY(lost.onGuiThread);
        QTest::qWait(50);
        QCOMPARE(lost.count, 1); // once only
        QVERIFY(!t->running && !t->opened && !t->isFile);
        QTRY_VERIFY_WITH_TIMEOUT(t->isFinished(), 5000 * kSlow);
        deletePromptly(t.release());
    }

    void deletionIsPromptInEveryState() {
        size_t freeBefore = 0, freeAfter = 0, total = 0;
        deviceMemGetInfo(&freeBefore, &total);
        deletePromptly(new InputThreadModul); // never opened
        auto *t = new InputThreadModul;       // opened, never started
        QCOMPARE(t->openFile(recording), SUCCESS);
        QVERIFY(t->initialize());
        deletePromptly(t);
        t = startSession(QString(), false); // waiting for a permission that never comes
        QVERIFY(t && t->isRunning());
        QTest::qWait(150);
        QVERIFY(!t->running);
        deletePromptly(t);
        for (const QString &path : {QString(), recording}) { // running
            t = startSession(path);
            QVERIFY(t);
            Tally frames(t, &InputThreadModul::SendImage);
            const bool framed = frames.waitFor(1, 5000 * kSlow);
            deletePromptly(t);
            QVERIFY2(framed, "no frame");
        }
        // The device matrices went back to the pool.
        deviceMemGetInfo(&freeAfter, &total);
        QCOMPARE(freeAfter, freeBefore);
    }
};

QTEST_MAIN(TestCapture)
#include "test_capture.moc"
