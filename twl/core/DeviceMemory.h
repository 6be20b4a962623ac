#pragma once
// The device-memory boundary of the camera layer. Without a GPU, device
// memory is a separate, pitched allocation drawn from a pool of fixed capacity
// (2 GiB, or VANTARO_DEVICE_MEMORY_MB), so that running out of GPU memory is a
// real condition. A CUDA backend replaces the functions below one for one
// (cudaMallocPitch, cudaFree, cudaMemcpy2D, cudaMemGetInfo, cuCtxSetCurrent).

#include "twl/core/Types.h"

#include <cstddef>

namespace twl {

enum COPY_KIND : int32_t {
    COPY_HOST_TO_HOST = 0,
    COPY_HOST_TO_DEVICE = 1,
    COPY_DEVICE_TO_HOST = 2,
    COPY_DEVICE_TO_DEVICE = 3
};

/// Row pitch of every device allocation is a multiple of this many bytes.
constexpr size_t kDevicePitchAlignment = 256;

/// Allocates `rows` rows of at least `widthBytes` bytes. Returns null and
/// leaves *pitch at 0 when the pool cannot hold it.
void *deviceAllocPitch(size_t widthBytes, size_t rows, size_t *pitch);
/// Plain device allocation of `bytes` bytes (buffers); null when full.
void *deviceAlloc(size_t bytes);
void deviceFree(void *ptr);
/// Copies `rows` rows of `widthBytes` bytes between pitched memories.
ERROR_CODE deviceMemcpy2D(void *dst, size_t dstPitch, const void *src, size_t srcPitch, size_t widthBytes,
                          size_t rows, COPY_KIND kind);
/// Free and total bytes of the device pool.
void deviceMemGetInfo(size_t *freeBytes, size_t *totalBytes);
/// Replaces the pool's capacity (tests); allocations in use keep counting.
void deviceSetCapacity(size_t totalBytes);
/// Result of the last failed device call on this thread, then cleared
/// (SUCCESS when none failed).
ERROR_CODE deviceGetLastError();
/// Records a failure for deviceGetLastError (used by the allocation paths).
void deviceSetLastError(ERROR_CODE code);

/// The one device context of the process.
ContextHandle deviceContext();
/// Makes the context current on the calling thread (a no-op without a GPU,
/// kept so that every device user states where it needs the context).
void deviceMakeCurrent(ContextHandle context);
/// The context current on the calling thread, or null.
ContextHandle deviceCurrentContext();

} // namespace twl
