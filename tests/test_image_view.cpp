// The image view under real OpenGL: letterbox, colours, row pitch, picking
// and the session life cycle.
#include "TestSupport.h"

#include "common/GlobalParams.h"
#include "render/FrameLock.h"
#include "render/OGL2DWidget.h"
#include "twl/DeviceMemory.h"
#include "twl/Mat.h"

#include <QApplication>
#include <QMutex>
#include <QSemaphore>
#include <QSignalSpy>
#include <QSurfaceFormat>
#include <QtTest>
#include <chrono>
#include <memory>
#include <thread>

namespace {

// Fills rows [y0, y1) and columns [x0, x1) of a BGRA device matrix.
void fill(twl::Mat &m, int x0, int x1, int y0, int y1, uchar b, uchar g, uchar r) {
    uchar *base = m.getPtr<uchar>(twl::MEM_GPU);
    for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x) {
            uchar *p = base + size_t(y) * m.getStepBytes(twl::MEM_GPU) + size_t(x) * 4;
            p[0] = b;
            p[1] = g;
            p[2] = r;
            p[3] = 255;
        }
}

using TestSupport::describe;
using TestSupport::near;

// 0.12 of full scale.
constexpr int kBand = 31;

struct Fixture {
    QWidget window;
    OGL2DWidget *view;
    explicit Fixture(int w, int h) {
        window.resize(w, h);
        view = new OGL2DWidget(&window);
        view->resize(w, h);
        window.show();
    }
    bool exposed() { return QTest::qWaitForWindowExposed(&window); }
    void bind(twl::Mat &m) {
        view->cudaContext = twl::deviceContext();
        view->devicePtr = m.getPtr<uchar>(twl::MEM_GPU);
        view->InitGLProcess(int(m.getWidth()), int(m.getHeight()), int(m.getStepBytes(twl::MEM_GPU)));
    }
};

} // namespace

class TestImageView : public QObject {
    Q_OBJECT
private slots:
    void init() { GlobalParams::reset(); }

    void letterboxColoursAndOrientation() {
        Fixture f(1000, 500);
        QVERIFY(f.exposed());
        twl::Mat picture(1280, 720, twl::MAT_TYPE_8U_C4, twl::MEM_GPU);
        // Top half: red, green and blue thirds (stored BGRA); bottom half white.
        fill(picture, 0, 426, 0, 360, 0, 0, 255);
        fill(picture, 426, 853, 0, 360, 0, 255, 0);
        fill(picture, 853, 1280, 0, 360, 255, 0, 0);
        fill(picture, 0, 1280, 360, 720, 255, 255, 255);
        QSignalSpy started(f.view, &OGL2DWidget::init);
        f.bind(picture);
        QCOMPARE(started.count(), 1);
        QCOMPARE(started.at(0).at(0).toBool(), true);
        QVERIFY(f.view->isActive());
        QCOMPARE(f.view->letterbox(), QRect(56, 0, 888, 500));

        QImage shot = f.view->grabFramebuffer();
        QCOMPARE(shot.size(), QSize(1000, 500));
        for (int y : {10, 250, 490}) {
            for (int x : {0, 30, 55, 944, 970, 999})
                QVERIFY2(near(shot.pixel(x, y), kBand, kBand, kBand, 1),
                         qPrintable(describe(shot.pixel(x, y))));
        }
        QVERIFY2(near(shot.pixel(150, 100), 255, 0, 0), qPrintable(describe(shot.pixel(150, 100))));
        QVERIFY2(near(shot.pixel(500, 100), 0, 255, 0), qPrintable(describe(shot.pixel(500, 100))));
        QVERIFY2(near(shot.pixel(850, 100), 0, 0, 255), qPrintable(describe(shot.pixel(850, 100))));
        // The picture's first row is at the top; its edges meet the bands exactly.
        QVERIFY(near(shot.pixel(500, 400), 255, 255, 255));
        QVERIFY(near(shot.pixel(56, 400), 255, 255, 255));
        QVERIFY(near(shot.pixel(943, 400), 255, 255, 255));
        QVERIFY(near(shot.pixel(57, 2), 255, 0, 0));

        // A new frame in the same device memory shows at the next repaint.
        fill(picture, 0, 1280, 0, 720, 0, 128, 255);
        shot = f.view->grabFramebuffer();
        QVERIFY2(near(shot.pixel(500, 250), 255, 128, 0), qPrintable(describe(shot.pixel(500, 250))));
    }

    void paddedRowsShowWithoutShear() {
        // 1000 pixels of 4 bytes are padded to a 4096-byte pitch; the widget
        // has the picture's aspect, so the picture fills it.
        Fixture f(1000, 500);
        QVERIFY(f.exposed());
        twl::Mat picture(1000, 500, twl::MAT_TYPE_8U_C4, twl::MEM_GPU);
        QVERIFY(picture.getStepBytes(twl::MEM_GPU) > 4000);
        fill(picture, 0, 500, 0, 500, 0, 0, 255);
        fill(picture, 500, 1000, 0, 500, 255, 0, 0);
        f.bind(picture);
        QCOMPARE(f.view->letterbox(), QRect(0, 0, 1000, 500));
        const QImage shot = f.view->grabFramebuffer();
        for (int y : {1, 100, 250, 498}) {
            QVERIFY2(near(shot.pixel(2, y), 255, 0, 0), qPrintable(describe(shot.pixel(2, y))));
            QVERIFY2(near(shot.pixel(497, y), 255, 0, 0), qPrintable(describe(shot.pixel(497, y))));
            QVERIFY2(near(shot.pixel(502, y), 0, 0, 255), qPrintable(describe(shot.pixel(502, y))));
            QVERIFY2(near(shot.pixel(997, y), 0, 0, 255), qPrintable(describe(shot.pixel(997, y))));
        }
    }

    void tallPictureGetsBandsAboveAndBelow() {
        Fixture f(400, 600);
        QVERIFY(f.exposed());
        twl::Mat picture(200, 100, twl::MAT_TYPE_8U_C4, twl::MEM_GPU);
        fill(picture, 0, 200, 0, 100, 0, 255, 0);
        f.bind(picture);
        QCOMPARE(f.view->letterbox(), QRect(0, 200, 400, 200));
        const QImage shot = f.view->grabFramebuffer();
        QVERIFY(near(shot.pixel(200, 100), kBand, kBand, kBand, 1));
        QVERIFY(near(shot.pixel(200, 300), 0, 255, 0));
        QVERIFY(near(shot.pixel(200, 500), kBand, kBand, kBand, 1));
    }

    void clicksFollowThePickRules() {
        Fixture f(1000, 500);
        QVERIFY(f.exposed());
        OGL2DWidget *depthView = f.view; // isImageView false
        QTest::mouseClick(depthView, Qt::LeftButton, {}, QPoint(250, 100));
        QCOMPARE(float(GlobalParams::getDouble(PARAM_CLICK_X)), 0.25f);
        QCOMPARE(float(GlobalParams::getDouble(PARAM_CLICK_Y)), 0.2f);
        // Bands count: clicks are normalised over the whole widget.
        QTest::mouseClick(depthView, Qt::LeftButton, {}, QPoint(10, 400));
        QCOMPARE(float(GlobalParams::getDouble(PARAM_CLICK_X)), 0.01f);
        QCOMPARE(float(GlobalParams::getDouble(PARAM_CLICK_Y)), 0.8f);
        // Outside the widget: unchanged.
        QTest::mouseClick(depthView, Qt::LeftButton, {}, QPoint(1200, 100));
        QTest::mouseClick(depthView, Qt::LeftButton, {}, QPoint(100, -20));
        QCOMPARE(float(GlobalParams::getDouble(PARAM_CLICK_X)), 0.01f);
        QCOMPARE(float(GlobalParams::getDouble(PARAM_CLICK_Y)), 0.8f);
        QTest::mouseClick(depthView, Qt::MiddleButton, {}, QPoint(500, 250));
        QCOMPARE(float(GlobalParams::getDouble(PARAM_CLICK_X)), 0.01f);
        QTest::mouseClick(depthView, Qt::RightButton, {}, QPoint(500, 250));
        QCOMPARE(GlobalParams::getDouble(PARAM_CLICK_X), -1.0);
        QCOMPARE(GlobalParams::getDouble(PARAM_CLICK_Y), -1.0);

        OGL2DWidget *imageView = new OGL2DWidget(&f.window);
        imageView->isImageView = true;
        imageView->resize(500, 500);
        imageView->show();
        GlobalParams::setInt(PARAM_IMAGE_VIEW, 0); // left image: picks
        QTest::mouseClick(imageView, Qt::LeftButton, {}, QPoint(125, 250));
        QCOMPARE(float(GlobalParams::getDouble(PARAM_CLICK_X)), 0.25f);
        QCOMPARE(float(GlobalParams::getDouble(PARAM_CLICK_Y)), 0.5f);
        for (int picture : {1, 8}) { // right or side by side: only the right button acts
            GlobalParams::setInt(PARAM_IMAGE_VIEW, picture);
            GlobalParams::setDouble(PARAM_CLICK_X, 0.25);
            QTest::mouseClick(imageView, Qt::LeftButton, {}, QPoint(400, 400));
            QCOMPARE(float(GlobalParams::getDouble(PARAM_CLICK_X)), 0.25f);
            QTest::mouseClick(imageView, Qt::RightButton, {}, QPoint(400, 400));
            QCOMPARE(GlobalParams::getDouble(PARAM_CLICK_X), -1.0);
            QCOMPARE(GlobalParams::getDouble(PARAM_CLICK_Y), -1.0);
        }
    }

    void releaseAndRebind() {
        Fixture f(640, 360);
        QVERIFY(f.exposed());
        twl::Mat first(640, 360, twl::MAT_TYPE_8U_C4, twl::MEM_GPU);
        fill(first, 0, 640, 0, 360, 0, 0, 255);
        f.bind(first);
        QVERIFY(near(f.view->grabFramebuffer().pixel(320, 180), 255, 0, 0));

        f.view->release();
        QVERIFY(!f.view->isActive());
        QVERIFY(f.view->devicePtr == nullptr);
        // The window marks the depth view active at every frame: still nothing to draw.
        f.view->setActive(true);
        QImage shot = f.view->grabFramebuffer();
        QVERIFY2(near(shot.pixel(320, 180), 0, 0, 0, 0), qPrintable(describe(shot.pixel(320, 180))));
        f.view->setActive(false);

        // The next session binds a new picture of another size.
        twl::Mat second(320, 360, twl::MAT_TYPE_8U_C4, twl::MEM_GPU);
        fill(second, 0, 320, 0, 360, 255, 0, 0);
        QSignalSpy started(f.view, &OGL2DWidget::init);
        f.bind(second);
        QCOMPARE(started.count(), 1);
        QCOMPARE(f.view->letterbox(), QRect(160, 0, 320, 360));
        shot = f.view->grabFramebuffer();
        QVERIFY(near(shot.pixel(320, 180), 0, 0, 255));
        QVERIFY(near(shot.pixel(100, 180), kBand, kBand, kBand, 1));
    }

    void copyWaitsForTheFrameLock() {
        Fixture f(320, 180);
        QVERIFY(f.exposed());
        twl::Mat picture(320, 180, twl::MAT_TYPE_8U_C4, twl::MEM_GPU);
        fill(picture, 0, 320, 0, 180, 0, 0, 255);
        f.bind(picture);
        QMutex frameMutex;
        f.view->frameMutex = &frameMutex;
        QSemaphore locked;
        std::thread writer([&] {
            FrameLock lock(&frameMutex); // as the capture loop holds it
            locked.release();
            std::this_thread::sleep_for(std::chrono::milliseconds(FrameLock::kWaitMs / 3));
            fill(picture, 0, 320, 0, 180, 255, 0, 0);
        });
        locked.acquire();
        QImage shot = f.view->grabFramebuffer();
        writer.join();
        QVERIFY2(near(shot.pixel(160, 90), 0, 0, 255), qPrintable(describe(shot.pixel(160, 90))));
        // A lock that is not given back in time (here held by this very
        // thread) costs one skipped copy, never a frozen window.
        frameMutex.lock();
        fill(picture, 0, 320, 0, 180, 0, 255, 0);
        QElapsedTimer clock;
        clock.start();
        shot = f.view->grabFramebuffer();
        QVERIFY(clock.elapsed() < 5000);
        frameMutex.unlock();
        QVERIFY2(near(shot.pixel(160, 90), 0, 0, 255), qPrintable(describe(shot.pixel(160, 90))));
        f.view->release();
        QVERIFY(f.view->frameMutex == nullptr);
    }

    void badPictureOrLateContext() {
        // A pitch below the row size is refused: no start permission.
        Fixture f(640, 360);
        QVERIFY(f.exposed());
        QSignalSpy started(f.view, &OGL2DWidget::init);
        twl::Mat picture(64, 36, twl::MAT_TYPE_8U_C4, twl::MEM_GPU);
        f.view->devicePtr = picture.getPtr<uchar>(twl::MEM_GPU);
        f.view->InitGLProcess(64, 36, 64 * 4 - 4);
        QCOMPARE(started.count(), 0);
        QVERIFY(!f.view->isActive());

        // Handed over before the view was ever shown: bound at the first show.
        QWidget window;
        window.resize(320, 180);
        auto *late = new OGL2DWidget(&window);
        late->resize(320, 180);
        QSignalSpy lateStarted(late, &OGL2DWidget::init);
        fill(picture, 0, 64, 0, 36, 0, 255, 0);
        late->cudaContext = twl::deviceContext();
        late->devicePtr = picture.getPtr<uchar>(twl::MEM_GPU);
        late->InitGLProcess(64, 36, int(picture.getStepBytes(twl::MEM_GPU)));
        QCOMPARE(lateStarted.count(), 0);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QTRY_COMPARE(lateStarted.count(), 1);
        QVERIFY(late->isActive());
        QVERIFY(near(late->grabFramebuffer().pixel(160, 90), 0, 255, 0));
    }
};

int main(int argc, char **argv) {
    TestSupport::useAppSurfaceFormat();
    QApplication app(argc, argv);
    TestImageView test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_image_view.moc"
