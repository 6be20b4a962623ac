#include "render/CameraBodyModel.h"

#include "render/OGLMesh.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr float kTwoPi = 6.28318530718f;

// Rounded-box section: exponents below 1 square the circle off.
float superCos(float a) {
    return std::copysign(std::pow(std::fabs(std::cos(a)), 0.45f), std::cos(a));
}
float superSin(float a) {
    return std::copysign(std::pow(std::fabs(std::sin(a)), 0.45f), std::sin(a));
}

} // namespace

int CameraBodyModel::addVertex(float x, float y, float z) {
    vertexTable.insert(vertexTable.end(), {x, y, z});
    return vertexCount();
}

void CameraBodyModel::addFace(int a, int b, int c) {
    faceTable.insert(faceTable.end(), {a, b, c});
}

int CameraBodyModel::addRing(int n, float x, float ry, float rz, float cy, float cz) {
    const int first = vertexCount() + 1;
    for (int i = 0; i < n; ++i) {
        const float a = kTwoPi * float(i) / float(n);
        addVertex(x, cy + ry * superCos(a), cz + rz * superSin(a));
    }
    return first;
}

void CameraBodyModel::addFan(int centre, int ring, int n) {
    for (int i = 0; i < n; ++i)
        addFace(centre, ring + (i + 1) % n, ring + i);
}

void CameraBodyModel::addBand(int ringA, int ringB, int n) {
    for (int i = 0; i < n; ++i) {
        const int j = (i + 1) % n;
        addFace(ringA + i, ringB + i, ringB + j);
        addFace(ringA + i, ringB + j, ringA + j);
    }
}

void CameraBodyModel::fitInto(const float min[3], const float max[3]) {
    for (int axis = 0; axis < 3; ++axis) {
        float lo = vertexTable[size_t(axis)], hi = lo;
        for (size_t i = size_t(axis); i < vertexTable.size(); i += 3) {
            lo = std::min(lo, vertexTable[i]);
            hi = std::max(hi, vertexTable[i]);
        }
        const float scale = hi > lo ? (max[axis] - min[axis]) / (hi - lo) : 0.0f;
        for (size_t i = size_t(axis); i < vertexTable.size(); i += 3)
            vertexTable[i] = min[axis] + (vertexTable[i] - lo) * scale;
    }
}

void CameraBodyModel::addTo(OGLMesh &mesh) const {
    int face = 0;
    for (const Group &group : groups) {
        mesh.addTriangles(group.faces, vertexTable.data(), faceTable.data() + face * 3, group.color);
        face += group.faces;
    }
}

CameraBodyModel CameraBodyModel::make(bool firstModel) {
    CameraBodyModel model;
    if (firstModel) {
        // A rounded bar along x: two rings of 27 and the two end caps
        // (56 vertices); the mantle in light grey, the caps nearly black.
        const int n = 27;
        const int a = model.addRing(n, 0.0f, 1.0f, 1.0f);
        const int b = model.addRing(n, 1.0f, 1.0f, 1.0f);
        const int ca = model.addVertex(0.0f, 0.0f, 0.0f);
        const int cb = model.addVertex(1.0f, 0.0f, 0.0f);
        model.addBand(a, b, n);
        model.addFan(ca, a, n);
        for (int i = 0; i < n; ++i) // the far cap faces the other way
            model.addFace(cb, b + i, b + (i + 1) % n);
        const float min[3] = {-0.0248f, -0.0163f, -0.0163f}, max[3] = {0.1448f, 0.0163f, 0.0163f};
        model.fitInto(min, max);
        model.groups = {{54, {0.64f, 0.64f, 0.64f}}, {54, {0.052218f, 0.052218f, 0.052218f}}};
        return model;
    }
    // The compact body: front panel (a fan of 353), the mantle (27 rings of
    // 20, open at the ends), two lenses (fans of 20) and a yellow stripe (a
    // band between two rings of 40): 1016 vertices, 1513 faces.
    const int panelSegments = 353;
    const int panelRing = model.addRing(panelSegments, 0.0f, 0.0f, 0.0f);
    for (int i = 0; i < panelSegments; ++i) { // the panel lies in the front plane
        const float a = kTwoPi * float(i) / float(panelSegments);
        float *v = &model.vertexTable[size_t(panelRing - 1 + i) * 3];
        v[0] = 0.85f * superCos(a);
        v[1] = 0.8f * superSin(a);
        v[2] = -1.02f;
    }
    const int panelCentre = model.addVertex(0.0f, 0.0f, -1.02f);
    model.addFan(panelCentre, panelRing, panelSegments);

    const int rings = 27, segments = 20;
    int previous = 0;
    for (int r = 0; r < rings; ++r) {
        const int ring = model.addRing(segments, -1.0f + 2.0f * float(r) / float(rings - 1), 1.0f, 1.0f);
        if (r > 0) model.addBand(previous, ring, segments);
        previous = ring;
    }
    for (float x : {-0.55f, 0.55f}) {
        const int lensRing = model.addRing(20, 0.0f, 0.0f, 0.0f);
        for (int i = 0; i < 20; ++i) {
            const float a = kTwoPi * float(i) / 20.0f;
            float *v = &model.vertexTable[size_t(lensRing - 1 + i) * 3];
            v[0] = x + 0.3f * std::cos(a);
            v[1] = 0.3f * std::sin(a);
            v[2] = -1.06f;
        }
        model.addFan(model.addVertex(x, 0.0f, -1.06f), lensRing, 20);
    }
    const int stripeA = model.addRing(40, 0.90f, 1.03f, 1.03f);
    const int stripeB = model.addRing(40, 0.97f, 1.03f, 1.03f);
    model.addBand(stripeA, stripeB, 40);

    const float min[3] = {-0.0318f, -0.0133f, -0.0230f}, max[3] = {0.0934f, 0.0133f, 0.0065f};
    model.fitInto(min, max);
    const float light[3] = {0.79f, 0.82f, 0.93f}, dark[3] = {0.07f, 0.07f, 0.07f};
    const float grey[3] = {0.22f, 0.22f, 0.22f}, yellow[3] = {1.0f, 1.0f, 0.0f};
    auto group = [](int faces, const float *c) { return Group{faces, {c[0], c[1], c[2]}}; };
    model.groups = {group(35, light), group(52, light), group(38, light), group(1142, dark),
                    group(126, dark), group(20, grey),  group(20, grey),  group(80, yellow)};
    return model;
}
