#pragma once
// Shows one 8-bit BGRA device picture as a letterboxed textured quad. The
// image view also turns clicks into the measured point of the 3D view.

#include "twl/core/Types.h"

#include <QOpenGLWidget>
#include <QRect>
#include <memory>

class GpuGlBridge;
class QMouseEvent;
class QMutex;

class OGL2DWidget : public QOpenGLWidget {
    Q_OBJECT
public:
    explicit OGL2DWidget(QWidget *parent = nullptr);
    ~OGL2DWidget() override;

    /// Forgets the device picture and clears the view (session reset).
    void release();
    void setActive(bool value);

    bool isActive() const { return active; }
    /// Where the picture lands inside the widget, in widget pixels (top-left origin).
    QRect letterbox() const;
    /// The largest rectangle of the picture's aspect centred in a view of
    /// the given size; the whole view when either size is empty.
    static QRect fitPicture(int viewW, int viewH, int pictureW, int pictureH);

    twl::ContextHandle cudaContext = nullptr;
    unsigned char *devicePtr = nullptr;
    bool isImageView = false;
    /// The capture thread's frame lock, held while this view reads the device
    /// matrix so that it never reads a frame being written (the loop skips
    /// that frame's retrieval instead). Null: read without it. Cleared on
    /// release, since it belongs to the capture session.
    QMutex *frameMutex = nullptr;

signals:
    /// True once the texture is bound to the device picture: the capture loop may start.
    void init(bool);

public slots:
    void InitGLProcess(int w, int h, int step);
    void fullDisplay();

protected:
    void initializeGL() override;
    void resizeGL(int w, int h) override;
    void paintGL() override;
    void mouseReleaseEvent(QMouseEvent *event) override;

private:
    void releaseGl();
    bool bindTexture();
    void deleteTexture();
    void clearView();

    bool active = false;
    bool glReady = false;
    bool pendingBind = false;
    int pictureWidth = 0, pictureHeight = 0, picturePitch = 0;
    int viewWidth = -1, viewHeight = -1;
    int offsetX = 0, offsetY = 0, drawWidth = 960, drawHeight = 540;
    unsigned int fragmentShader = 0, program = 0, texture = 0;
    std::unique_ptr<GpuGlBridge> bridge;
    QMetaObject::Connection contextLoss;
};
