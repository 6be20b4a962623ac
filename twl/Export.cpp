#include "twl/Export.h"

#include <cstring>

namespace twl {

float packColor(unsigned char r, unsigned char g, unsigned char b) {
    uint32_t word = uint32_t(r) | (uint32_t(g) << 8) | (uint32_t(b) << 16) | (255u << 24);
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
