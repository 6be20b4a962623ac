#pragma once
// CRC-32 (the IEEE polynomial used by zip and PNG) for checking records of
// recorded files.

#include <cstddef>
#include <cstdint>

namespace twl {

/// CRC of `size` bytes, continuing from `previous` (0 to start).
uint32_t crc32(const void *data, size_t size, uint32_t previous = 0);

} // namespace twl
