#pragma once
// Small vector, quaternion and matrix types used by the point-cloud view's
// camera. Matrices are stored row by row; vectors are columns.

#include <cmath>
#include <cstddef>

namespace twl {

template <typename T> struct Vector3 {
    T x = 0, y = 0, z = 0;
    Vector3() = default;
    Vector3(T x_, T y_, T z_) : x(x_), y(y_), z(z_) {}
    T &operator[](size_t i) { return i == 0 ? x : (i == 1 ? y : z); }
    T operator[](size_t i) const { return i == 0 ? x : (i == 1 ? y : z); }
    Vector3 operator+(const Vector3 &o) const { return {x + o.x, y + o.y, z + o.z}; }
    Vector3 operator-(const Vector3 &o) const { return {x - o.x, y - o.y, z - o.z}; }
    Vector3 operator-() const { return {-x, -y, -z}; }
    Vector3 operator*(T s) const { return {x * s, y * s, z * s}; }
    Vector3 &operator+=(const Vector3 &o) { x += o.x; y += o.y; z += o.z; return *this; }
    Vector3 &operator*=(T s) { x *= s; y *= s; z *= s; return *this; }
    static T dot(const Vector3 &a, const Vector3 &b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
    static Vector3 cross(const Vector3 &a, const Vector3 &b) {
        return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
    }
    T norm() const { return std::sqrt(x * x + y * y + z * z); }
    T squaredNorm() const { return x * x + y * y + z * z; }
    void normalize() {
        T n = norm();
        if (n > 0) { x /= n; y /= n; z /= n; }
    }
    static Vector3 normalize(Vector3 v) { v.normalize(); return v; }
};

template <typename T> struct Vector4 {
    T x = 0, y = 0, z = 0, w = 0;
    Vector4() = default;
    Vector4(T x_, T y_, T z_, T w_) : x(x_), y(y_), z(z_), w(w_) {}
    T &operator[](size_t i) { return i == 0 ? x : (i == 1 ? y : (i == 2 ? z : w)); }
    T operator[](size_t i) const { return i == 0 ? x : (i == 1 ? y : (i == 2 ? z : w)); }
};

typedef Vector3<float> float3;
typedef Vector4<float> float4;

/// 4 x 4 float matrix, row-major: m[row * 4 + col].
class Matrix4f {
public:
    float m[16];
    Matrix4f() { setIdentity(); }
    float &operator()(int row, int col) { return m[row * 4 + col]; }
    float operator()(int row, int col) const { return m[row * 4 + col]; }
    void setIdentity();
    void setZeros();
    static Matrix4f identity() { return Matrix4f(); }
    Matrix4f operator*(const Matrix4f &o) const;
    Vector4<float> operator*(const Vector4<float> &v) const;
    void transpose();
    static Matrix4f transpose(const Matrix4f &in) { Matrix4f r = in; r.transpose(); return r; }
    /// Inverse by cofactors; returns false (and leaves the matrix) when singular.
    bool inverse();
    static Matrix4f inverse(const Matrix4f &in) { Matrix4f r = in; r.inverse(); return r; }
};

class Orientation;

/// 3 x 3 rotation matrix, row-major.
class Rotation {
public:
    float r[9];
    Rotation() { setIdentity(); }
    explicit Rotation(const Orientation &o);
    void setIdentity();
    float operator()(int row, int col) const { return r[row * 3 + col]; }
    Vector3<float> operator*(const Vector3<float> &v) const;
};

/// Unit quaternion (x, y, z, w).
class Orientation {
public:
    float x = 0, y = 0, z = 0, w = 1;
    Orientation() = default;
    Orientation(float x_, float y_, float z_, float w_) : x(x_), y(y_), z(z_), w(w_) {}
    /// The shortest rotation that takes vector `from` onto vector `to`.
    Orientation(const Vector3<float> &from, const Vector3<float> &to);
    /// Rotation by `angle` radians about `axis` (normalised here).
    static Orientation fromAngleAxis(float angle, const Vector3<float> &axis);
    void setIdentity() { x = y = z = 0; w = 1; }
    void normalise();
    /// Quaternion product: (a * b) applies b first, then a.
    Orientation operator*(const Orientation &o) const;
    Rotation getRotationMatrix() const { return Rotation(*this); }
};

/// A translation, or any 3-vector that is turned by an orientation.
class Translation : public Vector3<float> {
public:
    Translation() = default;
    Translation(float x_, float y_, float z_) : Vector3<float>(x_, y_, z_) {}
    Translation(const Vector3<float> &v) : Vector3<float>(v) {}
    /// The vector rotated by the quaternion.
    Translation operator*(const Orientation &o) const;
};

/// Rigid transform: rotation then translation, as a 4 x 4 matrix.
class Transform : public Matrix4f {
public:
    Transform() = default;
    Transform(const Orientation &o, const Translation &t) { set(o, t); }
    void set(const Orientation &o, const Translation &t);
    void setOrientation(const Orientation &o);
    void setTranslation(const Translation &t);
    Translation getTranslation() const { return Translation(m[3], m[7], m[11]); }
};

} // namespace twl
