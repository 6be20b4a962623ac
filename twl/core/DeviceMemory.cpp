#include "twl/core/DeviceMemory.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>

namespace twl {

struct DeviceContextImpl {
    int id = 1;
};

namespace {

size_t capacityFromEnvironment() {
    size_t mib = 2048;
    if (const char *env = std::getenv("VANTARO_DEVICE_MEMORY_MB")) {
        char *end = nullptr;
        unsigned long long v = std::strtoull(env, &end, 10);
        if (end != env && v > 0 && v < (1ull << 24))
            mib = size_t(v);
    }
    return mib * 1024 * 1024;
}

struct Pool {
    std::mutex mutex;
    size_t capacity = capacityFromEnvironment();
    size_t used = 0;
    std::unordered_map<void *, size_t> sizes;
};

Pool &pool() {
    static Pool p;
    return p;
}

thread_local ERROR_CODE lastError = SUCCESS;
thread_local ContextHandle currentContext = nullptr;

DeviceContextImpl theContext;

} // namespace

void *deviceAlloc(size_t bytes) {
    if (bytes == 0)
        return nullptr;
    Pool &p = pool();
    {
        std::lock_guard<std::mutex> lock(p.mutex);
        if (bytes > p.capacity || p.used > p.capacity - bytes) {
            lastError = ERROR_CODE_NOT_ENOUGH_DEVICE_MEMORY;
            return nullptr;
        }
        p.used += bytes;
    }
    void *ptr = std::aligned_alloc(kDevicePitchAlignment,
                                   (bytes + kDevicePitchAlignment - 1) / kDevicePitchAlignment *
                                       kDevicePitchAlignment);
    std::lock_guard<std::mutex> lock(p.mutex);
    if (!ptr) {
        p.used -= bytes;
        lastError = ERROR_CODE_NOT_ENOUGH_DEVICE_MEMORY;
        return nullptr;
    }
    p.sizes[ptr] = bytes;
    return ptr;
}

void *deviceAllocPitch(size_t widthBytes, size_t rows, size_t *pitch) {
    if (pitch)
        *pitch = 0;
    if (widthBytes == 0 || rows == 0 || !pitch)
        return nullptr;
    size_t p = (widthBytes + kDevicePitchAlignment - 1) / kDevicePitchAlignment * kDevicePitchAlignment;
    if (rows > SIZE_MAX / p) {
        lastError = ERROR_CODE_NOT_ENOUGH_DEVICE_MEMORY;
        return nullptr;
    }
    void *ptr = deviceAlloc(p * rows);
    if (ptr)
        *pitch = p;
    return ptr;
}

void deviceFree(void *ptr) {
    if (!ptr)
        return;
    Pool &p = pool();
    {
        std::lock_guard<std::mutex> lock(p.mutex);
        auto it = p.sizes.find(ptr);
        if (it == p.sizes.end())
            return; // not ours: never free foreign memory
        p.used -= it->second;
        p.sizes.erase(it);
    }
    std::free(ptr);
}

ERROR_CODE deviceMemcpy2D(void *dst, size_t dstPitch, const void *src, size_t srcPitch, size_t widthBytes,
                          size_t rows, COPY_KIND) {
    if (!dst || !src || widthBytes > dstPitch || widthBytes > srcPitch) {
        lastError = ERROR_CODE_INVALID_ARGUMENT;
        return ERROR_CODE_INVALID_ARGUMENT;
    }
    if (dstPitch == srcPitch && widthBytes == srcPitch) {
        std::memcpy(dst, src, widthBytes * rows);
        return SUCCESS;
    }
    auto *d = static_cast<unsigned char *>(dst);
    auto *s = static_cast<const unsigned char *>(src);
    for (size_t r = 0; r < rows; ++r)
        std::memcpy(d + r * dstPitch, s + r * srcPitch, widthBytes);
    return SUCCESS;
}

void deviceMemGetInfo(size_t *freeBytes, size_t *totalBytes) {
    Pool &p = pool();
    std::lock_guard<std::mutex> lock(p.mutex);
    if (freeBytes)
        *freeBytes = p.capacity > p.used ? p.capacity - p.used : 0;
    if (totalBytes)
        *totalBytes = p.capacity;
}

void deviceSetCapacity(size_t totalBytes) {
    Pool &p = pool();
    std::lock_guard<std::mutex> lock(p.mutex);
    p.capacity = totalBytes;
}

ERROR_CODE deviceGetLastError() {
    ERROR_CODE e = lastError;
    lastError = SUCCESS;
    return e;
}

void deviceSetLastError(ERROR_CODE code) { lastError = code; }

ContextHandle deviceContext() { return &theContext; }

void deviceMakeCurrent(ContextHandle context) { currentContext = context; }

ContextHandle deviceCurrentContext() { return currentContext; }

} // namespace twl
