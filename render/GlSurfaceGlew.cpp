// Loading the GL entry points, apart from the rest of GlSurface: GLEW's
// header and Qt's GL headers must not meet in one file.
#include <GL/glew.h>

#include "render/GlSurface.h"
#include "render/RenderLog.h"

#include <iostream>

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
    qCDebug(lcRender).noquote() << "OpenGL" << reinterpret_cast<const char *>(glGetString(GL_VERSION)) << "by"
                                << reinterpret_cast<const char *>(glGetString(GL_RENDERER));
    return true;
}
