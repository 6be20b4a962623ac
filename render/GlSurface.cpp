// No GLEW here: Qt's GL headers warn when they follow it, so initGlew()
// lives in GlSurfaceGlew.cpp.
#include "render/GlSurface.h"

#include "render/RenderLog.h"

#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QOpenGLWidget>

#include <cstring>

QMetaObject::Connection GlSurface::onContextLoss(QOpenGLWidget *widget, std::function<void()> release) {
    return QObject::connect(widget->context(), &QOpenGLContext::aboutToBeDestroyed, widget,
                            std::move(release));
}

QSurfaceFormat GlSurface::compatibilityFormat() {
    QSurfaceFormat format = QSurfaceFormat::defaultFormat();
    format.setRenderableType(QSurfaceFormat::OpenGL);
    // Asking for a legacy (2.0) context is what reliably yields the newest
    // compatibility profile: with Mesa, any 3.x request through GLX comes
    // back as a core profile, where the fixed-function calls fail.
    format.setVersion(2, 0);
    format.setProfile(QSurfaceFormat::CompatibilityProfile);
    return format;
}

int GlSurface::preferredSamples() {
    bool overridden = false;
    const int samples = qEnvironmentVariableIntValue("VANTARO_GL_SAMPLES", &overridden);
    if (overridden)
        return qBound(0, samples, 16);
    QOffscreenSurface surface;
    surface.create();
    QOpenGLContext context;
    if (!context.create() || !context.makeCurrent(&surface))
        return 4;
    const bool software = isSoftwareRenderer();
    context.doneCurrent();
    return software ? 0 : 4;
}

bool GlSurface::isSoftwareRenderer() {
    const char *renderer = reinterpret_cast<const char *>(glGetString(GL_RENDERER));
    return renderer && (std::strstr(renderer, "llvmpipe") || std::strstr(renderer, "softpipe") ||
                        std::strstr(renderer, "Software") || std::strstr(renderer, "SwiftShader"));
}
