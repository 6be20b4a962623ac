#include "twl/mcap/McapFormat.h"

#include <cstring>

namespace twl {
namespace mcap {

const unsigned char kMagic[8] = {0x89, 'M', 'C', 'A', 'P', '0', '\r', '\n'};

void Bytes::put(uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i)
        out_.push_back(static_cast<unsigned char>(v >> (8 * i)));
}

void Bytes::raw(const void *data, size_t size) {
    const unsigned char *p = static_cast<const unsigned char *>(data);
    out_.insert(out_.end(), p, p + size);
}

void Bytes::string(const std::string &s) {
    u32(uint32_t(s.size()));
    raw(s.data(), s.size());
}

size_t Bytes::begin(Opcode op) {
    const size_t at = out_.size();
    u8(op);
    u64(0);
    return at;
}

void Bytes::finish(size_t record) {
    uint64_t length = out_.size() - record - kRecordPrefix;
    for (int i = 0; i < 8; ++i, length >>= 8)
        out_[record + 1 + size_t(i)] = static_cast<unsigned char>(length);
}

size_t Bytes::openLength() {
    const size_t at = out_.size();
    u32(0);
    return at;
}

void Bytes::closeLength(size_t at) {
    uint32_t length = uint32_t(out_.size() - at - 4);
    for (int i = 0; i < 4; ++i, length >>= 8)
        out_[at + size_t(i)] = static_cast<unsigned char>(length);
}

uint64_t Cursor::get(int bytes) {
    if (!ok_ || left() < size_t(bytes)) {
        ok_ = false;
        return 0;
    }
    uint64_t v = 0;
    for (int i = 0; i < bytes; ++i)
        v |= uint64_t(p_[i]) << (8 * i);
    p_ += bytes;
    return v;
}

const unsigned char *Cursor::take(size_t size) {
    if (!ok_ || left() < size) {
        ok_ = false;
        return nullptr;
    }
    const unsigned char *at = p_;
    p_ += size;
    return at;
}

std::string Cursor::string() {
    const uint32_t size = u32();
    const unsigned char *at = take(size);
    return at ? std::string(reinterpret_cast<const char *>(at), size) : std::string();
}

} // namespace mcap
} // namespace twl
