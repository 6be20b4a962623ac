#include "twl/core/Math.h"

#include <algorithm>

namespace twl {

void Matrix4f::setIdentity() {
    for (int i = 0; i < 16; ++i)
        m[i] = (i % 5 == 0) ? 1.0f : 0.0f;
}

void Matrix4f::setZeros() { std::fill(m, m + 16, 0.0f); }

Matrix4f Matrix4f::operator*(const Matrix4f &o) const {
    Matrix4f r;
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) {
            float s = 0;
            for (int k = 0; k < 4; ++k)
                s += m[i * 4 + k] * o.m[k * 4 + j];
            r.m[i * 4 + j] = s;
        }
    return r;
}

Vector4<float> Matrix4f::operator*(const Vector4<float> &v) const {
    Vector4<float> r;
    for (int i = 0; i < 4; ++i)
        r[i] = m[i * 4] * v.x + m[i * 4 + 1] * v.y + m[i * 4 + 2] * v.z + m[i * 4 + 3] * v.w;
    return r;
}

void Matrix4f::transpose() {
    for (int i = 0; i < 4; ++i)
        for (int j = i + 1; j < 4; ++j)
            std::swap(m[i * 4 + j], m[j * 4 + i]);
}

bool Matrix4f::inverse() {
    // Cofactor expansion in double precision; small enough to be exact for
    // the rigid and projective matrices the views use.
    double a[16], inv[16];
    for (int i = 0; i < 16; ++i)
        a[i] = m[i];
    inv[0] = a[5] * a[10] * a[15] - a[5] * a[11] * a[14] - a[9] * a[6] * a[15] + a[9] * a[7] * a[14] +
             a[13] * a[6] * a[11] - a[13] * a[7] * a[10];
    inv[4] = -a[4] * a[10] * a[15] + a[4] * a[11] * a[14] + a[8] * a[6] * a[15] - a[8] * a[7] * a[14] -
             a[12] * a[6] * a[11] + a[12] * a[7] * a[10];
    inv[8] = a[4] * a[9] * a[15] - a[4] * a[11] * a[13] - a[8] * a[5] * a[15] + a[8] * a[7] * a[13] +
             a[12] * a[5] * a[11] - a[12] * a[7] * a[9];
    inv[12] = -a[4] * a[9] * a[14] + a[4] * a[10] * a[13] + a[8] * a[5] * a[14] - a[8] * a[6] * a[13] -
              a[12] * a[5] * a[10] + a[12] * a[6] * a[9];
    inv[1] = -a[1] * a[10] * a[15] + a[1] * a[11] * a[14] + a[9] * a[2] * a[15] - a[9] * a[3] * a[14] -
             a[13] * a[2] * a[11] + a[13] * a[3] * a[10];
    inv[5] = a[0] * a[10] * a[15] - a[0] * a[11] * a[14] - a[8] * a[2] * a[15] + a[8] * a[3] * a[14] +
             a[12] * a[2] * a[11] - a[12] * a[3] * a[10];
    inv[9] = -a[0] * a[9] * a[15] + a[0] * a[11] * a[13] + a[8] * a[1] * a[15] - a[8] * a[3] * a[13] -
             a[12] * a[1] * a[11] + a[12] * a[3] * a[9];
    inv[13] = a[0] * a[9] * a[14] - a[0] * a[10] * a[13] - a[8] * a[1] * a[14] + a[8] * a[2] * a[13] +
              a[12] * a[1] * a[10] - a[12] * a[2] * a[9];
    inv[2] = a[1] * a[6] * a[15] - a[1] * a[7] * a[14] - a[5] * a[2] * a[15] + a[5] * a[3] * a[14] +
             a[13] * a[2] * a[7] - a[13] * a[3] * a[6];
    inv[6] = -a[0] * a[6] * a[15] + a[0] * a[7] * a[14] + a[4] * a[2] * a[15] - a[4] * a[3] * a[14] -
             a[12] * a[2] * a[7] + a[12] * a[3] * a[6];
    inv[10] = a[0] * a[5] * a[15] - a[0] * a[7] * a[13] - a[4] * a[1] * a[15] + a[4] * a[3] * a[13] +
              a[12] * a[1] * a[7] - a[12] * a[3] * a[5];
    inv[14] = -a[0] * a[5] * a[14] + a[0] * a[6] * a[13] + a[4] * a[1] * a[14] - a[4] * a[2] * a[13] -
              a[12] * a[1] * a[6] + a[12] * a[2] * a[5];
    inv[3] = -a[1] * a[6] * a[11] + a[1] * a[7] * a[10] + a[5] * a[2] * a[11] - a[5] * a[3] * a[10] -
             a[9] * a[2] * a[7] + a[9] * a[3] * a[6];
    inv[7] = a[0] * a[6] * a[11] - a[0] * a[7] * a[10] - a[4] * a[2] * a[11] + a[4] * a[3] * a[10] +
             a[8] * a[2] * a[7] - a[8] * a[3] * a[6];
    inv[11] = -a[0] * a[5] * a[11] + a[0] * a[7] * a[9] + a[4] * a[1] * a[11] - a[4] * a[3] * a[9] -
              a[8] * a[1] * a[7] + a[8] * a[3] * a[5];
    inv[15] = a[0] * a[5] * a[10] - a[0] * a[6] * a[9] - a[4] * a[1] * a[10] + a[4] * a[2] * a[9] +
              a[8] * a[1] * a[6] - a[8] * a[2] * a[5];
    double det = a[0] * inv[0] + a[1] * inv[4] + a[2] * inv[8] + a[3] * inv[12];
    if (det == 0.0)
        return false;
    for (int i = 0; i < 16; ++i)
        m[i] = float(inv[i] / det);
    return true;
}

Rotation::Rotation(const Orientation &q) {
    const float xx = q.x * q.x, yy = q.y * q.y, zz = q.z * q.z;
    const float xy = q.x * q.y, xz = q.x * q.z, yz = q.y * q.z;
    const float wx = q.w * q.x, wy = q.w * q.y, wz = q.w * q.z;
    r[0] = 1 - 2 * (yy + zz); r[1] = 2 * (xy - wz);     r[2] = 2 * (xz + wy);
    r[3] = 2 * (xy + wz);     r[4] = 1 - 2 * (xx + zz); r[5] = 2 * (yz - wx);
    r[6] = 2 * (xz - wy);     r[7] = 2 * (yz + wx);     r[8] = 1 - 2 * (xx + yy);
}

void Rotation::setIdentity() {
    for (int i = 0; i < 9; ++i)
        r[i] = (i % 4 == 0) ? 1.0f : 0.0f;
}

Vector3<float> Rotation::operator*(const Vector3<float> &v) const {
    return {r[0] * v.x + r[1] * v.y + r[2] * v.z, r[3] * v.x + r[4] * v.y + r[5] * v.z,
            r[6] * v.x + r[7] * v.y + r[8] * v.z};
}

Orientation::Orientation(const Vector3<float> &from, const Vector3<float> &to) {
    Vector3<float> a = Vector3<float>::normalize(from), b = Vector3<float>::normalize(to);
    float d = Vector3<float>::dot(a, b);
    if (d >= 1.0f - 1e-7f) { // already aligned
        setIdentity();
        return;
    }
    if (d <= -1.0f + 1e-7f) {
        // Opposite: any axis perpendicular to `a` gives the half turn.
        Vector3<float> axis = Vector3<float>::cross(Vector3<float>(1, 0, 0), a);
        if (axis.squaredNorm() < 1e-12f)
            axis = Vector3<float>::cross(Vector3<float>(0, 1, 0), a);
        axis.normalize();
        x = axis.x; y = axis.y; z = axis.z; w = 0;
        return;
    }
    Vector3<float> c = Vector3<float>::cross(a, b);
    float s = std::sqrt((1 + d) * 2);
    x = c.x / s; y = c.y / s; z = c.z / s; w = s * 0.5f;
    normalise();
}

Orientation Orientation::fromAngleAxis(float angle, const Vector3<float> &axis) {
    Vector3<float> n = Vector3<float>::normalize(axis);
    float s = std::sin(angle * 0.5f);
    return Orientation(n.x * s, n.y * s, n.z * s, std::cos(angle * 0.5f));
}

void Orientation::normalise() {
    float n = std::sqrt(x * x + y * y + z * z + w * w);
    if (n > 0) { x /= n; y /= n; z /= n; w /= n; }
}

Orientation Orientation::operator*(const Orientation &o) const {
    return Orientation(w * o.x + x * o.w + y * o.z - z * o.y, w * o.y - x * o.z + y * o.w + z * o.x,
                       w * o.z + x * o.y - y * o.x + z * o.w, w * o.w - x * o.x - y * o.y - z * o.z);
}

Translation Translation::operator*(const Orientation &o) const {
    return Translation(Rotation(o) * Vector3<float>(x, y, z));
}

void Transform::set(const Orientation &o, const Translation &t) {
    setIdentity();
    setOrientation(o);
    setTranslation(t);
}

void Transform::setOrientation(const Orientation &o) {
    Rotation r(o);
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            m[i * 4 + j] = r(i, j);
}

void Transform::setTranslation(const Translation &t) {
    m[3] = t.x;
    m[7] = t.y;
    m[11] = t.z;
}

} // namespace twl
