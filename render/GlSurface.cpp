#include <GL/glew.h>

#include "render/GlSurface.h"

#include <iostream>

QSurfaceFormat GlSurface::compatibilityFormat() {
    QSurfaceFormat format = QSurfaceFormat::defaultFormat();
    format.setRenderableType(QSurfaceFormat::OpenGL);
    format.setProfile(QSurfaceFormat::CompatibilityProfile);
    if (format.version() < qMakePair(3, 3))
        format.setVersion(3, 3);
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
    if (!glCreateShader || !glGenVertexArrays || !glMapBufferRange) {
        std::cout << "GLEW: OpenGL 3.3 entry points missing" << std::endl;
        return false;
    }
    return true;
}
