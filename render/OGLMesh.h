#pragma once
// A piece of coloured geometry of the point-cloud view with its own vertex
// array: positions at attribute 0, colours at attribute 1, one index per
// vertex. Drawn without a model transform, in the point-cloud frame.

#include <cstdint>
#include <vector>

class OGLMesh {
public:
    explicit OGLMesh(bool isStatic = false);
    ~OGLMesh();
    OGLMesh(const OGLMesh &) = delete;
    OGLMesh &operator=(const OGLMesh &) = delete;

    void addPoint(float x, float y, float z, float r, float g, float b);
    /// For each of `count` faces (three 1-based vertex numbers), appends the
    /// three vertices of `vertexTable` (x, y, z each) in `color` (r, g, b).
    void addTriangles(int count, const float *vertexTable, const int *faceTable, const float *color);
    /// Empties the arrays (storage kept); nothing is drawn until the next upload.
    void clear();
    /// Uploads the arrays (needs the GL context current).
    void pushToGPU();
    void draw() const;
    /// Deletes the GL objects (needs the GL context current) and frees the arrays.
    void release();

    void setDrawingType(unsigned int mode) { drawingType = mode; }
    unsigned int getDrawingType() const { return drawingType; }
    bool isReady() const { return ready; }
    int vertexCount() const { return int(indices.size()); }
    const std::vector<float> &getVertices() const { return vertices; }
    const std::vector<float> &getColors() const { return colors; }

private:
    std::vector<float> vertices;
    std::vector<float> colors;
    std::vector<uint32_t> indices;
    bool isStatic;
    bool ready = false;
    unsigned int drawingType;
    unsigned int vao = 0;
    unsigned int vbo[3] = {0, 0, 0};
};
