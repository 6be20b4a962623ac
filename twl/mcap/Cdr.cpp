#include "twl/mcap/Cdr.h"

#include <cstring>

namespace twl {

namespace {
constexpr size_t kHeader = 4;
constexpr unsigned char kLittleEndian[kHeader] = {0x00, 0x01, 0x00, 0x00};
} // namespace

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "CDR is written in host order");

CdrWriter::CdrWriter(std::vector<unsigned char> &out) : out_(out) {
    out_.assign(kLittleEndian, kLittleEndian + kHeader);
}

void CdrWriter::align(size_t n) {
    const size_t offset = out_.size() - kHeader;
    out_.resize(out_.size() + (n - offset % n) % n, 0);
}

void CdrWriter::put(const void *v, size_t size) {
    align(size);
    const unsigned char *p = static_cast<const unsigned char *>(v);
    out_.insert(out_.end(), p, p + size);
}

void CdrWriter::string(const std::string &s) {
    u32(uint32_t(s.size() + 1));
    out_.insert(out_.end(), s.begin(), s.end());
    out_.push_back(0);
}

void CdrWriter::f64s(const double *v, size_t n) {
    for (size_t i = 0; i < n; ++i)
        f64(v[i]);
}

unsigned char *CdrWriter::sequence(uint32_t count, size_t elementSize) {
    u32(count);
    if (count > 0 && elementSize > 1) align(elementSize);
    const size_t at = out_.size();
    out_.resize(at + size_t(count) * elementSize);
    return out_.data() + at;
}

CdrReader::CdrReader(const unsigned char *data, size_t size)
    : data_(data), size_(size), ok_(size >= kHeader && std::memcmp(data, kLittleEndian, kHeader) == 0) {}

bool CdrReader::align(size_t n) {
    const size_t padded = at_ + (n - (at_ - kHeader) % n) % n;
    if (!ok_ || padded > size_) return ok_ = false;
    at_ = padded;
    return true;
}

template <typename T> T CdrReader::get() {
    T v{};
    if (align(sizeof v) && size_ - at_ >= sizeof v) {
        std::memcpy(&v, data_ + at_, sizeof v);
        at_ += sizeof v;
    } else {
        ok_ = false;
    }
    return ok_ ? v : T{};
}

template uint8_t CdrReader::get<uint8_t>();
template uint32_t CdrReader::get<uint32_t>();
template int32_t CdrReader::get<int32_t>();
template double CdrReader::get<double>();

std::string CdrReader::string() {
    const uint32_t size = u32();
    if (!ok_ || size == 0 || size > size_ - at_ || data_[at_ + size - 1] != 0) {
        ok_ = false;
        return std::string();
    }
    std::string s(reinterpret_cast<const char *>(data_ + at_), size - 1);
    at_ += size;
    return s;
}

const unsigned char *CdrReader::sequence(size_t elementSize, uint32_t *count) {
    *count = u32();
    if (*count > 0 && elementSize > 1) align(elementSize);
    if (!ok_ || uint64_t(*count) * elementSize > size_ - at_) {
        ok_ = false;
        *count = 0;
        return nullptr;
    }
    const unsigned char *p = data_ + at_;
    at_ += size_t(*count) * elementSize;
    return p;
}

} // namespace twl
