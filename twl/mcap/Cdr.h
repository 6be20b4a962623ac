#pragma once
// CDR, the serialisation of ROS 2 messages (XCDR1, little-endian): a 4-byte
// encapsulation header 00 01 00 00, then the fields in order, each primitive
// aligned to its own size counted from the end of that header; strings as a
// uint32 length that includes the closing NUL, the bytes and the NUL;
// sequences as a uint32 element count and the elements; fixed-size arrays as
// their elements alone.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace twl {

class CdrWriter {
public:
    /// Starts `out` afresh with the encapsulation header.
    explicit CdrWriter(std::vector<unsigned char> &out);
    void u8(uint8_t v) { put(&v, 1); }
    void boolean(bool v) { u8(v ? 1 : 0); }
    void u32(uint32_t v) { put(&v, 4); }
    void i32(int32_t v) { put(&v, 4); }
    void f64(double v) { put(&v, 8); }
    void string(const std::string &s);
    /// A fixed-size array of float64.
    void f64s(const double *v, size_t n);
    /// A sequence of `count` elements of `elementSize` bytes: the count, then
    /// room for the elements (aligned), returned for the caller to fill.
    unsigned char *sequence(uint32_t count, size_t elementSize);

private:
    void align(size_t n);
    void put(const void *v, size_t size); // a primitive, host order (little-endian here)
    std::vector<unsigned char> &out_;
};

/// Reads what CdrWriter writes; a read past the end or a wrong header makes
/// every later read yield zeros and ok() false.
class CdrReader {
public:
    CdrReader(const unsigned char *data, size_t size);
    uint8_t u8() { return get<uint8_t>(); }
    bool boolean() { return u8() != 0; }
    uint32_t u32() { return get<uint32_t>(); }
    int32_t i32() { return get<int32_t>(); }
    double f64() { return get<double>(); }
    std::string string();
    /// A sequence's count and its elements' bytes (null when they are not there).
    const unsigned char *sequence(size_t elementSize, uint32_t *count);
    bool ok() const { return ok_; }
    /// Bytes after the header not read yet.
    size_t left() const { return at_ <= size_ ? size_ - at_ : 0; }

private:
    bool align(size_t n);
    template <typename T> T get();
    const unsigned char *data_;
    size_t size_, at_ = 4;
    bool ok_;
};

} // namespace twl
