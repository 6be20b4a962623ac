#pragma once
// What both views need from their GL context: fixed-function calls next to
// GLSL 3.30 programs, and the entry points loaded through GLEW.

#include <QObject>
#include <QSurfaceFormat>

#include <functional>

class QOpenGLWidget;

class GlSurface {
public:
    /// The application's default format (samples, buffering) asking for a
    /// compatibility context; the views check for 3.3 entry points themselves.
    static QSurfaceFormat compatibilityFormat();
    /// Loads the GL entry points for the current context; false (with a line
    /// on standard output) when OpenGL 3.3 is not usable.
    static bool initGlew();
    /// Runs `release` just before the widget's current context is destroyed
    /// (the widget moved to another top-level window, or it goes away), with
    /// that context still usable. Disconnect before the widget is destroyed.
    static QMetaObject::Connection onContextLoss(QOpenGLWidget *widget, std::function<void()> release);
    /// Multisampling to ask for: 4, or none when OpenGL is rendered in
    /// software, where 4 samples cost about three times the drawing time of
    /// a repaint and the views could no longer keep up with the camera.
    /// VANTARO_GL_SAMPLES overrides the choice. Needs the application object.
    static int preferredSamples();
    /// Whether the current context is rendered in software (llvmpipe,
    /// softpipe, SwiftShader and the like).
    static bool isSoftwareRenderer();
};
