// The image view under real OpenGL: letterbox, colours, row pitch, picking, frame lock, life cycle.
#include "TestSupport.h"

#include "common/GlobalParams.h"
#include "render/FrameLock.h"
#include "render/FrameProbe.h"
#include "render/OGL2DWidget.h"
#include "twl/core/DeviceMemory.h"
#include "twl/core/Mat.h"

#include <QApplication>
#include <QMutex>
#include <QSemaphore>
#include <QSignalSpy>
#include <QtTest>
#include <chrono>
#include <cmath>
#include <limits>
#include <thread>

// One pixel of a grabbed frame, with the colour found in the failure message.
#define QVERIFY_PIXEL(shot, x, y, ...)                                                                       \
    QVERIFY2(TestSupport::near((shot).pixel(x, y), __VA_ARGS__),                                             \
             qPrintable(TestSupport::describe((shot).pixel(x, y))))

namespace {

using TestSupport::fill;

constexpr int kBand = 31; // the bands' grey, 0.12 of full scale

struct Fixture {
    QWidget window;
    OGL2DWidget *view = new OGL2DWidget(&window);
    Fixture(int w, int h) {
        window.resize(w, h);
        view->resize(w, h);
        window.show();
        if (!QTest::qWaitForWindowExposed(&window)) QTest::qFail("window not exposed", __FILE__, __LINE__);
    }
    void bind(twl::Mat &m) {
        view->cudaContext = twl::deviceContext();
        view->devicePtr = m.getPtr<uchar>(twl::MEM_GPU);
        view->InitGLProcess(int(m.getWidth()), int(m.getHeight()), int(m.getStepBytes(twl::MEM_GPU)));
    }
};

// Where the last click picked, as a fraction of the picture; (-1, -1) for nothing.
QPointF picked() {
    return {GlobalParams::getDouble(PARAM_CLICK_X), GlobalParams::getDouble(PARAM_CLICK_Y)};
}

} // namespace

class TestImageView : public QObject {
    Q_OBJECT
public:
    static void initMain() { TestSupport::useAppSurfaceFormat(); } // before the application exists
private slots:
    void init() { GlobalParams::reset(); }

    void wideLetterboxColoursAndPicking() {
        Fixture f(1000, 500);
        twl::Mat picture(1280, 720, twl::MAT_TYPE_8U_C4, twl::MEM_GPU);
        // Top half: red, green and blue thirds (stored BGRA); bottom half white.
        fill(picture, 0, 426, 0, 360, 0, 0, 255);
        fill(picture, 426, 853, 0, 360, 0, 255, 0);
        fill(picture, 853, 1280, 0, 360, 255, 0, 0);
        fill(picture, 0, 1280, 360, 720, 255, 255, 255);
        QSignalSpy started(f.view, &OGL2DWidget::init);
        f.bind(picture);
        QCOMPARE(started.count(), 1);
        QVERIFY(started.at(0).at(0).toBool() && f.view->isActive());
        QImage shot = f.view->grabFramebuffer();
        QCOMPARE(shot.size(), QSize(1000, 500));
        for (int y : {10, 490})
            for (int x : {0, 55, 944, 999})
                QVERIFY_PIXEL(shot, x, y, kBand, kBand, kBand, 1);
        QVERIFY_PIXEL(shot, 150, 100, 255, 0, 0);
        QVERIFY_PIXEL(shot, 500, 100, 0, 255, 0);
        QVERIFY_PIXEL(shot, 850, 100, 0, 0, 255);
        // The picture's first row is at the top; its edges meet the bands (x 56 to 943) exactly.
        QVERIFY_PIXEL(shot, 57, 2, 255, 0, 0);
        QVERIFY_PIXEL(shot, 56, 400, 255, 255, 255);
        QVERIFY_PIXEL(shot, 943, 400, 255, 255, 255);
        // A new frame in the same device memory shows at the next repaint.
        fill(picture, 0, 1280, 0, 720, 0, 128, 255);
        shot = f.view->grabFramebuffer();
        QVERIFY_PIXEL(shot, 500, 250, 255, 128, 0);
        // A click picks in picture coordinates; one on a band picks nothing.
        QTest::mouseClick(f.view, Qt::LeftButton, {}, QPoint(56 + 222, 375));
        QCOMPARE(picked(), QPointF(0.25, 0.75));
        QTest::mouseClick(f.view, Qt::LeftButton, {}, QPoint(30, 250));
        QCOMPARE(picked(), QPointF(0.25, 0.75));
    }

    void tallPaddedPictureShowsWithoutShearAndTooShortAPitchIsRefused() {
        Fixture f(400, 600);
        // 800-byte rows padded to a wider pitch: left half red, right half blue.
        twl::Mat picture(200, 100, twl::MAT_TYPE_8U_C4, twl::MEM_GPU);
        QVERIFY(picture.getStepBytes(twl::MEM_GPU) > 800);
        fill(picture, 0, 100, 0, 100, 0, 0, 255);
        fill(picture, 100, 200, 0, 100, 255, 0, 0);
        // A pitch below the row size is refused: no start permission.
        QSignalSpy started(f.view, &OGL2DWidget::init);
        f.view->devicePtr = picture.getPtr<uchar>(twl::MEM_GPU);
        f.view->InitGLProcess(200, 100, 200 * 4 - 4);
        QVERIFY(started.isEmpty() && !f.view->isActive());
        f.bind(picture);
        QCOMPARE(started.count(), 1);
        const QImage shot = f.view->grabFramebuffer();
        QVERIFY_PIXEL(shot, 200, 100, kBand, kBand, kBand, 1);
        QVERIFY_PIXEL(shot, 200, 500, kBand, kBand, kBand, 1);
        for (int y : {202, 300, 397}) {
            for (int x : {3, 195})
                QVERIFY_PIXEL(shot, x, y, 255, 0, 0);
            for (int x : {205, 396})
                QVERIFY_PIXEL(shot, x, y, 0, 0, 255);
        }
        QTest::mouseClick(f.view, Qt::LeftButton, {}, QPoint(300, 250));
        QCOMPARE(picked(), QPointF(0.75, 0.25));
        QTest::mouseClick(f.view, Qt::LeftButton, {}, QPoint(200, 450));
        QCOMPARE(picked(), QPointF(0.75, 0.25));
    }

    void clicksFollowThePickRules() {
        Fixture f(1000, 500); // nothing bound: the whole view counts as the picture
        QTest::mouseClick(f.view, Qt::LeftButton, {}, QPoint(250, 100));
        QCOMPARE(picked(), QPointF(0.25, 0.2));
        // Outside the view, or another button than left or right: unchanged. The right button clears.
        QTest::mouseClick(f.view, Qt::LeftButton, {}, QPoint(100, -20));
        QTest::mouseClick(f.view, Qt::MiddleButton, {}, QPoint(500, 250));
        QCOMPARE(picked(), QPointF(0.25, 0.2));
        QTest::mouseClick(f.view, Qt::RightButton, {}, QPoint(500, 250));
        QCOMPARE(picked(), QPointF(-1, -1));
        // The image view picks on the left image; shown right or side by side, only the right button acts.
        f.view->isImageView = true;
        QTest::mouseClick(f.view, Qt::LeftButton, {}, QPoint(500, 250));
        QCOMPARE(picked(), QPointF(0.5, 0.5));
        for (int shown : {1, 8}) {
            GlobalParams::setInt(PARAM_IMAGE_VIEW, shown);
            const QPointF before = picked();
            QTest::mouseClick(f.view, Qt::LeftButton, {}, QPoint(400, 400));
            QCOMPARE(picked(), before);
            QTest::mouseClick(f.view, Qt::RightButton, {}, QPoint(400, 400));
            QCOMPARE(picked(), QPointF(-1, -1));
        }
    }

    void readoutAndPicksInALetterboxedView() {
        Fixture f(1000, 500);
        twl::Mat picture(1280, 720, twl::MAT_TYPE_8U_C4, twl::MEM_GPU);
        fill(picture, 0, 1280, 0, 720, 90, 90, 90);
        f.bind(picture); // drawn 888 x 500 from x 56
        // The frame's display-size matrices, each pixel telling where it is.
        twl::Mat points(640, 360, twl::MAT_TYPE_32F_C4, twl::MEM_GPU);
        twl::Mat confidence(640, 360, twl::MAT_TYPE_32F_C1, twl::MEM_GPU);
        for (size_t y = 0; y < 360; ++y)
            for (size_t x = 0; x < 640; ++x) {
                const bool hole = x == 480 && y == 90;
                const float nan = std::numeric_limits<float>::quiet_NaN();
                points.setValue(
                    x, y, {hole ? nan : x * 0.01f, -float(y) * 0.01f, hole ? nan : -1.0f - x * 0.001f, 0},
                    twl::MEM_GPU);
                confidence.setValue(x, y, {float((x + y) % 100), 0, 0, 0}, twl::MEM_GPU);
            }
        FrameProbe probe;
        probe.bind(&points, &confidence, nullptr);
        f.view->probe = &probe;
        QSignalSpy moved(f.view, &OGL2DWidget::pointerMoved), left(f.view, &OGL2DWidget::pointerLeft);
        const auto move = [&](QPoint at) {
            QMouseEvent event(QEvent::MouseMove, at, Qt::NoButton, Qt::NoButton, Qt::NoModifier);
            QApplication::sendEvent(f.view, &event);
        };
        move(QPoint(56 + 222, 375));
        QCOMPARE(moved.count(), 1);
        const QPointF at = moved.last().at(0).toPointF();
        QCOMPARE(at, QPointF(0.25, 0.75));
        const FrameProbe::Sample s = probe.sample(at.x(), at.y());
        QVERIFY(s.hasDepth && s.col == 160 && s.row == 270);
        QCOMPARE(s.x, 1.6f);
        QCOMPARE(s.z, -1.16f);
        QCOMPARE(s.depth, 1.16f);
        QCOMPARE(s.confidence, 30.0f);
        QCOMPARE(FrameProbe::describe(s), QString("1.16 m   X 1.60  Y -2.70  Z -1.16 m   confidence 30"));
        QCOMPARE(FrameProbe::describe(probe.sample(0.75, 0.25)), QString("no depth"));
        move(QPoint(20, 250)); // on a band
        QCOMPARE(left.count(), 1);
        // Shift+click hands the second point to the window; a plain click starts over.
        QSignalSpy second(f.view, &OGL2DWidget::secondPointPicked);
        QTest::mouseClick(f.view, Qt::LeftButton, {}, QPoint(56 + 444, 250));
        QTest::mouseClick(f.view, Qt::LeftButton, Qt::ShiftModifier, QPoint(56 + 666, 125));
        QCOMPARE(second.count(), 1);
        QCOMPARE(second.last().at(0).toPointF(), QPointF(0.75, 0.25));
        QCOMPARE(picked(), QPointF(0.5, 0.5));
        // Both points are marked, with the segment in amber between them.
        GlobalParams::setDouble(PARAM_CLICK2_X, 0.25);
        GlobalParams::setDouble(PARAM_CLICK2_Y, 0.25);
        const QImage shot = f.view->grabFramebuffer();
        QVERIFY_PIXEL(shot, 56 + 333, 187, 255, 184, 28, 40);
        QVERIFY_PIXEL(shot, 56 + 444, 250, 36, 194, 93, 40);
        QVERIFY_PIXEL(shot, 56 + 222, 125, 255, 184, 28, 40);
        const FrameProbe::Measure m = probe.measure();
        QVERIFY(std::fabs(m.length - std::hypot(3.2f - 1.6f, 1.8f - 0.9f, 0.32f - 0.16f)) < 1e-4f);
        QTest::mouseClick(f.view, Qt::LeftButton, {}, QPoint(56 + 444, 250));
        QCOMPARE(GlobalParams::getDouble(PARAM_CLICK2_X), -1.0);
        f.view->probe = nullptr;
    }

    void frameLockReleaseAndRebind() {
        Fixture f(640, 360);
        twl::Mat first(640, 360, twl::MAT_TYPE_8U_C4, twl::MEM_GPU);
        fill(first, 0, 640, 0, 360, 0, 0, 255);
        f.bind(first);
        QMutex frameMutex;
        f.view->frameMutex = &frameMutex;
        QSemaphore locked;
        std::thread writer([&] {
            FrameLock lock(&frameMutex); // as the capture loop holds it
            locked.release();
            std::this_thread::sleep_for(std::chrono::milliseconds(FrameLock::kWaitMs / 3));
            fill(first, 0, 640, 0, 360, 255, 0, 0);
        });
        locked.acquire();
        QImage shot = f.view->grabFramebuffer();
        writer.join();
        QVERIFY_PIXEL(shot, 320, 180, 0, 0, 255); // the copy waited for the new picture
        // A lock not given back in time (held here by this very thread) costs a skipped copy, not a freeze.
        frameMutex.lock();
        fill(first, 0, 640, 0, 360, 0, 255, 0);
        QElapsedTimer clock;
        clock.start();
        shot = f.view->grabFramebuffer();
        QVERIFY(clock.elapsed() < 5000);
        frameMutex.unlock();
        QVERIFY_PIXEL(shot, 320, 180, 0, 0, 255);
        f.view->release();
        QVERIFY(!f.view->isActive() && f.view->devicePtr == nullptr && f.view->frameMutex == nullptr);
        // The window marks the depth view active at every frame: still nothing to draw.
        f.view->setActive(true);
        shot = f.view->grabFramebuffer();
        QVERIFY_PIXEL(shot, 320, 180, 0, 0, 0, 0);
        f.view->setActive(false);
        // The next session binds a new picture of another size.
        twl::Mat second(320, 360, twl::MAT_TYPE_8U_C4, twl::MEM_GPU);
        fill(second, 0, 320, 0, 360, 255, 0, 0);
        QSignalSpy started(f.view, &OGL2DWidget::init);
        f.bind(second);
        QCOMPARE(started.count(), 1);
        shot = f.view->grabFramebuffer();
        QVERIFY_PIXEL(shot, 320, 180, 0, 0, 255);
        QVERIFY_PIXEL(shot, 100, 180, kBand, kBand, kBand, 1);
    }
};

QTEST_MAIN(TestImageView)
#include "test_image_view.moc"
