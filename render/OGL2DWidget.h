#pragma once
// Shows one 8-bit BGRA device picture as a letterboxed textured quad. The
// image view also turns clicks into the measured point of the 3D view, and
// Shift+clicks into the second point of a two-point measure; both views mark
// the measured points and tell where the pointer is over the picture.

#include "render/FrameProbe.h"
#include "twl/core/Types.h"

#include <QOpenGLWidget>
#include <QPointF>
#include <QRect>
#include <memory>

class GpuGlBridge;
class QMouseEvent;
class QMutex;
class QPainter;

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
    /// Reads the measured points for their marks; null: no marks.
    const FrameProbe *probe = nullptr;
    /// Paint the depth scale over the picture while it shows depth (the depth view).
    bool showsDepthScale = false;

    /// The fraction of the picture's width and height under a widget
    /// position, through the same letterbox as clicks; false on the bands.
    bool pictureFraction(const QPoint &pos, QPointF *fraction) const;
    /// Whether clicks pick points here: the depth view, or the image view
    /// while it shows the left image.
    bool picksPoints() const;

signals:
    /// True once the texture is bound to the device picture: the capture loop may start.
    void init(bool);
    /// The pointer moved over the picture (fraction of it), or left it.
    void pointerMoved(QPointF fraction);
    void pointerLeft();
    /// Shift+click: the second point of a two-point measure, for the window to check.
    void secondPointPicked(QPointF fraction);

public slots:
    void InitGLProcess(int w, int h, int step);
    void fullDisplay();

protected:
    void initializeGL() override;
    void resizeGL(int w, int h) override;
    void paintGL() override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void leaveEvent(QEvent *event) override;

private:
    void releaseGl();
    bool bindTexture();
    void deleteTexture();
    void clearView();
    void paintOverlays();
    void paintMarks(QPainter &painter, const QRect &box, const FrameProbe::Measure &measure);

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
