#include <GL/glew.h>

#include "render/GpuGlBridge.h"

#include <cstring>

namespace {

// Without a current context the GL dispatch answers every query with null.
bool contextCurrent() {
    return glGetString(GL_VERSION) != nullptr;
}

// Keeps the caller's GL bindings and unpack state as they were.
struct TextureBinding {
    GLint previous = 0;
    explicit TextureBinding(GLuint texture) {
        glGetIntegerv(GL_TEXTURE_BINDING_2D, &previous);
        glBindTexture(GL_TEXTURE_2D, texture);
    }
    ~TextureBinding() { glBindTexture(GL_TEXTURE_2D, GLuint(previous)); }
};

struct ArrayBufferBinding {
    GLint previous = 0;
    explicit ArrayBufferBinding(GLuint buffer) {
        glGetIntegerv(GL_ARRAY_BUFFER_BINDING, &previous);
        glBindBuffer(GL_ARRAY_BUFFER, buffer);
    }
    ~ArrayBufferBinding() { glBindBuffer(GL_ARRAY_BUFFER, GLuint(previous)); }
};

} // namespace

GpuGlBridge::~GpuGlBridge() {
    // Unmapping a buffer needs its context; without one the driver drops the
    // mapping with the buffer anyway.
    if (mapped && contextCurrent()) unmap();
}

InteropError GpuGlBridge::registerImage(unsigned int texture) {
    unregister();
    if (!contextCurrent() || !glewIsSupported("GL_VERSION_2_1")) return InteropError::InvalidGraphicsContext;
    if (texture == 0 || !glIsTexture(texture)) return InteropError::InvalidValue;
    GLint width = 0, height = 0, format = 0;
    {
        TextureBinding bind(texture);
        glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_WIDTH, &width);
        glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_HEIGHT, &height);
        glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_INTERNAL_FORMAT, &format);
    }
    if (width <= 0 || height <= 0 || (format != GL_RGBA8 && format != GL_RGBA))
        return InteropError::InvalidValue;
    kind = Kind::Image;
    object = texture;
    objectWidth = width;
    objectHeight = height;
    objectBytes = size_t(width) * size_t(height) * 4;
    return InteropError::Success;
}

InteropError GpuGlBridge::registerBuffer(unsigned int buffer) {
    unregister();
    if (!contextCurrent() || !glewIsSupported("GL_VERSION_3_0")) return InteropError::InvalidGraphicsContext;
    if (buffer == 0 || !glIsBuffer(buffer)) return InteropError::InvalidValue;
    GLint64 size = 0;
    {
        ArrayBufferBinding bind(buffer);
        glGetBufferParameteri64v(GL_ARRAY_BUFFER, GL_BUFFER_SIZE, &size);
    }
    if (size <= 0) return InteropError::InvalidValue;
    kind = Kind::Buffer;
    object = buffer;
    objectWidth = objectHeight = 0;
    objectBytes = size_t(size);
    return InteropError::Success;
}

void GpuGlBridge::unregister() {
    if (mapped && contextCurrent()) unmap();
    mapped = false;
    mappedPointer = nullptr;
    kind = Kind::None;
    object = 0;
    objectWidth = objectHeight = 0;
    objectBytes = 0;
}

InteropError GpuGlBridge::map() {
    if (kind == Kind::None) return InteropError::NotRegistered;
    if (mapped) return InteropError::AlreadyMapped;
    if (!contextCurrent()) return InteropError::InvalidGraphicsContext;
    if (kind == Kind::Buffer) {
        ArrayBufferBinding bind(object);
        // Write-discard: the old content is never read back.
        mappedPointer = glMapBufferRange(GL_ARRAY_BUFFER, 0, GLsizeiptr(objectBytes),
                                         GL_MAP_WRITE_BIT | GL_MAP_INVALIDATE_BUFFER_BIT);
        if (!mappedPointer) return InteropError::MapFailed;
    }
    mapped = true;
    return InteropError::Success;
}

InteropError GpuGlBridge::unmap() {
    if (kind == Kind::None) return InteropError::NotRegistered;
    if (!mapped) return InteropError::NotMapped;
    if (!contextCurrent()) return InteropError::InvalidGraphicsContext;
    mapped = false;
    if (kind == Kind::Buffer) {
        mappedPointer = nullptr;
        ArrayBufferBinding bind(object);
        if (glUnmapBuffer(GL_ARRAY_BUFFER) != GL_TRUE)
            return InteropError::MapFailed; // content lost (driver event); the next frame refills it
    }
    return InteropError::Success;
}

InteropError GpuGlBridge::copy2D(const void *src, size_t srcPitch, size_t widthBytes, size_t rows) {
    if (kind == Kind::None) return InteropError::NotRegistered;
    if (!mapped) return InteropError::NotMapped;
    if (!src || widthBytes == 0 || rows == 0 || srcPitch < widthBytes) return InteropError::InvalidValue;
    if (kind == Kind::Buffer) {
        if (rows > objectBytes / widthBytes) return InteropError::InvalidValue;
        auto *dst = static_cast<unsigned char *>(mappedPointer);
        auto *from = static_cast<const unsigned char *>(src);
        if (srcPitch == widthBytes) {
            std::memcpy(dst, from, widthBytes * rows);
        } else {
            for (size_t r = 0; r < rows; ++r)
                std::memcpy(dst + r * widthBytes, from + r * srcPitch, widthBytes);
        }
        return InteropError::Success;
    }
    // Texture: whole pixels only, inside the registered level.
    if (widthBytes % 4 != 0 || widthBytes / 4 > size_t(objectWidth) || rows > size_t(objectHeight))
        return InteropError::InvalidValue;
    TextureBinding bind(object);
    GLint unpackBuffer = 0;
    glGetIntegerv(GL_PIXEL_UNPACK_BUFFER_BINDING, &unpackBuffer);
    if (unpackBuffer) glBindBuffer(GL_PIXEL_UNPACK_BUFFER, 0);
    // The pitch becomes the unpack row length, so the driver reads the padded
    // rows in place: one transfer, no repacking here.
    const bool rowLengthFits = srcPitch % 4 == 0;
    glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
    if (rowLengthFits) {
        glPixelStorei(GL_UNPACK_ROW_LENGTH, GLint(srcPitch / 4));
        glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, GLsizei(widthBytes / 4), GLsizei(rows), GL_RGBA,
                        GL_UNSIGNED_BYTE, src);
        glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
    } else {
        glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
        auto *from = static_cast<const unsigned char *>(src);
        for (size_t r = 0; r < rows; ++r)
            glTexSubImage2D(GL_TEXTURE_2D, 0, 0, GLint(r), GLsizei(widthBytes / 4), 1, GL_RGBA,
                            GL_UNSIGNED_BYTE, from + r * srcPitch);
        glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
    }
    if (unpackBuffer) glBindBuffer(GL_PIXEL_UNPACK_BUFFER, GLuint(unpackBuffer));
    return InteropError::Success;
}

const char *GpuGlBridge::errorName(InteropError error) {
    switch (error) {
    case InteropError::Success:
        return "interopSuccess";
    case InteropError::InvalidValue:
        return "interopErrorInvalidValue";
    case InteropError::InvalidGraphicsContext:
        return "interopErrorInvalidGraphicsContext";
    case InteropError::InvalidResourceHandle:
        return "interopErrorInvalidResourceHandle";
    case InteropError::AlreadyMapped:
        return "interopErrorAlreadyMapped";
    case InteropError::NotMapped:
        return "interopErrorNotMapped";
    case InteropError::MapFailed:
        return "interopErrorMapFailed";
    case InteropError::NotRegistered:
        return "interopErrorNotRegistered";
    }
    return "interopErrorUnknown";
}
