#pragma once
// CRC-32 (the IEEE polynomial used by zip and PNG) for checking records of
// recorded files. zlib's is the same checksum, so files written by earlier
// versions keep their check values.

#include <zlib.h>

#include <cstddef>
#include <cstdint>

namespace twl {

/// CRC of `size` bytes, continuing from `previous` (0 to start).
inline uint32_t crc32(const void *data, size_t size, uint32_t previous = 0) {
    // zlib answers 0 for a null buffer whatever came before; nothing added
    // must leave the running value alone.
    if (size == 0) return previous;
    return uint32_t(::crc32_z(previous, static_cast<const Bytef *>(data), size));
}

} // namespace twl
