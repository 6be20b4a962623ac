#pragma once
// The two solid camera-body models drawn at the origin of the point-cloud
// view, built procedurally: a vertex table (x, y, z in metres, the left
// camera at the origin) and a face table (1-based vertex numbers) cut into
// coloured groups. The first model is the short bar camera, the second the
// compact body with its front panel, lenses and a yellow stripe.

#include <vector>

class OGLMesh;

class CameraBodyModel {
public:
    struct Group {
        int faces;
        float color[3];
    };

    /// `firstModel` true: the model of cameras reporting model number 0.
    static CameraBodyModel make(bool firstModel);

    /// Adds every group's triangles to `mesh`, in group order.
    void addTo(OGLMesh &mesh) const;

    int vertexCount() const { return int(vertexTable.size() / 3); }
    int faceCount() const { return int(faceTable.size() / 3); }

    std::vector<float> vertexTable;
    std::vector<int> faceTable;
    std::vector<Group> groups;

private:
    int addVertex(float x, float y, float z);
    void addFace(int a, int b, int c);
    /// Closed ring of `n` vertices about the x axis at `x`, superelliptic
    /// section of half-sizes ry, rz centred on (cy, cz); returns the first number.
    int addRing(int n, float x, float ry, float rz, float cy = 0, float cz = 0);
    /// Fan from a centre vertex over the ring starting at `ring` (n vertices).
    void addFan(int centre, int ring, int n);
    /// Band of 2n triangles between two rings of n vertices.
    void addBand(int ringA, int ringB, int n);
    /// Moves every vertex linearly into the given box.
    void fitInto(const float min[3], const float max[3]);
};
