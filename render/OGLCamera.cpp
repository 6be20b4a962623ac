#include "render/OGLCamera.h"

#include <cmath>

namespace {
// The turn used for an upside-down start and for the angle conversion: the
// rendering was tuned with this value, so it stays 3.14 rather than pi.
constexpr double kHalfTurn = 3.14;
} // namespace

OGLCamera::OGLCamera(const twl::Translation &pivot, const twl::Translation &direction,
                     const twl::Translation &verticalAxis) {
    position = pivot;
    setDirection(direction, verticalAxis);
    offset = twl::Translation(0, 0, 0);
    updateView();
    updateViewProjection();
}

void OGLCamera::updateAxes() {
    up = twl::Translation(0, 1, 0) * orientation;
    left = twl::Translation(-1, 0, 0) * orientation;
}

void OGLCamera::setDirection(const twl::Translation &direction, const twl::Translation &verticalAxis) {
    twl::Translation d = twl::Vector3<float>::normalize(direction);
    twl::Translation n = -d;
    orientation = twl::Orientation(twl::Vector3<float>(0, 0, 1), n);
    updateAxes();
    vertical = verticalAxis;
    if (twl::Vector3<float>::dot(vertical, up) < 0) {
        orientation =
            twl::Orientation::fromAngleAxis(float(kHalfTurn), twl::Vector3<float>(0, 0, 1)) * orientation;
        updateAxes();
    }
}

void OGLCamera::setProjection(float horizontalAngle, float verticalAngle, float nearDistance,
                              float farDistance) {
    horizontalFov = horizontalAngle;
    verticalFov = verticalAngle;
    zNear = nearDistance;
    zFar = farDistance;
    const double h = double(horizontalAngle) * 0.5 * kHalfTurn / 180.0;
    const double v = double(verticalAngle) * 0.5 * kHalfTurn / 180.0;
    projection.setIdentity();
    projection(0, 0) = float(1.0 / std::tan(h));
    projection(1, 1) = float(1.0 / std::tan(v));
    projection(2, 2) = -(farDistance / (farDistance - nearDistance));
    projection(2, 3) = -(farDistance * nearDistance / (farDistance - nearDistance));
    projection(3, 2) = -1.0f;
    projection(3, 3) = 0.0f;
}

void OGLCamera::setViewProjection(float horizontalAngle, int viewWidth, int viewHeight, float nearDistance,
                                  float farDistance) {
    const double w = viewWidth > 0 ? double(viewWidth) : 1.0;
    const double h = viewHeight > 0 ? double(viewHeight) : 1.0;
    // Square pixels: tan(vertical / 2) = tan(horizontal / 2) * h / w, in the
    // same degree convention that setProjection converts back.
    const double toRadians = kHalfTurn / 180.0;
    const double halfH = double(horizontalAngle) * 0.5 * toRadians;
    const double vertical = 2.0 * std::atan(std::tan(halfH) * h / w) / toRadians;
    setProjection(horizontalAngle, float(vertical), nearDistance, farDistance);
}

void OGLCamera::rotate(float angle, const twl::Translation &axis) {
    orientation = twl::Orientation::fromAngleAxis(angle, axis) * orientation;
    updateAxes();
}

twl::Translation OGLCamera::eye() const {
    return (offset * orientation) + position;
}

void OGLCamera::updateView() {
    twl::Transform pose(orientation, eye());
    view = twl::Matrix4f::inverse(pose);
}

void OGLCamera::updateViewProjection() {
    viewProjection = projection * view;
}

void OGLCamera::update() {
    if (twl::Vector3<float>::dot(vertical, up) < 0) vertical = -vertical;
    updateView();
    updateViewProjection();
}
