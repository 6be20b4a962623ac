#pragma once
// The orbiting camera of the point-cloud view: the eye sits at `offset` from
// the pivot `position`, the offset being turned with the camera. Navigation
// reads and writes the public pose members directly; `update` turns them
// into the matrices that the view uploads.

#include "twl/core/Math.h"

class OGLCamera {
public:
    OGLCamera(const twl::Translation &pivot, const twl::Translation &direction,
              const twl::Translation &vertical);

    /// Looks along `direction` (any length); `vertical` is the world's up.
    void setDirection(const twl::Translation &direction, const twl::Translation &vertical);
    /// Angles in degrees, used independently (no aspect ratio); near and far in metres.
    void setProjection(float horizontalAngle, float verticalAngle, float nearDistance, float farDistance);
    /// Projection for a view of the given size in pixels: the vertical angle
    /// follows from the horizontal one so that the picture is not stretched.
    void setViewProjection(float horizontalAngle, int viewWidth, int viewHeight, float nearDistance,
                           float farDistance);
    /// Turns the camera by `angle` radians about `axis` (point-cloud frame).
    void rotate(float angle, const twl::Translation &axis);
    /// Per-frame refresh of the view and view-projection matrices.
    void update();
    /// Focal length, in units of half the picture, of a view `viewDegrees`
    /// wide: 1 / tan of the half angle, read as the views read their angles.
    static double normalisedFocal(float viewDegrees);

    const twl::Matrix4f &getProjection() const { return projection; }
    const twl::Matrix4f &getView() const { return view; }
    const twl::Matrix4f &getViewProjection() const { return viewProjection; }
    /// Eye position in the point-cloud frame.
    twl::Translation eye() const;

    twl::Translation offset;
    twl::Translation position;
    twl::Translation up{0, 1, 0};
    twl::Translation left{-1, 0, 0};
    twl::Translation vertical{0, 1, 0};
    twl::Orientation orientation;
    float horizontalFov = 0, verticalFov = 0;
    float zNear = 0, zFar = 0;

private:
    void updateAxes();
    void updateView();
    void updateViewProjection();

    twl::Matrix4f projection;
    twl::Matrix4f view;
    twl::Matrix4f viewProjection;
};
