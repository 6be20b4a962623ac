#include "render/OGLCamera.h"

#include "twl/core/Optics.h"

#include <cmath>

namespace {
// The turn used for an upside-down start and for reading the view's angles:
// the rendering was tuned with this value, so it stays 3.14 rather than pi.
constexpr double kHalfTurn = 3.14;
// A view angle of d degrees is d * kHalfTurn / 180 radians, that is this
// many true degrees.
constexpr double kTrueDegreesPerViewDegree = kHalfTurn / M_PI;
} // namespace

double OGLCamera::normalisedFocal(float viewDegrees) {
    return twl::focalForFieldOfView(2.0, double(viewDegrees) * kTrueDegreesPerViewDegree);
}

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
    projection.setIdentity();
    projection(0, 0) = float(normalisedFocal(horizontalAngle));
    projection(1, 1) = float(normalisedFocal(verticalAngle));
    projection(2, 2) = -(farDistance / (farDistance - nearDistance));
    projection(2, 3) = -(farDistance * nearDistance / (farDistance - nearDistance));
    projection(3, 2) = -1.0f;
    projection(3, 3) = 0.0f;
}

void OGLCamera::setViewProjection(float horizontalAngle, int viewWidth, int viewHeight, float nearDistance,
                                  float farDistance) {
    const double w = viewWidth > 0 ? double(viewWidth) : 1.0;
    const double h = viewHeight > 0 ? double(viewHeight) : 1.0;
    // Square pixels: one focal length for both directions, the vertical angle
    // given back in the view's degrees that setProjection reads.
    const double focal = twl::focalForFieldOfView(w, double(horizontalAngle) * kTrueDegreesPerViewDegree);
    const double vertical = twl::fieldOfViewDegrees(h, focal) / kTrueDegreesPerViewDegree;
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
