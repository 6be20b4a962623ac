#include "twl/util/HugePageBuffer.h"

#include <sys/mman.h>

#include <cstdlib>
#include <new>

namespace twl {

namespace {
constexpr size_t kHugePage = size_t(2) << 20;
}

HugePageBuffer::~HugePageBuffer() {
    std::free(data_);
}

void HugePageBuffer::reserve(size_t bytes) {
    if (bytes <= capacity_) return;
    std::free(data_);
    data_ = nullptr;
    capacity_ = 0;
    const size_t size = (bytes + kHugePage - 1) / kHugePage * kHugePage;
    void *p = std::aligned_alloc(kHugePage, size);
    if (!p) throw std::bad_alloc();
    // Before anything is written: a page's size is chosen when it is first
    // touched. Where huge pages are off this does nothing, and that is fine.
    madvise(p, size, MADV_HUGEPAGE);
    data_ = static_cast<uint8_t *>(p);
    capacity_ = size;
}

} // namespace twl
