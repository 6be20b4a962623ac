#include "twl/Crc32.h"

#include <array>
#include <cstring>

namespace twl {

namespace {

// Slicing by eight: eight table look-ups per 8 input bytes, fast enough that
// checking a lossless frame costs far less than decompressing it.
struct Tables {
    std::array<std::array<uint32_t, 256>, 8> t{};
    Tables() {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[0][i] = c;
        }
        for (uint32_t i = 0; i < 256; ++i)
            for (size_t s = 1; s < 8; ++s)
                t[s][i] = (t[s - 1][i] >> 8) ^ t[0][t[s - 1][i] & 0xff];
    }
};

const Tables &tables() {
    static const Tables instance;
    return instance;
}

} // namespace

uint32_t crc32(const void *data, size_t size, uint32_t previous) {
    const auto &t = tables().t;
    const unsigned char *p = static_cast<const unsigned char *>(data);
    uint32_t c = ~previous;
    while (size >= 8) {
        // Assemble little-endian words byte by byte so the result does not
        // depend on the host's byte order or alignment.
        uint32_t lo =
            c ^ (uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24);
        uint32_t hi = uint32_t(p[4]) | uint32_t(p[5]) << 8 | uint32_t(p[6]) << 16 | uint32_t(p[7]) << 24;
        c = t[7][lo & 0xff] ^ t[6][(lo >> 8) & 0xff] ^ t[5][(lo >> 16) & 0xff] ^ t[4][lo >> 24] ^
            t[3][hi & 0xff] ^ t[2][(hi >> 8) & 0xff] ^ t[1][(hi >> 16) & 0xff] ^ t[0][hi >> 24];
        p += 8;
        size -= 8;
    }
    while (size--)
        c = t[0][(c ^ *p++) & 0xff] ^ (c >> 8);
    return ~c;
}

} // namespace twl
