// vantaro-bench views [--frames N]: the cost of one repaint of each view at
// HD720 under the current OpenGL (Mesa's software renderer under Xvfb here).
// Image view: hand-over of a 1280 x 720 BGRA device matrix into its texture
// and the letterboxed draw. Point-cloud view: hand-over of a 640 x 360 cloud
// (the HD720 display size) into the vertex buffer and the draw of the
// points (thinned to a quarter by a software renderer while playing; the
// "every_point" line draws them all) with the scene meshes. glFinish closes every measurement, so the
// figures include the driver's real work, not just the queued commands.
// Parts: "copy" is the hand-over alone, "copy_and_draw" adds the view's own
// drawing into its framebuffer, "repaint" (or "copy_and_repaint") is the
// whole widget repaint including the window's composition.
#include "bench/Benchmarks.h"

#include <GL/glew.h>

#include "common/GlobalParams.h"
#include "render/GpuGlBridge.h"
#include "render/OGL2DWidget.h"
#include "render/OGL3DWidget.h"
#include "twl/core/DeviceMemory.h"
#include "twl/core/Mat.h"
#include "twl/io/Export.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QSurfaceFormat>
#include <QWidget>
#include <QWindow>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <vector>

namespace {

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

std::vector<double> timeFrames(int frames, const std::function<void()> &frame) {
    std::vector<double> ms;
    frame(); // warm-up: first upload, shader compilation
    for (int i = 0; i < frames; ++i) {
        QElapsedTimer timer;
        timer.start();
        frame();
        ms.push_back(double(timer.nsecsElapsed()) / 1e6);
    }
    return ms;
}

void report(const char *view, const char *part, int width, int height, const std::vector<double> &ms,
            const char *renderer) {
    std::printf("{\"family\":\"views\",\"view\":\"%s\",\"part\":\"%s\",\"size\":\"%dx%d\",\"frames\":%d,"
                "\"median_ms\":%.3f,\"min_ms\":%.3f,\"max_ms\":%.3f,\"renderer\":\"%s\"}\n",
                view, part, width, height, int(ms.size()), median(ms),
                ms.empty() ? 0.0 : *std::min_element(ms.begin(), ms.end()),
                ms.empty() ? 0.0 : *std::max_element(ms.begin(), ms.end()), renderer);
    std::fflush(stdout);
}

// Paints into the view's own framebuffer only, without the window's composition.
class BenchImageView : public OGL2DWidget {
public:
    using OGL2DWidget::OGL2DWidget;
    void paintOnly() {
        makeCurrent();
        paintGL();
    }
};

// Lets the event loop run until the window is on screen, so that repaint()
// really paints.
bool waitExposed(QWidget &window) {
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 5000) {
        QApplication::processEvents(QEventLoop::AllEvents, 20);
        if (window.windowHandle() && window.windowHandle()->isExposed()) return true;
    }
    return false;
}

} // namespace

int runViewsBenchmark(int argc, char **argv) {
    int frames = 60;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--frames") && i + 1 < argc) {
            frames = std::max(1, std::atoi(argv[++i]));
        } else {
            std::fprintf(stderr, "usage: vantaro-bench views [--frames N]\n");
            return 2;
        }
    }

    // The same surface format as the viewer.
    QSurfaceFormat format;
    format.setSamples(4);
    format.setSwapBehavior(QSurfaceFormat::DoubleBuffer);
    QSurfaceFormat::setDefaultFormat(format);
    int qtArgc = 1;
    char name[] = "vantaro-bench";
    char *qtArgv[] = {name, nullptr};
    QApplication app(qtArgc, qtArgv);
    GlobalParams::reset();

    // Image view: an HD720 picture in a 1280 x 720 view.
    const int imageW = 1280, imageH = 720;
    QWidget imageWindow;
    imageWindow.resize(imageW, imageH);
    auto *imageView = new BenchImageView(&imageWindow);
    imageView->resize(imageW, imageH);
    imageWindow.show();
    if (!waitExposed(imageWindow) || !imageView->context()) {
        std::fprintf(stderr, "vantaro-bench views: no OpenGL context (is a display available?)\n");
        return 1;
    }
    imageView->makeCurrent();
    char renderer[128] = {0};
    if (const GLubyte *r = glGetString(GL_RENDERER))
        std::snprintf(renderer, sizeof renderer, "%s", reinterpret_cast<const char *>(r));
    for (char &c : renderer)
        if (c == '"' || c == '\\') c = ' ';

    twl::Mat picture(imageW, imageH, twl::MAT_TYPE_8U_C4, twl::MEM_GPU);
    for (int y = 0; y < imageH; ++y) {
        unsigned char *row =
            picture.getPtr<unsigned char>(twl::MEM_GPU) + size_t(y) * picture.getStepBytes(twl::MEM_GPU);
        for (int x = 0; x < imageW; ++x) {
            row[x * 4 + 0] = uchar(x);
            row[x * 4 + 1] = uchar(y);
            row[x * 4 + 2] = uchar(x ^ y);
            row[x * 4 + 3] = 255;
        }
    }
    imageView->cudaContext = twl::deviceContext();
    imageView->devicePtr = picture.getPtr<unsigned char>(twl::MEM_GPU);
    imageView->InitGLProcess(imageW, imageH, int(picture.getStepBytes(twl::MEM_GPU)));
    if (!imageView->isActive()) {
        std::fprintf(stderr, "vantaro-bench views: the image view could not bind its texture\n");
        return 1;
    }
    // repaint() paints at once: hand-over, draw and composition into the window.
    auto imageFrame = [&] {
        imageView->repaint();
        imageView->makeCurrent();
        glFinish();
    };
    int painted = 0;
    QObject::connect(imageView, &QOpenGLWidget::frameSwapped, [&painted] { ++painted; });
    auto imageDraw = [&] {
        imageView->paintOnly();
        glFinish();
    };
    report("image", "copy_and_draw", imageW, imageH, timeFrames(frames, imageDraw), renderer);
    report("image", "repaint", imageW, imageH, timeFrames(frames, imageFrame), renderer);
    if (painted < frames)
        std::fprintf(stderr, "vantaro-bench views: only %d of %d image repaints reached the screen\n",
                     painted, frames + 1);
    {
        // The hand-over alone, into a texture of the same kind.
        imageView->makeCurrent();
        GLuint texture = 0;
        glGenTextures(1, &texture);
        glBindTexture(GL_TEXTURE_2D, texture);
        glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA, imageW, imageH, 0, GL_BGRA, GL_UNSIGNED_BYTE, nullptr);
        glBindTexture(GL_TEXTURE_2D, 0);
        GpuGlBridge bridge;
        if (bridge.registerImage(texture) == InteropError::Success) {
            auto upload = [&] {
                bridge.map();
                bridge.copy2D(picture.getPtr<unsigned char>(twl::MEM_GPU), picture.getStepBytes(twl::MEM_GPU),
                              size_t(imageW) * 4, size_t(imageH));
                bridge.unmap();
                glFinish();
            };
            report("image", "copy", imageW, imageH, timeFrames(frames, upload), renderer);
        }
        bridge.unregister();
        glDeleteTextures(1, &texture);
    }
    imageWindow.hide();

    // Point-cloud view: a 640 x 360 cloud, a surface two to five metres away.
    const int cloudW = 640, cloudH = 360;
    GlobalParams::setInt(PARAM_DISPLAY_WIDTH, cloudW);
    GlobalParams::setInt(PARAM_DISPLAY_HEIGHT, cloudH);
    GlobalParams::setInt(PARAM_DEPTH_MAX, 20000);
    GlobalParams::setDouble(PARAM_DEPTH_MIN, 0.3);
    GlobalParams::setDouble(PARAM_CLICK_X, 0.5);
    GlobalParams::setDouble(PARAM_CLICK_Y, 0.5);
    twl::Mat cloud(cloudW, cloudH, twl::MAT_TYPE_32F_C4, twl::MEM_GPU);
    for (int y = 0; y < cloudH; ++y)
        for (int x = 0; x < cloudW; ++x) {
            const float z = -2.0f - 3.0f * float(y) / float(cloudH) - 0.3f * std::sin(float(x) * 0.05f);
            const float px = (float(x) - cloudW / 2.0f) / 500.0f * -z;
            const float py = (cloudH / 2.0f - float(y)) / 500.0f * -z;
            cloud.setValue(size_t(x), size_t(y),
                           twl::Vector4<float>(px, py, z, twl::packColor(uchar(x), uchar(y), uchar(128))),
                           twl::MEM_GPU);
        }
    QWidget cloudWindow;
    cloudWindow.resize(1280, 720);
    auto *cloudView = new OGL3DWidget(&cloudWindow);
    cloudView->resize(1280, 720);
    cloudWindow.show();
    if (!waitExposed(cloudWindow) || !cloudView->context()) {
        std::fprintf(stderr, "vantaro-bench views: no OpenGL context for the point-cloud view\n");
        return 1;
    }
    twl::deviceMakeCurrent(twl::deviceContext());
    cloudView->InitProcess(reinterpret_cast<int *>(&cloud));
    twl::CameraInformation info;
    info.calibration_parameters.left_cam.h_fov = 85.0f;
    info.calibration_parameters.left_cam.v_fov = 54.0f;
    cloudView->GetVEXOParam(reinterpret_cast<int *>(&info));
    if (!cloudView->isInteropReady()) {
        std::fprintf(stderr, "vantaro-bench views: the point-cloud view could not register its buffer\n");
        return 1;
    }
    auto ingestOnly = [&] {
        cloudView->setActive(true);
        cloudView->Ingest();
        glFinish();
    };
    report("point_cloud", "copy", cloudW, cloudH, timeFrames(frames, ingestOnly), renderer);
    auto cloudDraw = [&] {
        cloudView->setActive(true);
        cloudView->Ingest();
        cloudView->visualize();
        glFinish();
    };
    report("point_cloud", "copy_and_draw", cloudW, cloudH, timeFrames(frames, cloudDraw), renderer);
    auto cloudFrame = [&] {
        cloudView->setActive(true);
        cloudView->Ingest();
        cloudView->repaint();
        cloudView->makeCurrent();
        glFinish();
    };
    report("point_cloud", "copy_and_repaint", cloudW, cloudH, timeFrames(frames, cloudFrame), renderer);
    // A software renderer thins the cloud while it plays; this is every point.
    GlobalParams::setBool(PARAM_PAINT_ALL, true);
    report("point_cloud", "copy_and_repaint_every_point", cloudW, cloudH, timeFrames(frames, cloudFrame),
           renderer);
    GlobalParams::setBool(PARAM_PAINT_ALL, false);
    return 0;
}
