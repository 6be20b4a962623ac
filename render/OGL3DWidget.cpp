#include <GL/glew.h>

#include "render/OGL3DWidget.h"

#include "common/GlobalParams.h"
#include "render/CameraBodyModel.h"
#include "render/FrameLock.h"
#include "render/GlSurface.h"
#include "render/GpuGlBridge.h"
#include "render/OGLCamera.h"
#include "render/OGLMesh.h"
#include "render/OGLShader.h"
#include "render/ShaderSources.h"
#include "twl/core/DeviceMemory.h"
#include "twl/core/Mat.h"

#include <QFont>
#include <QFontMetrics>
#include <QPainter>
#include <algorithm>
#include <climits>
#include <cmath>
#include <iostream>
#include <sstream>

namespace {
// Bytes of one point: x, y, z and the colour word.
constexpr int kPointBytes = 16;
// The point-cloud camera: horizontal field of view in degrees, clip planes in metres.
constexpr float kHorizontalFov = 90.0f, kNearPlane = 0.1f, kFarPlane = 300.0f;
// Clouds below this many points cost a software rasteriser little: never thinned.
constexpr int kThinFrom = 1 << 16;

void releaseMesh(OGLMesh *&mesh) {
    if (!mesh) return;
    mesh->release();
    delete mesh;
    mesh = nullptr;
}
} // namespace

OGL3DWidget::OGL3DWidget(QWidget *parent) : QOpenGLWidget(parent), bridge(std::make_unique<GpuGlBridge>()) {
    setFormat(GlSurface::compatibilityFormat());
    setFocusPolicy(Qt::StrongFocus);
}

OGL3DWidget::~OGL3DWidget() {
    // The base class destroys the context after this destructor: its signal must not reach us then.
    QObject::disconnect(contextLoss);
    const bool hasGl = context() && glewReady;
    if (hasGl) makeCurrent();
    releaseScene();
    interopReady = active = false;
    if (hasGl) {
        releaseInputObjects();
        doneCurrent();
    } else {
        // Never had GL objects: only the host side is left.
        delete pointShader;
        delete meshShader;
        delete cameraModel;
        delete measureLine;
    }
    delete camera_;
}

void OGL3DWidget::setActive(bool value) {
    active = value;
}

void OGL3DWidget::initializeGL() {
    // The scene is built by InitProcess; a set-up that came before the first
    // show waits for the context and runs now.
    glewReady = GlSurface::initGlew();
    softwareRenderer = glewReady && GlSurface::isSoftwareRenderer();
    // A new context (the view moved to another top-level window) starts
    // empty: what lived in the old one is released there and set up again.
    if (glewReady) {
        QObject::disconnect(contextLoss);
        contextLoss = GlSurface::onContextLoss(this, [this] { releaseGl(); });
    }
    if (glewReady && pendingSetUp) setUpScene();
}

void OGL3DWidget::releaseGl() {
    makeCurrent();
    if (pointCloudMat) pendingSetUp = true;
    releaseInputObjects();
    releaseMesh(frustum);
    interopReady = active = frameReady = false;
    glewReady = false;
    doneCurrent();
}

void OGL3DWidget::resizeGL(int w, int h) {
    if (camera_) camera_->setViewProjection(kHorizontalFov, w, h, kNearPlane, kFarPlane);
}

void OGL3DWidget::InitProcess(int *matrix) {
    if (twl::ContextHandle current = twl::deviceCurrentContext()) cudaContext = current;
    twl::deviceMakeCurrent(cudaContext);
    pointCloudMat = reinterpret_cast<twl::Mat *>(matrix);
    if (!context() || !glewReady) {
        pendingSetUp = true;
        return;
    }
    setUpScene();
}

void OGL3DWidget::releaseInputObjects() {
    bridge->unregister();
    if (pointCloudBuffer) {
        glDeleteBuffers(1, &pointCloudBuffer);
        pointCloudBuffer = 0;
    }
    bufferPoints = 0;
    delete pointShader;
    pointShader = nullptr;
    delete meshShader;
    meshShader = nullptr;
    releaseMesh(cameraModel);
    releaseMesh(measureLine);
}

void OGL3DWidget::setUpScene() {
    pendingSetUp = false;
    makeCurrent();
    // A new input replaces everything the previous one set up.
    releaseInputObjects();
    interopReady = active = frameReady = false;

    glGenBuffers(1, &pointCloudBuffer);
    glEnable(GL_DEPTH_TEST);
    InteropError error = InteropError::InvalidValue;
    const long long points =
        pointCloudMat ? (long long)pointCloudMat->getWidth() * (long long)pointCloudMat->getHeight() : 0;
    if (points > 0 && points <= INT_MAX / kPointBytes && pointCloudMat->getPtr<float>(twl::MEM_GPU)) {
        glBindBuffer(GL_ARRAY_BUFFER, pointCloudBuffer);
        glBufferData(GL_ARRAY_BUFFER, GLsizeiptr(points * kPointBytes), nullptr, GL_DYNAMIC_DRAW);
        glBindBuffer(GL_ARRAY_BUFFER, 0);
        error = bridge->registerBuffer(pointCloudBuffer);
    }
    if (error == InteropError::Success) {
        bufferPoints = int(points);
        interopReady = active = true;
    } else {
        std::cout << "CUDA - OpenGL Interop Failed with Err Code  " << int(error) << std::endl;
    }

    pointShader = new OGLShader(ShaderSources::pointVertex, ShaderSources::colorFragment);
    mvpLocation = glGetUniformLocation(pointShader->getProgramId(), "u_mvpMatrix");
    meshShader = new OGLShader(ShaderSources::meshVertex, ShaderSources::translucentFragment);
    meshMvpLocation = glGetUniformLocation(meshShader->getProgramId(), "u_mvpMatrix");
    if (!pointShader->isLinked() || !meshShader->isLinked())
        std::cout << "ERROR: the point-cloud view's shaders do not build on this OpenGL; the view stays dark"
                  << std::endl;

    delete camera_;
    camera_ = new OGLCamera(twl::Translation(0, 0, 0), twl::Translation(0, 0, -1), twl::Translation(0, 1, 0));
    camera_->offset = twl::Translation(0, 0, 4);

    cameraModel = new OGLMesh(false);
    CameraBodyModel::make(GlobalParams::getBool(PARAM_MODEL_FLAG)).addTo(*cameraModel);
    cameraModel->setDrawingType(GL_TRIANGLES);
    cameraModel->pushToGPU();

    measureLine = new OGLMesh(false);
    measureLine->setDrawingType(GL_LINES);

    camera_->setViewProjection(kHorizontalFov, width(), height(), kNearPlane, kFarPlane);

    // Camera information that arrived before the context existed.
    if (cameraInfo) updateFrustum();

    update();
}

void OGL3DWidget::GetVEXOParam(int *information) {
    if (!information) return;
    cameraInfo =
        std::make_unique<twl::CameraInformation>(*reinterpret_cast<twl::CameraInformation *>(information));
    if (context() && glewReady) makeCurrent();
    releaseMesh(frustum);
    frustum = new OGLMesh(false);
    updateFrustum();
}

void OGL3DWidget::updateFrustum() {
    if (!cameraInfo) return;
    if (!frustum) frustum = new OGLMesh(false);
    const bool hasGl = context() && glewReady;
    if (hasGl) makeCurrent();
    frustum->clear();
    const float far = float(GlobalParams::getInt(PARAM_DEPTH_MAX)) / 1000.0f;
    const float near = float(GlobalParams::getDouble(PARAM_DEPTH_MIN));
    const auto &left = cameraInfo->calibration_parameters.left_cam;
    // Half the picture's width and height at one metre.
    const float th = float(1.0 / OGLCamera::normalisedFocal(left.h_fov));
    const float tv = float(1.0 / OGLCamera::normalisedFocal(left.v_fov));
    const float FX = th * far, FY = tv * far, NX = th * near, NY = tv * near;
    const float a[3] = {41.0f / 255.0f, 0.5f, 185.0f / 255.0f};
    const float b[3] = {0.33f, 0.33f, 0.33f};
    auto line = [this](const float *c, float x0, float y0, float z0, float x1, float y1, float z1) {
        frustum->addPoint(x0, y0, z0, c[0], c[1], c[2]);
        frustum->addPoint(x1, y1, z1, c[0], c[1], c[2]);
    };
    auto rectangle = [&](const float *c, float X, float Y, float z) {
        line(c, -X, -Y, z, -X, Y, z);
        line(c, -X, Y, z, X, Y, z);
        line(c, X, Y, z, X, -Y, z);
        line(c, X, -Y, z, -X, -Y, z);
    };
    rectangle(a, FX, FY, -far);
    rectangle(b, NX, NY, -near);
    const float apex[3] = {0.0068f, 0.0f, -0.0068f};
    line(a, apex[0], apex[1], apex[2], -NX, NY, -near);
    line(a, apex[0], apex[1], apex[2], NX, NY, -near);
    line(a, apex[0], apex[1], apex[2], -NX, -NY, -near);
    line(a, apex[0], apex[1], apex[2], NX, -NY, -near);
    line(a, -NX, NY, -near, -FX, FY, -far);
    line(a, NX, NY, -near, FX, FY, -far);
    line(a, -NX, -NY, -near, -FX, -FY, -far);
    line(a, NX, -NY, -near, FX, -FY, -far);
    frustum->setDrawingType(GL_LINES);
    if (hasGl) frustum->pushToGPU();
}

void OGL3DWidget::Ingest() {
    if (!active || !context() || !glewReady) return;
    makeCurrent();
    if (!interopReady || !pointCloudMat) return;
    twl::deviceMakeCurrent(cudaContext);
    const float *source = pointCloudMat->getPtr<float>(twl::MEM_GPU);
    if (!source) return;
    // Lock before mapping: the mapping discards the buffer, so a copy that
    // cannot run must not map it (the previous cloud stays).
    FrameLock frameLock(frameMutex);
    if (!frameLock.locked() || bridge->map() != InteropError::Success) return;
    // Device rows are padded to the pool's pitch: copy row by row, packing
    // them into the buffer, never the matrix as one block.
    const size_t rowBytes = pointCloudMat->getWidth() * kPointBytes;
    InteropError copied = bridge->copy2D(source, pointCloudMat->getStepBytes(twl::MEM_GPU), rowBytes,
                                         pointCloudMat->getHeight());
    frameLock.unlock();
    InteropError unmapped = bridge->unmap();
    if (copied == InteropError::Success && unmapped == InteropError::Success) frameReady = true;
}

bool OGL3DWidget::canVisualize() const {
    return interopReady && pointCloudMat && frameReady;
}

void OGL3DWidget::clearToBlack() {
    glClearColor(0.0f, 0.0f, 0.0f, 1.0f);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
}

void OGL3DWidget::paintGL() {
    if (!glewReady) return;
    if (!active) {
        clearToBlack();
        return;
    }
    makeCurrent();
    if (GlobalParams::getInt(PARAM_SENSING) == 1) {
        glPushMatrix();
        glLoadIdentity();
        glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
        paintFillNotice();
        glPopMatrix();
    } else if (canVisualize()) {
        visualize();
    } else {
        clearToBlack();
    }
}

void OGL3DWidget::paintFillNotice() {
    QPainter painter(this);
    painter.setPen(QColor(149, 165, 166, 255));
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);
    painter.setFont(QFont("arial", 36, 75));
    painter.drawText(width() / 2 - 50, height() / 2 - 25, "N / A");
    painter.setFont(QFont("arial", 12, 50));
    painter.drawText(width() / 2 - 150, height() / 2 + 50, " Point cloud only available in STANDARD mode ");
    painter.end();
}

void OGL3DWidget::uploadMatrix(int location, const float *rowMajor) {
    // Row-major storage read as column-major is the transpose GL wants.
    twl::Matrix4f transposed;
    for (int i = 0; i < 16; ++i)
        transposed.m[i] = rowMajor[i];
    transposed.transpose();
    glUniformMatrix4fv(location, 1, GL_FALSE, transposed.m);
}

void OGL3DWidget::visualize() {
    if (!canVisualize() || !camera_ || !pointShader || !meshShader) return;
    // Program 0 would draw the raw buffer through the fixed pipeline: nothing is better.
    if (!pointShader->isLinked() || !meshShader->isLinked()) {
        clearToBlack();
        return;
    }
    makeCurrent();
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    glEnable(GL_DEPTH_TEST);
    glClearColor(0.12f, 0.12f, 0.12f, 1.0f);
    glLineWidth(1.5f);
    glPointSize(float(pointSize_));

    camera_->update();
    const float *vp = camera_->getViewProjection().m;
    std::copy(vp, vp + 16, viewProjection_);

    glBindVertexArray(0);
    glUseProgram(pointShader->getProgramId());
    uploadMatrix(mvpLocation, vp);
    glBindBuffer(GL_ARRAY_BUFFER, pointCloudBuffer);
    glEnableVertexAttribArray(0);
    const long long points = (long long)pointCloudMat->getWidth() * (long long)pointCloudMat->getHeight();
    drawnPoints_ = drawPoints(int(points < bufferPoints ? points : bufferPoints));
    glDisableVertexAttribArray(0);
    glBindBuffer(GL_ARRAY_BUFFER, 0);
    glUseProgram(0);

    glDisable(GL_BLEND);
    glUseProgram(meshShader->getProgramId());
    uploadMatrix(meshMvpLocation, vp);
    if (cameraModel) cameraModel->draw();
    if (frustum) frustum->draw();

    updateMeasurement();
    glLineWidth(2.0f);
    if (measureLine) measureLine->draw();
    glUseProgram(0);

    paintDistanceText();
}

int OGL3DWidget::drawPoints(int points) {
    // A software rasteriser spends 100 ms and more on a full HD720 cloud,
    // which holds the window's repaint back: while the cloud moves, draw
    // every other point of every other row; a paused picture, a small cloud
    // or one asked for the old way gets every point.
    const int columns = int(pointCloudMat->getWidth());
    const bool decimate = softwareRenderer && points >= kThinFrom && !GlobalParams::getBool(PARAM_PAUSE) &&
                          !GlobalParams::getBool(PARAM_PAINT_ALL) && columns >= 2 && columns % 2 == 0 &&
                          points == columns * int(pointCloudMat->getHeight());
    if (!decimate) {
        glVertexAttribPointer(0, 4, GL_FLOAT, GL_FALSE, 0, nullptr);
        glDrawArrays(GL_POINTS, 0, GLsizei(points));
        return points;
    }
    // With a stride of two points, element i is point 2i: row r starts at
    // element r * columns / 2 and holds columns / 2 elements.
    glVertexAttribPointer(0, 4, GL_FLOAT, GL_FALSE, 2 * kPointBytes, nullptr);
    const int rows = points / columns;
    std::vector<GLint> firsts;
    std::vector<GLsizei> counts;
    for (int r = 0; r < rows; r += 2) {
        firsts.push_back(GLint(r * (columns / 2)));
        counts.push_back(GLsizei(columns / 2));
    }
    glMultiDrawArrays(GL_POINTS, firsts.data(), counts.data(), GLsizei(firsts.size()));
    return int(firsts.size()) * (columns / 2);
}

void OGL3DWidget::paintDistanceText() {
    QPainter painter(this);
    painter.setPen(QColor(0, 172, 236, 255));
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);
    painter.setFont(QFont("arial", 8, 57));
    const QString text = distanceText();
    if (!text.isEmpty()) painter.drawText(15, height() - 15, text);
    QPointF middle;
    const QString length = segmentText();
    if (!length.isEmpty() && project(segmentMiddle_[0], segmentMiddle_[1], segmentMiddle_[2], &middle)) {
        const QFontMetrics fm(painter.font());
        QRectF label(0, 0, fm.horizontalAdvance(length) + 8, fm.height() + 2);
        label.moveCenter(middle + QPointF(0, -fm.height()));
        painter.fillRect(label, QColor(0, 0, 0, 170));
        painter.setPen(QColor(255, 184, 28));
        painter.drawText(label, Qt::AlignCenter, length);
    }
    painter.end();
}

bool OGL3DWidget::project(float x, float y, float z, QPointF *at) const {
    const float *m = viewProjection_; // row-major: clip = M * (x, y, z, 1)
    const float cx = m[0] * x + m[1] * y + m[2] * z + m[3];
    const float cy = m[4] * x + m[5] * y + m[6] * z + m[7];
    const float cw = m[12] * x + m[13] * y + m[14] * z + m[15];
    if (!(cw > 1e-6f)) return false;
    *at = QPointF((cx / cw * 0.5 + 0.5) * width(), (0.5 - cy / cw * 0.5) * height());
    return true;
}

QString OGL3DWidget::segmentText() const {
    if (segmentLength_ < 0) return QString();
    if (segmentLength_ == 0) return QStringLiteral("N/A");
    return QString::number(segmentLength_, 'f', 2) + QStringLiteral(" m");
}

QString OGL3DWidget::distanceText() const {
    if (distance_ < 0) return QString();
    if (distance_ == 0) return QStringLiteral("Distance to point : N/A");
    std::ostringstream value;
    value.precision(2);
    value << distance_;
    return QStringLiteral("Distance to point : ") + QString::fromStdString(value.str()) +
           QStringLiteral(" m");
}

void OGL3DWidget::releaseScene() {
    interopReady = false;
    pointCloudMat = nullptr;
    frameMutex = nullptr;
    frameReady = false;
    pendingSetUp = false;
    const bool hasGl = context() && glewReady;
    if (hasGl) {
        makeCurrent();
        glLoadIdentity();
        glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
        glClearColor(0.0f, 0.0f, 0.0f, 1.0f);
    }
    active = false;
    cameraInfo.reset();
    if (hasGl) {
        releaseMesh(frustum);
        releaseMesh(measureLine);
    } else {
        delete frustum;
        frustum = nullptr;
        delete measureLine;
        measureLine = nullptr;
    }
}

int OGL3DWidget::cameraModelVertexCount() const {
    return cameraModel ? cameraModel->vertexCount() : 0;
}
int OGL3DWidget::frustumVertexCount() const {
    return frustum ? frustum->vertexCount() : 0;
}
int OGL3DWidget::measureLineVertexCount() const {
    return measureLine ? measureLine->vertexCount() : 0;
}
std::vector<float> OGL3DWidget::frustumVertices() const {
    return frustum ? frustum->getVertices() : std::vector<float>();
}
