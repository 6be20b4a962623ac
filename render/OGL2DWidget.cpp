#include <GL/glew.h>

#include "render/OGL2DWidget.h"

#include "common/GlobalParams.h"
#include "render/DepthScale.h"
#include "render/FrameLock.h"
#include "render/FrameProbe.h"
#include "render/GlSurface.h"
#include "render/GpuGlBridge.h"
#include "render/ShaderSources.h"
#include "twl/core/DeviceMemory.h"

#include <QMouseEvent>
#include <QPainter>
#include <cmath>
#include <cstdlib>
#include <iostream>

OGL2DWidget::OGL2DWidget(QWidget *parent) : QOpenGLWidget(parent), bridge(std::make_unique<GpuGlBridge>()) {
    setFormat(GlSurface::compatibilityFormat());
    // Moves without a button feed the read-out under the pointer.
    setMouseTracking(true);
    if (parent) {
        viewWidth = drawWidth = parent->width();
        viewHeight = drawHeight = parent->height();
    }
}

OGL2DWidget::~OGL2DWidget() {
    // The base class destroys the context after this destructor: its signal must not reach us then.
    QObject::disconnect(contextLoss);
    if (context() && glReady) {
        makeCurrent();
        bridge->unregister();
        deleteTexture();
        if (program) glDeleteProgram(program);
        if (fragmentShader) glDeleteShader(fragmentShader);
        doneCurrent();
    }
}

void OGL2DWidget::setActive(bool value) {
    active = value;
}

QRect OGL2DWidget::letterbox() const {
    return QRect(offsetX, offsetY, drawWidth, drawHeight);
}

void OGL2DWidget::initializeGL() {
    makeCurrent();
    glReady = GlSurface::initGlew();
    if (!glReady) return;
    // Moving the view to another top-level window replaces its context: the
    // texture, program and registration die with the old one and are rebuilt
    // in the next initializeGL().
    QObject::disconnect(contextLoss);
    contextLoss = GlSurface::onContextLoss(this, [this] { releaseGl(); });
    glLoadIdentity();
    glClearColor(0.0f, 0.0f, 0.0f, 1.0f);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);

    fragmentShader = glCreateShader(GL_FRAGMENT_SHADER);
    const char *source = ShaderSources::imageFragment;
    glShaderSource(fragmentShader, 1, &source, nullptr);
    glCompileShader(fragmentShader);
    GLint ok = GL_FALSE;
    glGetShaderiv(fragmentShader, GL_COMPILE_STATUS, &ok);
    if (ok != GL_TRUE) std::cout << "ERROR: the image view's shader does not compile" << std::endl;
    program = glCreateProgram();
    glAttachShader(program, fragmentShader);
    glLinkProgram(program);
    glGetProgramiv(program, GL_LINK_STATUS, &ok);
    if (ok != GL_TRUE) {
        // Program 0 would draw the raw texture with red and blue swapped: draw nothing instead.
        std::cout << "ERROR: the image view's shader program does not link; the view stays dark" << std::endl;
        glDeleteProgram(program);
        program = 0;
    } else {
        glUseProgram(program);
        glUniform1i(glGetUniformLocation(program, "texImage"), 0);
        glUseProgram(0);
    }
    glShadeModel(GL_SMOOTH);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    glEnable(GL_DEPTH_TEST);
    glHint(GL_PERSPECTIVE_CORRECTION_HINT, GL_NICEST);

    // A picture handed over before the widget was first shown is bound now.
    if (pendingBind) {
        pendingBind = false;
        bindTexture();
    }
}

void OGL2DWidget::releaseGl() {
    makeCurrent();
    bridge->unregister();
    if (texture && devicePtr) pendingBind = true;
    deleteTexture();
    if (program) glDeleteProgram(program);
    if (fragmentShader) glDeleteShader(fragmentShader);
    program = fragmentShader = 0;
    glReady = active = false;
    doneCurrent();
}

void OGL2DWidget::InitGLProcess(int w, int h, int step) {
    pictureWidth = w;
    pictureHeight = h;
    picturePitch = step;
    active = false;
    if (w <= 0 || h <= 0 || step < w * 4) {
        std::cout << GpuGlBridge::errorName(InteropError::InvalidValue) << std::endl;
        return;
    }
    if (!context() || !glReady) {
        // No GL context before the first show: bind as soon as there is one.
        pendingBind = true;
        return;
    }
    bindTexture();
}

bool OGL2DWidget::bindTexture() {
    makeCurrent();
    twl::deviceMakeCurrent(cudaContext);
    // A new session replaces the previous texture and its registration.
    bridge->unregister();
    deleteTexture();

    glEnable(GL_TEXTURE_2D);
    glGenTextures(1, &texture);
    glBindTexture(GL_TEXTURE_2D, texture);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    // Keeps linear filtering from pulling the opposite edge into the border rows.
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA, pictureWidth, pictureHeight, 0, GL_BGRA, GL_UNSIGNED_BYTE,
                 nullptr);
    glBindTexture(GL_TEXTURE_2D, 0);

    InteropError error = bridge->registerImage(texture);
    if (error != InteropError::Success) {
        std::cout << GpuGlBridge::errorName(error) << std::endl;
        return false;
    }
    resizeGL(width(), height());
    active = true;
    emit init(true);
    return true;
}

void OGL2DWidget::deleteTexture() {
    if (texture && context()) {
        glDeleteTextures(1, &texture);
    }
    texture = 0;
}

QRect OGL2DWidget::fitPicture(int viewW, int viewH, int pictureW, int pictureH) {
    if (pictureW <= 0 || pictureH <= 0 || viewW <= 0 || viewH <= 0) return QRect(0, 0, viewW, viewH);
    const float aspect = float(pictureW) / float(pictureH);
    if (float(viewW) / float(viewH) > aspect) {
        const int w = int(float(viewH) * aspect);
        return QRect(std::abs(viewW - w) / 2, 0, w, viewH);
    }
    const int h = int(float(viewW) / aspect);
    return QRect(0, std::abs(viewH - h) / 2, viewW, h);
}

void OGL2DWidget::resizeGL(int w, int h) {
    if (viewWidth < 0 || viewHeight < 0) {
        viewWidth = w;
        viewHeight = h;
        return;
    }
    viewWidth = w;
    viewHeight = h;
    if (pictureWidth <= 0 || pictureHeight <= 0 || w <= 0 || h <= 0) return;
    const QRect box = fitPicture(w, h, pictureWidth, pictureHeight);
    offsetX = box.x();
    offsetY = box.y();
    drawWidth = box.width();
    drawHeight = box.height();
}

void OGL2DWidget::clearView() {
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    glClearColor(0.0f, 0.0f, 0.0f, 1.0f);
}

void OGL2DWidget::paintGL() {
    if (!glReady) return;
    if (!active || !devicePtr || !bridge->isRegistered() || !program) {
        // Keep the view black instead of whatever the framebuffer held.
        glClearColor(0.0f, 0.0f, 0.0f, 1.0f);
        glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
        return;
    }
    makeCurrent();
    twl::deviceMakeCurrent(cudaContext);
    // Without the frame lock the texture keeps the previous picture.
    FrameLock frameLock(frameMutex);
    if (frameLock.locked() && bridge->map() == InteropError::Success) {
        bridge->copy2D(devicePtr, size_t(picturePitch), size_t(pictureWidth) * 4, size_t(pictureHeight));
        frameLock.unlock();
        bridge->unmap();
    }
    frameLock.unlock();

    const float w = float(width()), h = float(height());
    const float left = -1.0f + 2.0f * float(offsetX) / w, right = 1.0f - 2.0f * float(offsetX) / w;
    const float bottom = -1.0f + 2.0f * float(offsetY) / h, top = 1.0f - 2.0f * float(offsetY) / h;
    const GLfloat vertices[8] = {left, bottom, right, bottom, right, top, left, top};
    const GLfloat texCoords[8] = {0.0f, 1.0f, 1.0f, 1.0f, 1.0f, 0.0f, 0.0f, 0.0f};

    glClearColor(0.12f, 0.12f, 0.12f, 1.0f);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    // Client-side arrays need the default vertex array and no array buffer.
    glBindVertexArray(0);
    glBindBuffer(GL_ARRAY_BUFFER, 0);
    glEnable(GL_TEXTURE_2D);
    glActiveTexture(GL_TEXTURE0);
    glBindTexture(GL_TEXTURE_2D, texture);
    glUseProgram(program);
    glEnableClientState(GL_VERTEX_ARRAY);
    glEnableClientState(GL_TEXTURE_COORD_ARRAY);
    glVertexPointer(2, GL_FLOAT, 0, vertices);
    glTexCoordPointer(2, GL_FLOAT, 0, texCoords);
    glDrawArrays(GL_QUADS, 0, 4);
    glDisableClientState(GL_TEXTURE_COORD_ARRAY);
    glDisableClientState(GL_VERTEX_ARRAY);
    glUseProgram(0);
    glBindTexture(GL_TEXTURE_2D, 0);
    paintOverlays();
}

void OGL2DWidget::paintOverlays() {
    const bool scale = showsDepthScale && GlobalParams::getInt(PARAM_DEPTH_VIEW) == twl::VIEW_DEPTH;
    FrameProbe::Measure measure;
    if (probe && probe->isBound() && picksPoints()) measure = probe->measure();
    if (!scale && !measure.first) return;
    const QRect box = fitPicture(width(), height(), pictureWidth, pictureHeight);
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);
    if (scale) {
        const twl::DepthRange range{float(GlobalParams::getDouble(PARAM_RANGE_NEAR)),
                                    float(GlobalParams::getDouble(PARAM_RANGE_FAR))};
        DepthScale::paint(painter, box, range,
                          twl::DepthColormap::fromIndex(GlobalParams::getInt(PARAM_DEPTH_COLORMAP)));
    }
    if (measure.first) paintMarks(painter, box, measure);
    painter.end();
}

void OGL2DWidget::paintMarks(QPainter &painter, const QRect &box, const FrameProbe::Measure &m) {
    const auto at = [&box](double fx, double fy) {
        return QPointF(box.x() + fx * box.width(), box.y() + fy * box.height());
    };
    const QPointF a = at(GlobalParams::getDouble(PARAM_CLICK_X), GlobalParams::getDouble(PARAM_CLICK_Y));
    const QColor first(36, 194, 93), second(255, 184, 28);
    if (m.second) {
        const QPointF b = at(GlobalParams::getDouble(PARAM_CLICK2_X), GlobalParams::getDouble(PARAM_CLICK2_Y));
        painter.setPen(QPen(second, 2));
        painter.drawLine(a, b);
        const QString text = m.length >= 0 ? FrameProbe::lengthText(m.length) : QStringLiteral("N/A");
        const QFontMetrics fm(painter.font());
        QRectF label(0, 0, fm.horizontalAdvance(text) + 8, fm.height() + 2);
        label.moveCenter((a + b) / 2 + QPointF(0, -fm.height()));
        painter.fillRect(label, QColor(0, 0, 0, 170));
        painter.drawText(label, Qt::AlignCenter, text);
        painter.setPen(QPen(Qt::black, 1));
        painter.setBrush(second);
        painter.drawEllipse(b, 4.5, 4.5);
    }
    painter.setPen(QPen(Qt::black, 1));
    painter.setBrush(first);
    painter.drawEllipse(a, 4.5, 4.5);
    painter.setBrush(Qt::NoBrush);
}

bool OGL2DWidget::picksPoints() const {
    return !isImageView || GlobalParams::getInt(PARAM_IMAGE_VIEW) == 0;
}

bool OGL2DWidget::pictureFraction(const QPoint &pos, QPointF *fraction) const {
    if (width() <= 0 || height() <= 0) return false;
    // Picture coordinates: the grey bands around a letterboxed picture are
    // not part of it. The box is worked out from the size the widget has
    // now, which a resize may have changed since the last paint.
    const QRect box = fitPicture(width(), height(), pictureWidth, pictureHeight);
    if (!box.contains(pos) || box.width() <= 0 || box.height() <= 0) return false;
    *fraction = QPointF(double(pos.x() - box.x()) / double(box.width()),
                        double(pos.y() - box.y()) / double(box.height()));
    return true;
}

void OGL2DWidget::mouseReleaseEvent(QMouseEvent *event) {
    if (event->button() == Qt::RightButton) {
        for (int i : {PARAM_CLICK_X, PARAM_CLICK_Y, PARAM_CLICK2_X, PARAM_CLICK2_Y})
            GlobalParams::setDouble(i, -1.0);
        update();
        return;
    }
    QPointF f;
    if (!picksPoints() || event->button() != Qt::LeftButton || !pictureFraction(event->pos(), &f)) return;
    if (event->modifiers() & Qt::ShiftModifier) {
        emit secondPointPicked(f);
        return;
    }
    // A plain click starts a measure over from this point.
    GlobalParams::setDouble(PARAM_CLICK_X, f.x());
    GlobalParams::setDouble(PARAM_CLICK_Y, f.y());
    GlobalParams::setDouble(PARAM_CLICK2_X, -1.0);
    GlobalParams::setDouble(PARAM_CLICK2_Y, -1.0);
    update();
}

void OGL2DWidget::mouseMoveEvent(QMouseEvent *event) {
    QPointF f;
    if (pictureFraction(event->pos(), &f))
        emit pointerMoved(f);
    else
        emit pointerLeft();
}

void OGL2DWidget::leaveEvent(QEvent *event) {
    QOpenGLWidget::leaveEvent(event);
    emit pointerLeft();
}

void OGL2DWidget::release() {
    devicePtr = nullptr;
    frameMutex = nullptr;
    active = false;
    pendingBind = false;
    if (!context()) return;
    makeCurrent();
    bridge->unregister();
    deleteTexture();
    glLoadIdentity();
    clearView();
}

void OGL2DWidget::fullDisplay() {
    if (!isVisible()) return;
    if (context()) {
        makeCurrent();
        glLoadIdentity();
        clearView();
    }
    update();
}
