// The point-cloud view under real OpenGL: points in place and colour, life cycle, orbit camera, read-out.
#include "TestSupport.h"

#include "common/GlobalParams.h"
#include "render/FrameLock.h"
#include "render/OGL3DWidget.h"
#include "render/OGLCamera.h"
#include "twl/core/DeviceMemory.h"
#include "twl/core/Mat.h"
#include "twl/io/Export.h"

#include <QApplication>
#include <QMutex>
#include <QSemaphore>
#include <QSurfaceFormat>
#include <QtTest>
#include <chrono>
#include <cmath>
#include <limits>
#include <thread>

namespace {

const float kNaN = std::numeric_limits<float>::quiet_NaN();

using TestSupport::countNear;
using TestSupport::describe;
using TestSupport::near;

// A cloud without depth; device rows are padded (8 x 16 of 256 bytes).
struct Cloud {
    twl::Mat mat;
    Cloud(size_t w = 8, size_t h = 4) : mat(w, h, twl::MAT_TYPE_32F_C4, twl::MEM_GPU) {
        for (size_t y = 0; y < h; ++y)
            for (size_t x = 0; x < w; ++x)
                set(x, y, kNaN, kNaN, kNaN, 0, 0, 0);
        GlobalParams::setInt(PARAM_DISPLAY_WIDTH, int(w));
        GlobalParams::setInt(PARAM_DISPLAY_HEIGHT, int(h));
    }
    void set(size_t x, size_t y, float px, float py, float pz, uchar r, uchar g, uchar b) {
        mat.setValue(x, y, twl::Vector4<float>(px, py, pz, twl::packColor(r, g, b)), twl::MEM_GPU);
    }
    int *address() { return reinterpret_cast<int *>(&mat); }
};

struct Fixture {
    QWidget window;
    OGL3DWidget *view = new OGL3DWidget(&window);
    Cloud cloud;
    Fixture() {
        window.resize(640, 360);
        view->resize(640, 360);
        window.show();
        if (!QTest::qWaitForWindowExposed(&window)) QTest::qFail("window not exposed", __FILE__, __LINE__);
    }
    // One frame as the main window drives it, then the picture.
    QImage frame() {
        view->setActive(true);
        view->Ingest();
        return view->grabFramebuffer();
    }
    // Pixel of a cloud point under the camera's current view-projection.
    QPoint project(float x, float y, float z) const {
        twl::Vector4<float> clip = view->camera()->getViewProjection() * twl::Vector4<float>(x, y, z, 1);
        return QPoint(int(std::floor((clip.x / clip.w + 1) * 0.5f * view->width())),
                      int(std::floor((1 - clip.y / clip.w) * 0.5f * view->height())));
    }
    bool shows(const QImage &shot, float x, float y, float z, int r, int g, int b) const {
        const QPoint at = project(x, y, z);
        return shot.rect().contains(at) && near(shot.pixel(at), r, g, b, 2);
    }
    void biggerPoints() {
        for (int i = 0; i < 30; ++i) // 1.6 + 30 x 0.25 = 9.1 pixels
            QTest::keyClick(view, Qt::Key_P);
    }
};

bool closeTo(const twl::Translation &v, float x, float y, float z) {
    return std::fabs(v.x - x) < 1e-5f && std::fabs(v.y - y) < 1e-5f && std::fabs(v.z - z) < 1e-5f;
}

void giveFieldOfView(OGL3DWidget *view) {
    twl::CameraInformation info;
    info.calibration_parameters.left_cam.h_fov = 90.0f;
    info.calibration_parameters.left_cam.v_fov = 60.0f;
    view->GetVEXOParam(reinterpret_cast<int *>(&info));
}

} // namespace

class TestPointCloudView : public QObject {
    Q_OBJECT
public:
    static void initMain() { TestSupport::useAppSurfaceFormat(); } // before the application exists
private slots:
    void init() {
        GlobalParams::reset();
        GlobalParams::setInt(PARAM_DEPTH_MAX, 10000);
        GlobalParams::setDouble(PARAM_DEPTH_MIN, 0.3);
    }

    void orbitCameraPoseAndTurns() {
        using twl::Translation;
        OGLCamera camera(Translation(0, 0, 0), Translation(0, 0, -1), Translation(0, 1, 0));
        camera.offset = Translation(0, 0, 4);
        camera.update();
        QVERIFY(closeTo(camera.up, 0, 1, 0) && closeTo(camera.left, -1, 0, 0) &&
                closeTo(camera.eye(), 0, 0, 4));
        // Tipping over the top flips the reference vertical at the next update.
        camera.rotate(2.0f, camera.left);
        QVERIFY(camera.up.y < 0 && closeTo(camera.vertical, 0, 1, 0));
        camera.update();
        QVERIFY(closeTo(camera.vertical, 0, -1, 0));
        // A direction's length does not matter; the camera looks along it.
        const Translation d(0.3f, -0.4f, -0.866f), n = Translation::normalize(d);
        camera.setDirection(twl::Vector3<float>(d) * 12.0f, Translation(0, 1, 0));
        QVERIFY(closeTo(Translation(0, 0, -1) * camera.orientation, n.x, n.y, n.z));
    }

    void pointsLandWhereProjectedInTheirColours() {
        Fixture f;
        const struct {
            size_t col, row;
            float x, y, z;
            uchar r, g, b;
        } points[] = {{1, 1, 1.0f, 0.5f, -2.0f, 255, 0, 0},
                      {6, 1, -1.0f, -0.5f, -2.0f, 0, 255, 0},
                      {2, 3, 0.5f, -0.8f, -1.5f, 160, 64, 32}, // in the last (padded) row
                      {7, 3, -0.6f, 0.6f, -3.0f, 0, 0, 255}};
        for (const auto &p : points)
            f.cloud.set(p.col, p.row, p.x, p.y, p.z, p.r, p.g, p.b);
        GlobalParams::setBool(PARAM_MODEL_FLAG, true);
        f.view->InitProcess(f.cloud.address());
        QVERIFY(f.view->isInteropReady() && f.view->isActive());
        f.biggerPoints();
        f.frame();
        QVERIFY(f.view->hasFrame());
        QImage shot = f.frame(); // the grey background is the clear colour left by the first frame
        for (const auto &p : points)
            QVERIFY2(f.shows(shot, p.x, p.y, p.z, p.r, p.g, p.b),
                     qPrintable(describe(shot.pixel(f.project(p.x, p.y, p.z)))));
        QVERIFY2(near(shot.pixel(5, 5), 31, 31, 31, 1), qPrintable(describe(shot.pixel(5, 5))));
        // The camera body sits at the origin, in the middle of the picture.
        QVERIFY(!near(shot.pixel(f.project(0.05f, 0, 0)), 31, 31, 31, 1));
        // In fill mode only a notice shows, in the middle, and no point.
        const QRect textArea(320 - 160, 180 - 70, 330, 140);
        GlobalParams::setInt(PARAM_SENSING, 1);
        shot = f.frame();
        for (const auto &p : points)
            QCOMPARE(countNear(shot, p.r, p.g, p.b, 40), 0);
        QVERIFY(countNear(shot, 149, 165, 166, 6, textArea) > 50);
        GlobalParams::setInt(PARAM_SENSING, 0);
        // A point that moves shows at its new place with the next frame, and the notice is gone.
        f.cloud.set(1, 1, -1.2f, 0.9f, -2.0f, 255, 0, 0);
        shot = f.frame();
        QVERIFY(f.shows(shot, 1.0f, 0.5f, -2.0f, 31, 31, 31));
        QVERIFY(f.shows(shot, -1.2f, 0.9f, -2.0f, 255, 0, 0));
        QCOMPARE(countNear(shot, 149, 165, 166, 6, textArea), 0);
    }

    void frustumFollowsTheRange() {
        Fixture f;
        f.view->InitProcess(f.cloud.address());
        f.view->updateFrustum(); // no camera information: nothing
        QCOMPARE(f.view->frustumVertexCount(), 0);
        giveFieldOfView(f.view);
        // The far plane follows the depth range, the near one the minimum depth.
        QVERIFY(f.view->frustumVertexCount() > 8);
        QCOMPARE(f.view->frustumVertices()[2], -10.0f);
        GlobalParams::setInt(PARAM_DEPTH_MAX, 2500);
        f.view->updateFrustum();
        const std::vector<float> v = f.view->frustumVertices();
        QCOMPARE(v[2], -2.5f);
        QCOMPARE(v[8 * 3 + 2], -0.3f);
        // It is drawn: the far rectangle's top edge, seen from the start pose.
        f.frame();
        const QImage shot = f.frame();
        const QRect edge =
            QRect(f.project(0, std::tan(float(M_PI / 6)) * 2.5f, -2.5f) - QPoint(0, 2), QSize(1, 5)) &
            shot.rect();
        QVERIFY(countNear(shot, 31, 31, 31, 2, edge) < edge.height());
    }

    void frameLockReleaseAndNewInput() {
        Fixture f;
        f.cloud.set(3, 2, 0.4f, 0.2f, -1.0f, 0, 255, 255);
        f.view->InitProcess(f.cloud.address());
        giveFieldOfView(f.view);
        f.biggerPoints();
        f.frame();
        QVERIFY(f.shows(f.frame(), 0.4f, 0.2f, -1.0f, 0, 255, 255));
        // The copy waits while the capture side holds the frame lock to write the next frame.
        QMutex frameMutex;
        f.view->frameMutex = &frameMutex;
        QSemaphore locked;
        std::thread writer([&] {
            FrameLock lock(&frameMutex);
            locked.release();
            std::this_thread::sleep_for(std::chrono::milliseconds(FrameLock::kWaitMs / 3));
            f.cloud.set(3, 2, 0.4f, 0.2f, -1.0f, 0, 0, 255);
        });
        locked.acquire();
        f.view->Ingest();
        writer.join();
        f.view->grabFramebuffer();
        QVERIFY(f.shows(f.view->grabFramebuffer(), 0.4f, 0.2f, -1.0f, 0, 0, 255)); // the new colour
        f.view->releaseScene();
        QVERIFY(!f.view->isActive() && !f.view->isInteropReady() && f.view->frameMutex == nullptr);
        f.view->updateFrustum();
        QCOMPARE(f.view->frustumVertexCount(), 0);
        // Even when the window marks it active, nothing is drawn.
        QImage shot = f.frame();
        QCOMPARE(countNear(shot, 0, 0, 0, 0), shot.width() * shot.height());
        // The next input: new buffer and registration, cloud of another size, second body model.
        GlobalParams::setBool(PARAM_MODEL_FLAG, false);
        Cloud second(16, 2);
        second.set(15, 1, -0.5f, -0.2f, -1.0f, 255, 255, 0);
        f.view->InitProcess(second.address());
        QVERIFY(f.view->isInteropReady());
        f.frame();
        shot = f.frame();
        QVERIFY(f.shows(shot, -0.5f, -0.2f, -1.0f, 255, 255, 0));
        QVERIFY(f.shows(shot, 0.4f, 0.2f, -1.0f, 31, 31, 31));
        // A matrix without device memory cannot be handed over: nothing is drawn.
        twl::Mat hostOnly(4, 4, twl::MAT_TYPE_32F_C4, twl::MEM_CPU);
        f.view->InitProcess(reinterpret_cast<int *>(&hostOnly));
        QVERIFY(!f.view->isInteropReady() && !f.view->isActive());
        f.view->setActive(true);
        f.view->Ingest();
        QVERIFY(!f.view->hasFrame());
    }

    void navigationSequences() {
        Fixture f;
        f.view->InitProcess(f.cloud.address());
        OGLCamera *camera = f.view->camera();
        const OGLCamera start = *camera;
        const auto samePose = [](const OGLCamera &a, const OGLCamera &b) {
            const twl::Orientation &p = a.orientation, &q = b.orientation;
            return closeTo(a.offset, b.offset.x, b.offset.y, b.offset.z) &&
                   closeTo(a.position, b.position.x, b.position.y, b.position.z) &&
                   std::fabs(p.x - q.x) + std::fabs(p.y - q.y) + std::fabs(p.z - q.z) + std::fabs(p.w - q.w) <
                       1e-5f;
        };
        auto wheel = [&](int delta, int times) {
            for (int i = 0; i < times; ++i) {
                QWheelEvent event(QPointF(50, 50), QPointF(50, 50), QPoint(), QPoint(0, delta), Qt::NoButton,
                                  Qt::NoModifier, Qt::NoScrollPhase, false);
                QApplication::sendEvent(f.view, &event);
            }
            return camera->offset.norm();
        };
        // Zooming in comes close but never reaches the pivot, however long it goes on; zooming out stops at
        // a far bound.
        wheel(120, 60);
        for (int i = 0; i < 5; ++i) {
            const float d = wheel(120, 1);
            QVERIFY2(d > 0.0f && d < start.offset.norm() / 10, qPrintable(QString::number(d)));
        }
        const float farthest = wheel(-120, 200);
        QVERIFY(std::isfinite(farthest) && farthest > 10 * start.offset.norm());
        QCOMPARE(wheel(-120, 5), farthest);
        // T looks down and ahead from above, keeping the zoom; R brings back the pose the view started with.
        camera->offset = twl::Translation(0, 0, 2.5f);
        QTest::keyClick(f.view, Qt::Key_T);
        QCOMPARE(camera->offset.z, 2.5f);
        QVERIFY(camera->position.y > 0);
        const twl::Translation forward = twl::Translation(0, 0, -1) * camera->orientation;
        QVERIFY(forward.y < 0 && forward.z < 0);
        QTest::keyClick(f.view, Qt::Key_R);
        QVERIFY(samePose(*camera, start));
        auto drag = [&](Qt::MouseButton button, QPoint from, QPoint to) {
            for (auto type : {QEvent::MouseButtonPress, QEvent::MouseMove, QEvent::MouseButtonRelease}) {
                const QPoint at = type == QEvent::MouseButtonPress ? from : to;
                QMouseEvent event(type, at, f.view->mapToGlobal(at),
                                  type == QEvent::MouseMove ? Qt::NoButton : button,
                                  type == QEvent::MouseButtonRelease ? Qt::NoButton : button, Qt::NoModifier);
                QApplication::sendEvent(f.view, &event);
            }
        };
        // A sideways left drag turns the view about the vertical (up stays up); moving after the release
        // turns no more.
        drag(Qt::LeftButton, QPoint(100, 100), QPoint(200, 100));
        const OGLCamera turned = *camera;
        QVERIFY(turned.left.z < -0.1f && closeTo(turned.up, 0, 1, 0));
        QMouseEvent move(QEvent::MouseMove, QPoint(300, 100), f.view->mapToGlobal(QPoint(300, 100)),
                         Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(f.view, &move);
        QVERIFY(samePose(*camera, turned));
        // A right drag moves the pivot sideways, without turning.
        QTest::keyClick(f.view, Qt::Key_R);
        drag(Qt::RightButton, QPoint(100, 100), QPoint(110, 100));
        QVERIFY(camera->position.x < 0 && closeTo(camera->position, camera->position.x, 0, 0));
        OGLCamera panned = start;
        panned.position = camera->position;
        QVERIFY(samePose(*camera, panned));
    }

    void distanceReadOut() {
        Fixture f;
        f.cloud.set(3, 2, 0.3f, 0.4f, -1.2f, 255, 255, 255);
        f.cloud.set(0, 2, 0.1f, 0.1f, -1.0f, 255, 255, 255);
        f.view->InitProcess(f.cloud.address());
        auto pick = [&](double col, double row) {
            GlobalParams::setDouble(PARAM_CLICK_X, (col + 0.5) / 8.0);
            GlobalParams::setDouble(PARAM_CLICK_Y, (row + 0.5) / 4.0);
            return f.frame();
        };
        // The read-out is painted in the lower-left corner in the pen's blue.
        auto bluish = [](const QImage &img) {
            return countNear(img, 0, 172, 236, 60, QRect(10, img.height() - 35, 200, 30));
        };
        QVERIFY(bluish(pick(3, 2)) > 20);
        QCOMPARE(f.view->distanceText(), QString("Distance to point : 1.3 m"));
        QCOMPARE(f.view->measureLineVertexCount(), 2);
        pick(7, 1); // no depth, in the last column
        QCOMPARE(f.view->distanceText(), QString("Distance to point : N/A"));
        QCOMPARE(f.view->measureLineVertexCount(), 0);
        pick(0, 2); // column 0 is never measured
        QCOMPARE(f.view->distanceText(), QString());
        GlobalParams::setDouble(PARAM_CLICK_X, -1.0);
        QCOMPARE(bluish(f.frame()), 0);
        QCOMPARE(f.view->distanceText(), QString());
        // A display size larger than the matrix never reads past it.
        GlobalParams::setInt(PARAM_DISPLAY_WIDTH, 16);
        GlobalParams::setDouble(PARAM_CLICK_X, 0.9);
        GlobalParams::setDouble(PARAM_CLICK_Y, 0.5);
        f.frame();
        QCOMPARE(f.view->distanceText(), QString());
    }

    void twoPointSegmentAndItsLength() {
        Fixture f;
        f.cloud.set(3, 2, 0.3f, 0.4f, -1.2f, 255, 255, 255);
        f.cloud.set(6, 1, -0.2f, 0.1f, -2.0f, 255, 255, 255);
        f.view->InitProcess(f.cloud.address());
        const auto pick = [](int x, int y, double col, double row) {
            GlobalParams::setDouble(x, (col + 0.5) / 8.0);
            GlobalParams::setDouble(y, (row + 0.5) / 4.0);
        };
        pick(PARAM_CLICK_X, PARAM_CLICK_Y, 3, 2);
        pick(PARAM_CLICK2_X, PARAM_CLICK2_Y, 6, 1);
        QImage shot = f.frame();
        QVERIFY(std::fabs(f.view->segmentLength() - std::sqrt(0.5 * 0.5 + 0.3 * 0.3 + 0.8 * 0.8)) < 1e-5);
        QCOMPARE(f.view->segmentText(), QString("0.99 m"));
        // The line to the first point, the segment, and a cross of three lines on each end.
        QCOMPARE(f.view->measureLineVertexCount(), 2 + 2 + 2 * 6);
        // The length is written in amber next to the segment's middle.
        const QPoint middle = f.project(0.05f, 0.25f, -1.6f);
        QVERIFY(countNear(shot, 255, 184, 28, 60, QRect(middle - QPoint(40, 30), QSize(80, 40))) > 10);
        pick(PARAM_CLICK2_X, PARAM_CLICK2_Y, 7, 1); // no depth there
        f.frame();
        QCOMPARE(f.view->segmentText(), QString("N/A"));
        QCOMPARE(f.view->measureLineVertexCount(), 2);
        GlobalParams::setDouble(PARAM_CLICK2_X, -1.0);
        f.frame();
        QCOMPARE(f.view->segmentText(), QString());
    }
};

QTEST_MAIN(TestPointCloudView)
#include "test_point_cloud_view.moc"
