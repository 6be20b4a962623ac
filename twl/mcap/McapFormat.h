#pragma once
// The MCAP container's building blocks, shared by the writer and the reader:
// record opcodes, the magic, and little-endian encoding of the field types
// (integers, uint32-prefixed strings, maps and arrays with a uint32 byte
// length in front).

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace twl {
namespace mcap {

enum Opcode : uint8_t {
    kHeader = 0x01,
    kFooter = 0x02,
    kSchema = 0x03,
    kChannel = 0x04,
    kMessage = 0x05,
    kChunk = 0x06,
    kMessageIndex = 0x07,
    kChunkIndex = 0x08,
    kStatistics = 0x0B,
    kSummaryOffset = 0x0E,
    kDataEnd = 0x0F,
};

/// "\x89MCAP0\r\n": major version 0, at both ends of the file.
extern const unsigned char kMagic[8];
/// A record's opcode and its uint64 content length.
constexpr size_t kRecordPrefix = 9;
/// The footer record: prefix, summary start, summary offset start, CRC.
constexpr size_t kFooterRecordSize = kRecordPrefix + 8 + 8 + 4;

/// Appends fields to a byte buffer.
class Bytes {
public:
    explicit Bytes(std::vector<unsigned char> &out) : out_(out) {}
    void u8(uint8_t v) { out_.push_back(v); }
    void u16(uint16_t v) { put(v, 2); }
    void u32(uint32_t v) { put(v, 4); }
    void u64(uint64_t v) { put(v, 8); }
    void raw(const void *data, size_t size);
    /// uint32 byte length, then the bytes.
    void string(const std::string &s);
    /// Starts a record; finish() writes its length once the content is in.
    size_t begin(Opcode op);
    void finish(size_t record);
    /// Starts a uint32-length-prefixed map or array; close() writes the length.
    size_t openLength();
    void closeLength(size_t at);

private:
    void put(uint64_t v, int bytes);
    std::vector<unsigned char> &out_;
};

/// Reads fields from a byte range, bounds-checked: a read past the end
/// yields zeros and marks the cursor failed.
class Cursor {
public:
    Cursor(const unsigned char *data, size_t size) : p_(data), end_(data + size) {}
    uint8_t u8() { return uint8_t(get(1)); }
    uint16_t u16() { return uint16_t(get(2)); }
    uint32_t u32() { return uint32_t(get(4)); }
    uint64_t u64() { return get(8); }
    std::string string();
    /// The next `size` bytes (null when they are not there).
    const unsigned char *take(size_t size);
    size_t left() const { return size_t(end_ - p_); }
    bool ok() const { return ok_; }

private:
    uint64_t get(int bytes);
    const unsigned char *p_, *end_;
    bool ok_ = true;
};

} // namespace mcap
} // namespace twl
