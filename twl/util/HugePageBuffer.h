#pragma once
// A large scratch buffer on 2 MiB boundaries, marked for transparent huge
// pages (where the system gives them only on request). The matcher streams
// tens of MiB of costs and paths through its bands each frame; on 4 KiB
// pages that took ~7 % longer at 640 x 360 x 96.

#include <cstddef>
#include <cstdint>

namespace twl {

class HugePageBuffer {
public:
    HugePageBuffer() = default;
    ~HugePageBuffer();
    HugePageBuffer(const HugePageBuffer &) = delete;
    HugePageBuffer &operator=(const HugePageBuffer &) = delete;

    /// At least `bytes` from data() on; growing gets new memory, whose
    /// contents are undefined.
    void reserve(size_t bytes);
    /// Faults in the first `bytes` (at most the capacity) now, keeping what
    /// they hold, rather than where they are first written: a fresh page is
    /// zeroed on its first touch, and on a virtual machine that took 30 ms
    /// for the 15 MiB a wider search first used in the middle of a stream.
    void back(size_t bytes);
    uint8_t *data() const { return data_; }
    size_t capacity() const { return capacity_; }

private:
    void release();
    uint8_t *data_ = nullptr;
    size_t capacity_ = 0;
    size_t backed_ = 0;
};

} // namespace twl
