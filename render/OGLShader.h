#pragma once
// A GLSL program made of one vertex and one fragment shader. Problems are
// written to standard output; the program name stays usable (0 after a
// failed link) so that drawing goes on without a retry.

class OGLShader {
public:
    OGLShader(const char *vertexSource, const char *fragmentSource);
    ~OGLShader();
    OGLShader(const OGLShader &) = delete;
    OGLShader &operator=(const OGLShader &) = delete;

    unsigned int getProgramId() const { return program; }
    bool isLinked() const { return linked; }

private:
    static bool compile(unsigned int &shader, unsigned int type, const char *source);

    unsigned int vertexShader = 0;
    unsigned int fragmentShader = 0;
    unsigned int program = 0;
    bool linked = false;
};
