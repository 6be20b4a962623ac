// Navigation and measurement of the point-cloud view: mouse, wheel and keys
// move its camera; a point picked in a 2D view is measured at every frame.
#include <GL/glew.h>

#include "render/OGL3DWidget.h"

#include "common/GlobalParams.h"
#include "render/FrameLock.h"
#include "render/OGLCamera.h"
#include "render/OGLMesh.h"
#include "twl/core/Mat.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QWheelEvent>
#include <cmath>

void OGL3DWidget::mousePressEvent(QMouseEvent *event) {
    if (event->buttons() & (Qt::LeftButton | Qt::RightButton)) {
        dragging = true;
        lastX = short(event->x());
        lastY = short(event->y());
    }
}

void OGL3DWidget::mouseMoveEvent(QMouseEvent *event) {
    if (!dragging) return;
    if (event->buttons() & Qt::LeftButton) {
        mouseX = short(event->x());
        mouseY = short(event->y());
        dx = float(mouseX - lastX) / 5.0f;
        dy = float(mouseY - lastY) / 5.0f;
        rotateCamera();
        lastX = mouseX;
        lastY = mouseY;
    }
    if (event->buttons() & Qt::RightButton) {
        mouseX = short(event->x());
        mouseY = short(event->y());
        dx = float(mouseX - lastX) / 10.0f;
        dy = float(mouseY - lastY) / 10.0f;
        translateCamera();
        lastX = mouseX;
        lastY = mouseY;
    }
    // A paused input sends no frames that would repaint the moved view.
    update();
}

void OGL3DWidget::mouseReleaseEvent(QMouseEvent *) {
    dragging = false;
}

void OGL3DWidget::rotateCamera() {
    if (!camera_) return;
    camera_->rotate(dy * 0.015f, camera_->left);
    camera_->rotate(dx * 0.015f, -camera_->vertical);
}

void OGL3DWidget::translateCamera() {
    if (!camera_) return;
    // Scaled as plain vectors (a Translation's product is the turn by an orientation).
    const twl::Vector3<float> &up = camera_->up, &left = camera_->left;
    camera_->position += up * (dy * 0.1f);
    camera_->position += left * (dx * 0.1f);
}

void OGL3DWidget::wheelEvent(QWheelEvent *event) {
    event->accept();
    if (!camera_) return;
    const QPoint angle = event->angleDelta();
    const int steps = (angle.y() != 0 ? angle.y() : angle.x()) / 8;
    const float d = camera_->offset.norm();
    float factor = 0.0f;
    if (steps > 0 && d > camera_->zNear)
        factor = 0.75f;
    else if (d < camera_->zFar)
        factor = 1.25f;
    else
        return;
    camera_->offset *= factor;
    update();
}

void OGL3DWidget::keyPressEvent(QKeyEvent *event) {
    // Every key stays here, handled or not, so none reaches the window.
    event->accept();
    switch (event->key()) {
    case Qt::Key_Left:
        dx = -0.1f;
        dy = 0.0f;
        translateCamera();
        break;
    case Qt::Key_Right:
        dx = 0.1f;
        dy = 0.0f;
        translateCamera();
        break;
    case Qt::Key_Up:
        dx = 0.0f;
        dy = -0.1f;
        translateCamera();
        break;
    case Qt::Key_Down:
        dx = 0.0f;
        dy = 0.1f;
        translateCamera();
        break;
    case Qt::Key_M:
        if (pointSize_ >= 0.25) pointSize_ -= 0.25;
        break;
    case Qt::Key_P:
        pointSize_ += 0.25;
        break;
    case Qt::Key_R:
        ResetPosition();
        break;
    case Qt::Key_T:
        if (camera_) {
            camera_->position = twl::Translation(0.0f, 1.5f, -0.8f);
            camera_->setDirection(twl::Translation(0.0f, -1.4f, -1.5f), twl::Translation(0, 1, 0));
        }
        break;
    default:
        break;
    }
    update();
}

void OGL3DWidget::ResetPosition() {
    if (!camera_) return;
    camera_->position = twl::Translation(0, 0, 0);
    camera_->setDirection(twl::Translation(0, 0, -1), twl::Translation(0, 1, 0));
    camera_->offset = twl::Translation(0, 0, 4);
}

void OGL3DWidget::updateMeasurement() {
    if (measureLine) measureLine->clear();
    distance_ = -1;
    const double clickX = GlobalParams::getDouble(PARAM_CLICK_X);
    if (clickX == -1.0 || !interopReady || !pointCloudMat || !measureLine) return;
    const int displayWidth = GlobalParams::getInt(PARAM_DISPLAY_WIDTH);
    const int displayHeight = GlobalParams::getInt(PARAM_DISPLAY_HEIGHT);
    const int col = int(clickX * double(displayWidth));
    const int row = int(GlobalParams::getDouble(PARAM_CLICK_Y) * double(displayHeight));
    if (col < 1 || col >= displayWidth || row < 1 || row >= displayHeight) return;
    // The display size comes from the capture side; never read past the matrix.
    if (size_t(col) >= pointCloudMat->getWidth() || size_t(row) >= pointCloudMat->getHeight()) return;
    twl::Vector4<float> point;
    FrameLock frameLock(frameMutex);
    if (!frameLock.locked()) return;
    pointCloudMat->getValue(size_t(col), size_t(row), &point, twl::MEM_GPU);
    frameLock.unlock();
    distance_ = 0;
    if (point.z < 0) {
        const float r = 36.0f / 255.0f, g = 194.0f / 255.0f, b = 93.0f / 255.0f;
        measureLine->addPoint(0, 0, 0, r, g, b);
        measureLine->addPoint(point.x, point.y, point.z, r, g, b);
        measureLine->pushToGPU();
        distance_ = std::sqrt(point.x * point.x + point.y * point.y + point.z * point.z);
    }
}
