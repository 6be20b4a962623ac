#include <GL/glew.h>

#include "render/OGLMesh.h"

OGLMesh::OGLMesh(bool staticMesh) : isStatic(staticMesh), drawingType(GL_TRIANGLES) {}

// The GL objects belong to the owner's context: the owner calls release()
// with it current before deleting the mesh.
OGLMesh::~OGLMesh() = default;

void OGLMesh::addPoint(float x, float y, float z, float r, float g, float b) {
    vertices.insert(vertices.end(), {x, y, z});
    colors.insert(colors.end(), {r, g, b});
    indices.push_back(uint32_t(indices.size()));
}

void OGLMesh::addTriangles(int count, const float *vertexTable, const int *faceTable, const float *color) {
    for (int face = 0; face < count; ++face)
        for (int corner = 0; corner < 3; ++corner) {
            const float *v = vertexTable + (faceTable[face * 3 + corner] - 1) * 3;
            addPoint(v[0], v[1], v[2], color[0], color[1], color[2]);
        }
}

void OGLMesh::clear() {
    ready = false;
    vertices.clear();
    colors.clear();
    indices.clear();
}

void OGLMesh::pushToGPU() {
    if (isStatic && vao != 0) return;
    ready = false;
    if (vao == 0) {
        glGenVertexArrays(1, &vao);
        glGenBuffers(3, vbo);
    }
    const GLenum usage = isStatic ? GL_STATIC_DRAW : GL_DYNAMIC_DRAW;
    glBindVertexArray(vao);
    glBindBuffer(GL_ARRAY_BUFFER, vbo[0]);
    glBufferData(GL_ARRAY_BUFFER, GLsizeiptr(vertices.size() * sizeof(float)), vertices.data(), usage);
    glVertexAttribPointer(0, 3, GL_FLOAT, GL_FALSE, 0, nullptr);
    glEnableVertexAttribArray(0);
    glBindBuffer(GL_ARRAY_BUFFER, vbo[1]);
    glBufferData(GL_ARRAY_BUFFER, GLsizeiptr(colors.size() * sizeof(float)), colors.data(), usage);
    glVertexAttribPointer(1, 3, GL_FLOAT, GL_FALSE, 0, nullptr);
    glEnableVertexAttribArray(1);
    glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, vbo[2]);
    glBufferData(GL_ELEMENT_ARRAY_BUFFER, GLsizeiptr(indices.size() * sizeof(uint32_t)), indices.data(),
                 usage);
    glBindVertexArray(0);
    glBindBuffer(GL_ARRAY_BUFFER, 0);
    glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, 0);
    ready = true;
}

void OGLMesh::draw() const {
    if (!ready) return;
    glBindVertexArray(vao);
    glDrawElements(drawingType, GLsizei(indices.size()), GL_UNSIGNED_INT, nullptr);
    glBindVertexArray(0);
}

void OGLMesh::release() {
    if (vao != 0) {
        glDeleteBuffers(3, vbo);
        glDeleteVertexArrays(1, &vao);
        vao = 0;
        vbo[0] = vbo[1] = vbo[2] = 0;
    }
    ready = false;
    std::vector<float>().swap(vertices);
    std::vector<float>().swap(colors);
    std::vector<uint32_t>().swap(indices);
}
