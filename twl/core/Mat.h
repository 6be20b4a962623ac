#pragma once
// A picture or measure matrix with host memory, device memory or both.
// Host rows are contiguous; device rows are padded to the device pitch, so
// readers of device memory must step by getStepBytes(MEM_GPU).

#include "twl/core/Math.h"
#include "twl/core/Types.h"

namespace twl {

class Mat {
public:
    Mat() = default;
    Mat(size_t width, size_t height, MAT_TYPE type, MEM memory = MEM_CPU);
    Mat(Resolution size, MAT_TYPE type, MEM memory = MEM_CPU);
    ~Mat();
    Mat(const Mat &) = delete;
    Mat &operator=(const Mat &) = delete;
    Mat(Mat &&other) noexcept;
    Mat &operator=(Mat &&other) noexcept;

    /// (Re)allocates the given memories; an existing allocation of the same
    /// size and type is kept. Returns ERROR_CODE_NOT_ENOUGH_DEVICE_MEMORY when
    /// the device pool is full (the matrix is then left without device memory).
    ERROR_CODE alloc(size_t width, size_t height, MAT_TYPE type, MEM memory = MEM_CPU);
    ERROR_CODE alloc(Resolution size, MAT_TYPE type, MEM memory = MEM_CPU);
    void free(MEM memory = MEM_BOTH);

    template <typename T = uchar> T *getPtr(MEM memory = MEM_CPU) const {
        return reinterpret_cast<T *>(memory == MEM_GPU ? gpu_ : cpu_);
    }
    size_t getStepBytes(MEM memory = MEM_CPU) const { return memory == MEM_GPU ? gpuStep_ : cpuStep_; }
    /// Row pitch in elements (of the matrix's element type).
    size_t getStep(MEM memory = MEM_CPU) const { return getStepBytes(memory) / elementBytes(); }
    size_t getWidth() const { return width_; }
    size_t getHeight() const { return height_; }
    Resolution getResolution() const { return Resolution(width_, height_); }
    MAT_TYPE getDataType() const { return type_; }
    int getChannels() const;
    /// Bytes of one channel value (1 for 8-bit, 4 for float).
    size_t elementBytes() const;
    size_t getPixelBytes() const { return elementBytes() * size_t(getChannels()); }
    size_t getWidthBytes() const { return getPixelBytes() * width_; }
    MEM getMemoryType() const;
    bool isInit() const { return cpu_ || gpu_; }

    /// Value of pixel (x, y); channels beyond the matrix's are 0.
    ERROR_CODE getValue(size_t x, size_t y, Vector4<float> *value, MEM memory = MEM_CPU) const;
    ERROR_CODE getValue(size_t x, size_t y, float *value, MEM memory = MEM_CPU) const;
    ERROR_CODE getValue(size_t x, size_t y, Vector4<uchar> *value, MEM memory = MEM_CPU) const;
    ERROR_CODE setValue(size_t x, size_t y, const Vector4<float> &value, MEM memory = MEM_CPU);

    /// Copies between the two memories of this matrix.
    ERROR_CODE updateCPUfromGPU();
    ERROR_CODE updateGPUfromCPU();
    /// Copies the content (same size and type) into `dst`'s matching memory.
    ERROR_CODE copyTo(Mat &dst, MEM from = MEM_CPU, MEM to = MEM_CPU) const;
    /// Writes `size` bytes of a packed (unpadded) picture into the given memory.
    ERROR_CODE setFrom(const void *packed, size_t packedStepBytes, MEM memory);

private:
    unsigned char *rowPtr(size_t y, MEM memory) const;

    size_t width_ = 0, height_ = 0;
    MAT_TYPE type_ = MAT_TYPE_8U_C4;
    unsigned char *cpu_ = nullptr;
    unsigned char *gpu_ = nullptr;
    size_t cpuStep_ = 0, gpuStep_ = 0;
};

/// Packs 8-bit red, green, blue into the colour word of the point cloud:
/// red in bits 0-7, green 8-15, blue 16-23, 255 in bits 24-31.
float packColor(unsigned char r, unsigned char g, unsigned char b);
void unpackColor(float word, unsigned char *r, unsigned char *g, unsigned char *b);

} // namespace twl
