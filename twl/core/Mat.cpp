#include "twl/core/Mat.h"

#include "twl/core/DeviceMemory.h"

#include <cstdlib>
#include <cstring>
#include <utility>

namespace twl {

Mat::Mat(size_t width, size_t height, MAT_TYPE type, MEM memory) { alloc(width, height, type, memory); }

Mat::Mat(Resolution size, MAT_TYPE type, MEM memory) { alloc(size.width, size.height, type, memory); }

Mat::~Mat() { free(MEM_BOTH); }

Mat::Mat(Mat &&o) noexcept { *this = std::move(o); }

Mat &Mat::operator=(Mat &&o) noexcept {
    if (this != &o) {
        free(MEM_BOTH);
        width_ = o.width_;
        height_ = o.height_;
        type_ = o.type_;
        cpu_ = o.cpu_;
        gpu_ = o.gpu_;
        cpuStep_ = o.cpuStep_;
        gpuStep_ = o.gpuStep_;
        o.cpu_ = o.gpu_ = nullptr;
        o.cpuStep_ = o.gpuStep_ = 0;
        o.width_ = o.height_ = 0;
    }
    return *this;
}

int Mat::getChannels() const { return int(type_ % 4) + 1; }

size_t Mat::elementBytes() const { return type_ <= MAT_TYPE_32F_C4 ? 4 : 1; }

MEM Mat::getMemoryType() const {
    if (cpu_ && gpu_)
        return MEM_BOTH;
    return gpu_ ? MEM_GPU : MEM_CPU;
}

ERROR_CODE Mat::alloc(Resolution size, MAT_TYPE type, MEM memory) {
    return alloc(size.width, size.height, type, memory);
}

ERROR_CODE Mat::alloc(size_t width, size_t height, MAT_TYPE type, MEM memory) {
    if (width == 0 || height == 0 || width > 65536 || height > 65536 || type < MAT_TYPE_32F_C1 ||
        type > MAT_TYPE_8U_C4)
        return ERROR_CODE_INVALID_ARGUMENT;
    if (width != width_ || height != height_ || type != type_)
        free(MEM_BOTH);
    width_ = width;
    height_ = height;
    type_ = type;
    const size_t rowBytes = getWidthBytes();
    if ((memory & MEM_CPU) && !cpu_) {
        cpu_ = static_cast<unsigned char *>(std::malloc(rowBytes * height));
        if (!cpu_)
            return ERROR_CODE_FAILURE;
        cpuStep_ = rowBytes;
    }
    if ((memory & MEM_GPU) && !gpu_) {
        gpu_ = static_cast<unsigned char *>(deviceAllocPitch(rowBytes, height, &gpuStep_));
        if (!gpu_)
            return ERROR_CODE_NOT_ENOUGH_DEVICE_MEMORY;
    }
    return SUCCESS;
}

void Mat::free(MEM memory) {
    if ((memory & MEM_CPU) && cpu_) {
        std::free(cpu_);
        cpu_ = nullptr;
        cpuStep_ = 0;
    }
    if ((memory & MEM_GPU) && gpu_) {
        deviceFree(gpu_);
        gpu_ = nullptr;
        gpuStep_ = 0;
    }
    if (!cpu_ && !gpu_)
        width_ = height_ = 0;
}

unsigned char *Mat::rowPtr(size_t y, MEM memory) const {
    unsigned char *base = memory == MEM_GPU ? gpu_ : cpu_;
    return base ? base + y * getStepBytes(memory) : nullptr;
}

ERROR_CODE Mat::getValue(size_t x, size_t y, Vector4<float> *value, MEM memory) const {
    if (!value || x >= width_ || y >= height_)
        return ERROR_CODE_INVALID_ARGUMENT;
    unsigned char *row = rowPtr(y, memory);
    if (!row)
        return ERROR_CODE_INVALID_ARGUMENT;
    *value = Vector4<float>();
    const int c = getChannels();
    if (elementBytes() == 4) {
        const float *p = reinterpret_cast<const float *>(row) + x * size_t(c);
        for (int i = 0; i < c; ++i)
            (*value)[size_t(i)] = p[i];
    } else {
        const unsigned char *p = row + x * size_t(c);
        for (int i = 0; i < c; ++i)
            (*value)[size_t(i)] = p[i];
    }
    return SUCCESS;
}

ERROR_CODE Mat::getValue(size_t x, size_t y, float *value, MEM memory) const {
    Vector4<float> v;
    ERROR_CODE e = getValue(x, y, &v, memory);
    if (e == SUCCESS && value)
        *value = v.x;
    return e;
}

ERROR_CODE Mat::getValue(size_t x, size_t y, Vector4<uchar> *value, MEM memory) const {
    Vector4<float> v;
    ERROR_CODE e = getValue(x, y, &v, memory);
    if (e == SUCCESS && value)
        *value = Vector4<uchar>(uchar(v.x), uchar(v.y), uchar(v.z), uchar(v.w));
    return e;
}

ERROR_CODE Mat::setValue(size_t x, size_t y, const Vector4<float> &value, MEM memory) {
    if (x >= width_ || y >= height_)
        return ERROR_CODE_INVALID_ARGUMENT;
    unsigned char *row = rowPtr(y, memory);
    if (!row)
        return ERROR_CODE_INVALID_ARGUMENT;
    const int c = getChannels();
    if (elementBytes() == 4) {
        float *p = reinterpret_cast<float *>(row) + x * size_t(c);
        for (int i = 0; i < c; ++i)
            p[i] = value[size_t(i)];
    } else {
        unsigned char *p = row + x * size_t(c);
        for (int i = 0; i < c; ++i)
            p[i] = uchar(value[size_t(i)]);
    }
    return SUCCESS;
}

ERROR_CODE Mat::updateCPUfromGPU() {
    if (!gpu_)
        return ERROR_CODE_INVALID_ARGUMENT;
    if (!cpu_ && alloc(width_, height_, type_, MEM_CPU) != SUCCESS)
        return ERROR_CODE_FAILURE;
    return deviceMemcpy2D(cpu_, cpuStep_, gpu_, gpuStep_, getWidthBytes(), height_, COPY_DEVICE_TO_HOST);
}

ERROR_CODE Mat::updateGPUfromCPU() {
    if (!cpu_)
        return ERROR_CODE_INVALID_ARGUMENT;
    if (!gpu_) {
        ERROR_CODE e = alloc(width_, height_, type_, MEM_GPU);
        if (e != SUCCESS)
            return e;
    }
    return deviceMemcpy2D(gpu_, gpuStep_, cpu_, cpuStep_, getWidthBytes(), height_, COPY_HOST_TO_DEVICE);
}

ERROR_CODE Mat::copyTo(Mat &dst, MEM from, MEM to) const {
    const unsigned char *src = from == MEM_GPU ? gpu_ : cpu_;
    if (!src)
        return ERROR_CODE_INVALID_ARGUMENT;
    if (dst.width_ != width_ || dst.height_ != height_ || dst.type_ != type_ || !dst.getPtr(to)) {
        ERROR_CODE e = dst.alloc(width_, height_, type_, to);
        if (e != SUCCESS)
            return e;
    }
    COPY_KIND kind = from == MEM_GPU ? (to == MEM_GPU ? COPY_DEVICE_TO_DEVICE : COPY_DEVICE_TO_HOST)
                                     : (to == MEM_GPU ? COPY_HOST_TO_DEVICE : COPY_HOST_TO_HOST);
    return deviceMemcpy2D(dst.getPtr(to), dst.getStepBytes(to), src, getStepBytes(from), getWidthBytes(),
                          height_, kind);
}

ERROR_CODE Mat::setFrom(const void *packed, size_t packedStepBytes, MEM memory) {
    unsigned char *dst = memory == MEM_GPU ? gpu_ : cpu_;
    if (!dst || !packed)
        return ERROR_CODE_INVALID_ARGUMENT;
    return deviceMemcpy2D(dst, getStepBytes(memory), packed, packedStepBytes, getWidthBytes(), height_,
                          memory == MEM_GPU ? COPY_HOST_TO_DEVICE : COPY_HOST_TO_HOST);
}

float packColor(unsigned char r, unsigned char g, unsigned char b) {
    const uint32_t word = uint32_t(r) | (uint32_t(g) << 8) | (uint32_t(b) << 16) | (255u << 24);
    float f;
    std::memcpy(&f, &word, sizeof f);
    return f;
}

void unpackColor(float f, unsigned char *r, unsigned char *g, unsigned char *b) {
    uint32_t word;
    std::memcpy(&word, &f, sizeof word);
    if (r)
        *r = uchar(word & 0xff);
    if (g)
        *g = uchar((word >> 8) & 0xff);
    if (b)
        *b = uchar((word >> 16) & 0xff);
}

} // namespace twl
