#include <GL/glew.h>

#include "render/OGL3DWidget.h"

#include "render/GlSurface.h"
#include "render/GpuGlBridge.h"

OGL3DWidget::OGL3DWidget(QWidget *parent) : QOpenGLWidget(parent), bridge(std::make_unique<GpuGlBridge>()) {
    setFormat(GlSurface::compatibilityFormat());
    setFocusPolicy(Qt::StrongFocus);
}

OGL3DWidget::~OGL3DWidget() = default;

void OGL3DWidget::setActive(bool value) { active = value; }
void OGL3DWidget::updateFrustum() {}
void OGL3DWidget::releaseScene() {}
QString OGL3DWidget::distanceText() const { return QString(); }
int OGL3DWidget::cameraModelVertexCount() const { return 0; }
int OGL3DWidget::frustumVertexCount() const { return 0; }
int OGL3DWidget::measureLineVertexCount() const { return 0; }
std::vector<float> OGL3DWidget::frustumVertices() const { return {}; }
void OGL3DWidget::InitProcess(int *) {}
void OGL3DWidget::GetVEXOParam(int *) {}
void OGL3DWidget::ResetPosition() {}
void OGL3DWidget::visualize() {}
void OGL3DWidget::Ingest() {}
void OGL3DWidget::mousePressEvent(QMouseEvent *) {}
void OGL3DWidget::mouseReleaseEvent(QMouseEvent *) {}
void OGL3DWidget::mouseMoveEvent(QMouseEvent *) {}
void OGL3DWidget::wheelEvent(QWheelEvent *) {}
void OGL3DWidget::keyPressEvent(QKeyEvent *) {}
void OGL3DWidget::initializeGL() {}
void OGL3DWidget::resizeGL(int, int) {}
void OGL3DWidget::paintGL() {}
