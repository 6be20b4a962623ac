#pragma once
// Hands device matrices over to OpenGL objects: a texture or a buffer is
// registered once, then every frame is mapped, filled by one copy straight
// from the device matrix (honouring its row pitch) and unmapped. Without a
// GPU, device memory is host memory from the twl pool and the copy goes
// through the GL driver; a CUDA build replaces this class one for one with
// cudaGraphicsGLRegisterImage/Buffer, cudaGraphicsMapResources,
// cudaMemcpy2DToArray/cudaMemcpy2D and cudaGraphicsUnmapResources.
// Needs the owner's GL context current for every call but errorName.

#include <cstddef>

enum class InteropError : int {
    Success = 0,
    InvalidValue = 1,
    InvalidGraphicsContext = 2,
    InvalidResourceHandle = 3,
    AlreadyMapped = 4,
    NotMapped = 5,
    MapFailed = 6,
    NotRegistered = 7
};

class GpuGlBridge {
public:
    GpuGlBridge() = default;
    ~GpuGlBridge();
    GpuGlBridge(const GpuGlBridge &) = delete;
    GpuGlBridge &operator=(const GpuGlBridge &) = delete;

    /// Registers level 0 of an RGBA8 GL_TEXTURE_2D; replaces any earlier registration.
    InteropError registerImage(unsigned int texture);
    /// Registers a GL buffer for write-discard filling; replaces any earlier registration.
    InteropError registerBuffer(unsigned int buffer);
    /// Forgets the registration (unmapping first); the GL object itself stays.
    void unregister();
    bool isRegistered() const { return kind != Kind::None; }
    bool isMapped() const { return mapped; }
    /// Width and height (texture) or byte size (buffer, width only) of the registered object.
    int registeredWidth() const { return objectWidth; }
    int registeredHeight() const { return objectHeight; }
    size_t registeredBytes() const { return objectBytes; }

    InteropError map();
    InteropError unmap();
    /// Copies `rows` rows of `widthBytes` bytes, `srcPitch` bytes apart, into
    /// the mapped texture at (0, 0) (bytes unchanged: RGBA8 receives BGRA) or
    /// packed into the mapped buffer from offset 0.
    InteropError copy2D(const void *src, size_t srcPitch, size_t widthBytes, size_t rows);

    static const char *errorName(InteropError error);

private:
    enum class Kind { None, Image, Buffer };
    Kind kind = Kind::None;
    bool mapped = false;
    unsigned int object = 0;
    int objectWidth = 0, objectHeight = 0;
    size_t objectBytes = 0;
    void *mappedPointer = nullptr;
};
