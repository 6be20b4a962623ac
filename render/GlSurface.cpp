#include <GL/glew.h>

#include "render/GlSurface.h"

#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QOpenGLWidget>

#include <cstring>
#include <iostream>

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

bool GlSurface::initGlew() {
    glewExperimental = GL_TRUE;
    GLenum status = glewInit();
    // GLEW checks the window-system layer after loading the core entry
    // points; an EGL context fails that check without missing anything here.
    if (status != GLEW_OK && status != GLEW_ERROR_NO_GLX_DISPLAY) {
        std::cout << "GLEW: " << glewGetErrorString(status) << std::endl;
        return false;
    }
    if (!GLEW_VERSION_3_3 || !glCreateShader || !glGenVertexArrays || !glMapBufferRange) {
        std::cout << "GLEW: OpenGL 3.3 entry points missing" << std::endl;
        return false;
    }
    return true;
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
    const char *renderer = reinterpret_cast<const char *>(glGetString(GL_RENDERER));
    const bool software = renderer && (std::strstr(renderer, "llvmpipe") || std::strstr(renderer, "softpipe") ||
                                       std::strstr(renderer, "Software") || std::strstr(renderer, "SwiftShader"));
    context.doneCurrent();
    return software ? 0 : 4;
}
