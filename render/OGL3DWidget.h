#pragma once
// The point-cloud view: the live cloud as one GL point per pixel of the
// capture thread's point-cloud matrix, the camera body, the view frustum and
// the measurement line, with orbit navigation and the distance read-out.

#include "twl/core/Math.h"
#include "twl/core/Types.h"

#include <QOpenGLWidget>
#include <QPointF>
#include <QString>
#include <memory>
#include <vector>

class GpuGlBridge;
class OGLCamera;
class OGLMesh;
class OGLShader;
class QKeyEvent;
class QMouseEvent;
class QMutex;
class QWheelEvent;

namespace twl {
class Mat;
}

class OGL3DWidget : public QOpenGLWidget {
    Q_OBJECT
public:
    explicit OGL3DWidget(QWidget *parent = nullptr);
    ~OGL3DWidget() override;

    void setActive(bool value);
    /// Rebuilds the frustum lines at the current maximum depth range.
    void updateFrustum();
    /// Lets go of the current input's matrix and scene (before the input is closed).
    void releaseScene();

    bool isActive() const { return active; }
    bool isInteropReady() const { return interopReady; }
    bool hasFrame() const { return frameReady; }
    double pointSize() const { return pointSize_; }
    /// True when the context is a software rasteriser (set once GL is up).
    bool isSoftwareRenderer() const { return softwareRenderer; }
    /// Points the last repaint drew: fewer than the cloud holds while a
    /// software rasteriser plays, every point when paused or on a GPU.
    int drawnPoints() const { return drawnPoints_; }
    /// The view's camera; null before the first InitProcess.
    OGLCamera *camera() const { return camera_; }
    /// Last measured distance: -1 none shown, 0 no valid point, else metres.
    double distance() const { return distance_; }
    /// The read-out painted in the lower-left corner (empty when none).
    QString distanceText() const;
    /// Length of the two-point measure: -1 none shown, 0 a point without depth, else metres.
    double segmentLength() const { return segmentLength_; }
    /// The length as written next to the segment (empty when none).
    QString segmentText() const;
    /// Vertex counts of the scene meshes as last built (0 when absent).
    int cameraModelVertexCount() const;
    int frustumVertexCount() const;
    int measureLineVertexCount() const;
    /// The frustum's vertices (x, y, z per vertex) as last built.
    std::vector<float> frustumVertices() const;

    twl::ContextHandle cudaContext = nullptr;
    /// The capture thread's frame lock, held while this view reads the device
    /// matrix so that it never reads a frame being written (the loop skips
    /// that frame's retrieval instead). Null: read without it. Cleared on
    /// release, since it belongs to the capture session.
    QMutex *frameMutex = nullptr;

public slots:
    void InitProcess(int *matrix);
    void GetVEXOParam(int *information);
    void ResetPosition();
    void visualize();
    void Ingest();

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void wheelEvent(QWheelEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void initializeGL() override;
    void resizeGL(int w, int h) override;
    void paintGL() override;

private:
    void releaseGl();
    void setUpScene();
    void releaseInputObjects();
    void rotateCamera();
    void translateCamera();
    void updateMeasurement();
    bool canVisualize() const;
    void clearToBlack();
    int drawPoints(int points);
    void paintFillNotice();
    void paintDistanceText();
    void updateSegment(const twl::Vector4<float> &first);
    /// Where a point lands in the view (widget pixels); false behind the camera.
    bool project(float x, float y, float z, QPointF *at) const;
    static void uploadMatrix(int location, const float *rowMajor);

    twl::Mat *pointCloudMat = nullptr;
    std::unique_ptr<twl::CameraInformation> cameraInfo;
    double distance_ = -1;
    double segmentLength_ = -1;
    float segmentMiddle_[3] = {0, 0, 0};
    float viewProjection_[16] = {};
    float dx = 0, dy = 0;
    bool interopReady = false;
    bool dragging = false;
    short mouseX = 0, mouseY = 0, lastX = 0, lastY = 0;
    double pointSize_ = 1.6;
    unsigned int pointCloudBuffer = 0;
    int bufferPoints = 0;
    bool active = false;
    bool frameReady = false;
    bool pendingSetUp = false;
    bool glewReady = false;
    bool softwareRenderer = false;
    int drawnPoints_ = 0;
    std::unique_ptr<GpuGlBridge> bridge;
    QMetaObject::Connection contextLoss;
    int mvpLocation = -1;
    int meshMvpLocation = -1;
    OGLShader *pointShader = nullptr;
    OGLShader *meshShader = nullptr;
    OGLCamera *camera_ = nullptr;
    OGLMesh *cameraModel = nullptr;
    OGLMesh *frustum = nullptr;
    OGLMesh *measureLine = nullptr;
};
