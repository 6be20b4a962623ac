#include <GL/glew.h>

#include "render/OGLShader.h"

#include <iostream>
#include <vector>

OGLShader::OGLShader(const char *vertexSource, const char *fragmentSource) {
    const bool vertexOk = compile(vertexShader, GL_VERTEX_SHADER, vertexSource);
    if (!vertexOk) std::cout << "ERROR: while compiling vertex shader" << std::endl;
    const bool fragmentOk = compile(fragmentShader, GL_FRAGMENT_SHADER, fragmentSource);
    if (!fragmentOk) std::cout << "ERROR: while compiling fragment shader" << std::endl;
    // A program linked from what is left would draw with undefined colours.
    if (!vertexOk || !fragmentOk) return;

    program = glCreateProgram();
    if (vertexShader) glAttachShader(program, vertexShader);
    if (fragmentShader) glAttachShader(program, fragmentShader);
    glLinkProgram(program);

    GLint status = 0;
    glGetProgramiv(program, GL_LINK_STATUS, &status);
    if (status != 1) {
        std::cout << "ERROR: while linking Shader :" << std::endl;
        GLint length = 0;
        glGetProgramiv(program, GL_INFO_LOG_LENGTH, &length);
        std::vector<char> log(size_t(length > 0 ? length : 0) + 1, '\0');
        if (length > 0) glGetProgramInfoLog(program, length, nullptr, log.data());
        std::cout << log.data() << std::endl;
        glDeleteProgram(program);
        program = 0;
        return;
    }
    linked = true;
}

OGLShader::~OGLShader() {
    if (vertexShader) glDeleteShader(vertexShader);
    if (fragmentShader) glDeleteShader(fragmentShader);
    if (program) glDeleteProgram(program);
}

bool OGLShader::compile(unsigned int &shader, unsigned int type, const char *source) {
    shader = glCreateShader(type);
    if (shader == 0) {
        std::cout << "ERROR: shader type (" << type << ") does not exist" << std::endl;
        return false;
    }
    glShaderSource(shader, 1, &source, nullptr);
    glCompileShader(shader);
    GLint status = 0;
    glGetShaderiv(shader, GL_COMPILE_STATUS, &status);
    if (status == 1) return true;
    std::cout << "ERROR: while compiling Shader :" << std::endl;
    GLint length = 0;
    glGetShaderiv(shader, GL_INFO_LOG_LENGTH, &length);
    std::vector<char> log(size_t(length > 0 ? length : 0) + 1, '\0');
    if (length > 0) glGetShaderInfoLog(shader, length, nullptr, log.data());
    std::cout << log.data() << std::endl;
    glDeleteShader(shader);
    shader = 0;
    return false;
}
