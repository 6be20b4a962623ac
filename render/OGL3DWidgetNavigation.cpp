// Navigation and measurement of the point-cloud view: mouse, wheel and keys
// move its camera; a point picked in a 2D view is measured at every frame.
#include <GL/glew.h>

#include "render/OGL3DWidget.h"

#include "common/GlobalParams.h"
#include "render/FrameLock.h"
#include "render/FrameProbe.h"
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
    segmentLength_ = -1;
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
        distance_ = std::sqrt(point.x * point.x + point.y * point.y + point.z * point.z);
    }
    updateSegment(point);
    if (measureLine->vertexCount() > 0) measureLine->pushToGPU();
}

void OGL3DWidget::updateSegment(const twl::Vector4<float> &first) {
    const int w = int(pointCloudMat->getWidth()), h = int(pointCloudMat->getHeight());
    const double fx = GlobalParams::getDouble(PARAM_CLICK2_X), fy = GlobalParams::getDouble(PARAM_CLICK2_Y);
    int col = 0, row = 0;
    if (!FrameProbe::isPicked(fx, fy, w, h) || !FrameProbe::pixelAt(fx, fy, w, h, &col, &row)) return;
    twl::Vector4<float> second;
    {
        FrameLock frameLock(frameMutex);
        if (!frameLock.locked()) return;
        pointCloudMat->getValue(size_t(col), size_t(row), &second, twl::MEM_GPU);
    }
    segmentLength_ = 0;
    if (!(first.z < 0) || !(second.z < 0)) return;
    const float dx = second.x - first.x, dy = second.y - first.y, dz = second.z - first.z;
    segmentLength_ = std::sqrt(dx * dx + dy * dy + dz * dz);
    segmentMiddle_[0] = 0.5f * (first.x + second.x);
    segmentMiddle_[1] = 0.5f * (first.y + second.y);
    segmentMiddle_[2] = 0.5f * (first.z + second.z);
    // The segment, and a small cross on each end so that short ones show too.
    const float r = 1.0f, g = 184.0f / 255.0f, b = 28.0f / 255.0f;
    measureLine->addPoint(first.x, first.y, first.z, r, g, b);
    measureLine->addPoint(second.x, second.y, second.z, r, g, b);
    for (const twl::Vector4<float> &p : {first, second}) {
        const float arm = 0.015f * std::sqrt(p.x * p.x + p.y * p.y + p.z * p.z);
        for (int axis = 0; axis < 3; ++axis) {
            float lo[3] = {p.x, p.y, p.z}, hi[3] = {p.x, p.y, p.z};
            lo[axis] -= arm;
            hi[axis] += arm;
            measureLine->addPoint(lo[0], lo[1], lo[2], r, g, b);
            measureLine->addPoint(hi[0], hi[1], hi[2], r, g, b);
        }
    }
}
