// The point-cloud view's orbit camera: pose, axes, projection and turns.
#include "render/OGLCamera.h"

#include <QtTest>
#include <cmath>

using twl::Translation;

namespace {

bool close(float a, float b, float eps = 1e-5f) {
    return std::fabs(a - b) <= eps;
}
bool close(const Translation &v, float x, float y, float z, float eps = 1e-5f) {
    return close(v.x, x, eps) && close(v.y, y, eps) && close(v.z, z, eps);
}
QString str(const Translation &v) {
    return QString("(%1, %2, %3)").arg(v.x).arg(v.y).arg(v.z);
}

// Depth in [0, 1] of a point on the view axis at eye depth z.
float depthOf(const twl::Matrix4f &projection, float z) {
    twl::Vector4<float> clip = projection * twl::Vector4<float>(0, 0, z, 1);
    return clip.z / clip.w;
}

OGLCamera startCamera() {
    OGLCamera camera(Translation(0, 0, 0), Translation(0, 0, -1), Translation(0, 1, 0));
    camera.offset = Translation(0, 0, 4);
    return camera;
}

} // namespace

class TestOGLCamera : public QObject {
    Q_OBJECT
private slots:
    void startPose() {
        OGLCamera camera = startCamera();
        QCOMPARE(camera.orientation.w, 1.0f);
        QVERIFY(close(camera.orientation.x, 0) && close(camera.orientation.y, 0) &&
                close(camera.orientation.z, 0));
        QVERIFY2(close(camera.up, 0, 1, 0), qPrintable(str(camera.up)));
        QVERIFY2(close(camera.left, -1, 0, 0), qPrintable(str(camera.left)));
        // The view matrices follow the offset only at the next update.
        QVERIFY(close(camera.getView()(2, 3), 0));
        camera.update();
        QVERIFY2(close(camera.eye(), 0, 0, 4), qPrintable(str(camera.eye())));
        QVERIFY(close(camera.getView()(2, 3), -4.0f));
    }

    void projectionMapsTheDepthRange() {
        OGLCamera camera = startCamera();
        camera.setProjection(90, 50, 0.1f, 300);
        const twl::Matrix4f &p = camera.getProjection();
        // The near and far planes map to the ends of the depth range.
        QVERIFY(close(depthOf(p, -0.1f), 0.0f, 1e-5f));
        QVERIFY(close(depthOf(p, -300.0f), 1.0f, 1e-5f));
        QVERIFY(depthOf(p, -10.0f) > 0.0f && depthOf(p, -10.0f) < 1.0f);

        // The view-projection is projection times view.
        camera.update();
        twl::Matrix4f expected = camera.getProjection() * camera.getView();
        for (int i = 0; i < 16; ++i)
            QVERIFY(close(camera.getViewProjection().m[i], expected.m[i]));
    }

    void directionLengthDoesNotMatter() {
        OGLCamera unit = startCamera(), longer = startCamera();
        longer.setDirection(Translation(0, 0, -7.5f), Translation(0, 1, 0));
        QVERIFY(close(longer.orientation.w, unit.orientation.w) &&
                close(longer.orientation.x, unit.orientation.x));
        const Translation d(0.3f, -0.4f, -0.866f);
        unit.setDirection(Translation::normalize(d), Translation(0, 1, 0));
        longer.setDirection(twl::Vector3<float>(d) * 12.0f, Translation(0, 1, 0));
        QVERIFY(close(longer.orientation.x, unit.orientation.x) &&
                close(longer.orientation.y, unit.orientation.y) &&
                close(longer.orientation.z, unit.orientation.z) &&
                close(longer.orientation.w, unit.orientation.w));
        // The camera looks along its -Z axis, which now points along d.
        Translation forward = Translation(0, 0, -1) * unit.orientation;
        Translation n = Translation::normalize(d);
        QVERIFY2(close(forward, n.x, n.y, n.z), qPrintable(str(forward)));
    }

    void rotateAndVerticalFollowsUp() {
        OGLCamera camera = startCamera();
        // 0.3 rad about the negated world vertical: the left axis swings forward.
        camera.rotate(0.3f, -camera.vertical);
        QVERIFY2(close(camera.left, -std::cos(0.3f), 0, -std::sin(0.3f)), qPrintable(str(camera.left)));
        QVERIFY(close(camera.up, 0, 1, 0));
        // The view is refreshed only by update.
        QVERIFY(close(camera.getView()(0, 2), 0));
        camera.update();
        QVERIFY2(close(camera.eye(), 4 * std::sin(-0.3f), 0, 4 * std::cos(0.3f)),
                 qPrintable(str(camera.eye())));

        // Tipping over the top flips the reference vertical at the next update.
        camera.rotate(2.0f, camera.left);
        QVERIFY(camera.up.y < 0);
        QVERIFY(close(camera.vertical, 0, 1, 0));
        camera.update();
        QVERIFY(close(camera.vertical, 0, -1, 0));
    }
};

QTEST_APPLESS_MAIN(TestOGLCamera)
#include "test_ogl_camera.moc"
