// The views' OpenGL resources: shaders that do not build draw nothing, and a new context rebuilds them.
#include "TestSupport.h"

#include "common/GlobalParams.h"
#include "render/GlSurface.h"
#include "render/OGL2DWidget.h"
#include "render/OGL3DWidget.h"
#include "render/OGLShader.h"
#include "render/ShaderSources.h"
#include "twl/core/DeviceMemory.h"
#include "twl/core/Mat.h"
#include "twl/io/Export.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QOpenGLFunctions>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// A cloud whose every point sits 1 m in front of the camera, in one colour, shown whole.
void fillCloud(twl::Mat &m, uchar r, uchar g, uchar b) {
    GlobalParams::setInt(PARAM_DISPLAY_WIDTH, int(m.getWidth()));
    GlobalParams::setInt(PARAM_DISPLAY_HEIGHT, int(m.getHeight()));
    for (size_t y = 0; y < m.getHeight(); ++y)
        for (size_t x = 0; x < m.getWidth(); ++x)
            m.setValue(x, y,
                       twl::Vector4<float>(0.02f * float(x) - 0.1f, 0.02f * float(y) - 0.05f, -1.0f,
                                           twl::packColor(r, g, b)),
                       twl::MEM_GPU);
}

int pixelsNear(const QImage &image, int r, int g, int b) {
    return TestSupport::countNear(image, r, g, b, 8);
}

// Shows `view` filling `window`; a view moved to another top-level window gets another context.
bool showIn(QWidget &window, QWidget *view, QSize size) {
    window.resize(size);
    view->setParent(&window);
    view->resize(size);
    view->show();
    window.show();
    return QTest::qWaitForWindowExposed(&window);
}

QImage frameOf(OGL3DWidget *view) {
    view->setActive(true);
    view->Ingest();
    view->grabFramebuffer();
    return view->grabFramebuffer();
}

} // namespace

class TestGlResources : public QObject {
    Q_OBJECT
private slots:
    void init() { GlobalParams::reset(); }

    void aShaderThatDoesNotBuildLeavesNoProgram() {
        QOffscreenSurface surface;
        surface.setFormat(GlSurface::compatibilityFormat());
        surface.create();
        QOpenGLContext context;
        context.setFormat(GlSurface::compatibilityFormat());
        QVERIFY(context.create());
        QVERIFY(context.makeCurrent(&surface));
        QVERIFY(GlSurface::initGlew());
        {
            OGLShader good(ShaderSources::meshVertex, ShaderSources::translucentFragment);
            QVERIFY(good.isLinked() && good.getProgramId() != 0);
            OGLShader bad(ShaderSources::meshVertex, "void main() { this is not a shader }");
            QVERIFY(!bad.isLinked());
            QCOMPARE(bad.getProgramId(), 0u);
            OGLShader unlinkable(ShaderSources::meshVertex, "void helper() {}");
            QVERIFY(!unlinkable.isLinked()); // compiles, but no main(): the link fails
            QCOMPARE(unlinkable.getProgramId(), 0u);
        }
        context.doneCurrent();
    }

    void pointCloudViewDrawsNothingWithoutItsShaders() {
        // Mesa reads a shader's source from MESA_SHADER_READ_PATH under its hash: a driver that rejects it.
        QTemporaryDir dir;
        QFile broken(dir.filePath(
            "VS_" + QCryptographicHash::hash(ShaderSources::pointVertex, QCryptographicHash::Sha1).toHex() +
            ".glsl"));
        QVERIFY(broken.open(QIODevice::WriteOnly));
        broken.write("#version 330 core\nvoid main() { not a shader }\n");
        broken.close();
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("MESA_SHADER_READ_PATH", dir.path());
        child.setProcessEnvironment(env);
        child.start(QCoreApplication::applicationFilePath(), {"brokenShaderChild"});
        QVERIFY(child.waitForFinished(60000));
        const QString out = QString::fromUtf8(child.readAllStandardOutput());
        if (out.contains("replacement not read")) QSKIP("this OpenGL does not read replacement shaders");
        QVERIFY2(child.exitCode() == 0, qPrintable(out + child.readAllStandardError()));
        QVERIFY2(out.contains("shaders do not build"), qPrintable(out)); // the message says why it is dark
    }

    // Views handed their data before any window shows wait for a context; a view moved to another
    // top-level window gets another one: both views rebuild what they drew with.
    void viewsSetUpLateAndRebuildInANewContext() {
        QWidget first, second;
        auto *image = new OGL2DWidget(&first);
        auto *cloudView = new OGL3DWidget(&first);
        twl::Mat picture(320, 180, twl::MAT_TYPE_8U_C4, twl::MEM_GPU);
        TestSupport::fill(picture, 0, 320, 0, 180, 0, 0, 255);
        QSignalSpy started(image, &OGL2DWidget::init);
        image->cudaContext = twl::deviceContext();
        image->devicePtr = picture.getPtr<uchar>(twl::MEM_GPU);
        image->InitGLProcess(320, 180, int(picture.getStepBytes(twl::MEM_GPU)));
        twl::Mat cloud(10, 6, twl::MAT_TYPE_32F_C4, twl::MEM_GPU);
        fillCloud(cloud, 255, 0, 0);
        cloudView->InitProcess(reinterpret_cast<int *>(&cloud));
        twl::CameraInformation info; // a field of view: the frustum is built with the scene
        info.calibration_parameters.left_cam.h_fov = 90.0f;
        info.calibration_parameters.left_cam.v_fov = 60.0f;
        cloudView->GetVEXOParam(reinterpret_cast<int *>(&info));
        QVERIFY(started.isEmpty() && !image->isActive() && !cloudView->isInteropReady());
        QVERIFY(showIn(first, image, QSize(320, 180)) && showIn(first, cloudView, QSize(320, 240)));
        QTRY_VERIFY(started.count() == 1 && image->isActive() && cloudView->isInteropReady());
        QVERIFY(cloudView->isActive() && cloudView->frustumVertexCount() > 0);
        QVERIFY(TestSupport::near(image->grabFramebuffer().pixel(160, 90), 255, 0, 0));
        for (int i = 0; i < 12; ++i) // bigger points
            QTest::keyClick(cloudView, Qt::Key_P);
        QVERIFY(pixelsNear(frameOf(cloudView), 255, 0, 0) > 20);
        QSignalSpy gone(image->context(), &QOpenGLContext::aboutToBeDestroyed);
        QVERIFY(showIn(second, image, QSize(320, 180)) && showIn(second, cloudView, QSize(320, 240)));
        QCOMPARE(gone.count(), 1);
        QTRY_VERIFY(image->isActive() && cloudView->isInteropReady());
        QVERIFY(cloudView->frustumVertexCount() > 0);
        TestSupport::fill(picture, 0, 320, 0, 180, 0, 255, 0);
        const QImage shot = image->grabFramebuffer();
        QVERIFY2(TestSupport::near(shot.pixel(160, 90), 0, 255, 0),
                 qPrintable(TestSupport::describe(shot.pixel(160, 90))));
        fillCloud(cloud, 0, 0, 255);
        const QImage cloudShot = frameOf(cloudView);
        QVERIFY2(pixelsNear(cloudShot, 0, 0, 255) > 20, "nothing drawn after the context changed");
        QCOMPARE(pixelsNear(cloudShot, 255, 0, 0), 0);
    }
};

// Child of pointCloudViewDrawsNothingWithoutItsShaders: fails when anything but the background was drawn.
static int brokenShaderChild(int argc, char **argv) {
    TestSupport::useAppSurfaceFormat();
    QApplication app(argc, argv);
    QWidget window;
    auto *view = new OGL3DWidget(&window);
    if (!showIn(window, view, QSize(320, 240))) return 2;
    twl::Mat cloud(10, 6, twl::MAT_TYPE_32F_C4, twl::MEM_GPU);
    fillCloud(cloud, 255, 0, 0);
    view->InitProcess(reinterpret_cast<int *>(&cloud));
    const QImage shot = frameOf(view);
    view->makeCurrent();
    // Qt's own GL entry points: GLEW and Qt's GL headers cannot meet in one file.
    QOpenGLFunctions *gl = view->context()->functions();
    const GLuint probe = gl->glCreateShader(GL_VERTEX_SHADER);
    const char *source = ShaderSources::pointVertex;
    gl->glShaderSource(probe, 1, &source, nullptr);
    gl->glCompileShader(probe);
    GLint compiled = GL_FALSE;
    gl->glGetShaderiv(probe, GL_COMPILE_STATUS, &compiled);
    gl->glDeleteShader(probe);
    if (compiled) std::printf("replacement not read\n");
    const int drawn = shot.width() * shot.height() - pixelsNear(shot, 0, 0, 0) - pixelsNear(shot, 31, 31, 31);
    std::printf("drawn pixels: %d\n", drawn);
    std::fflush(stdout);
    return drawn == 0 ? 0 : 1;
}

int main(int argc, char **argv) {
    if (argc > 1 && QByteArray(argv[1]) == "brokenShaderChild") return brokenShaderChild(1, argv);
    TestSupport::useAppSurfaceFormat();
    QApplication app(argc, argv);
    TestGlResources test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_gl_resources.moc"
