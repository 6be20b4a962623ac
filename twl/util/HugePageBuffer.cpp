#include "twl/util/HugePageBuffer.h"

#include <sys/mman.h>

#include <algorithm>
#include <new>

namespace twl {

namespace {
constexpr size_t kHugePage = size_t(2) << 20;
constexpr size_t kSmallPage = 4096;
} // namespace

HugePageBuffer::~HugePageBuffer() {
    release();
}

void HugePageBuffer::release() {
    if (data_) munmap(data_, capacity_);
    data_ = nullptr;
    capacity_ = 0;
    backed_ = 0;
}

void HugePageBuffer::reserve(size_t bytes) {
    if (bytes <= capacity_) return;
    release();
    // Mapped directly rather than allocated: once the allocator has seen a
    // block this large freed, it serves the next ones from its own heaps and
    // keeps them after they are freed, so a matcher whose range changed
    // from frame to frame held on to a hundred MiB more than it used.
    const size_t size = (bytes + kHugePage - 1) / kHugePage * kHugePage;
    void *raw = mmap(nullptr, size + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) throw std::bad_alloc();
    auto *first = static_cast<uint8_t *>(raw);
    auto *aligned = first + (-reinterpret_cast<uintptr_t>(first) & (kHugePage - 1));
    if (aligned > first) munmap(first, size_t(aligned - first));
    if (first + size + kHugePage > aligned + size)
        munmap(aligned + size, size_t(first + size + kHugePage - (aligned + size)));
    // Before anything is written: a page's size is chosen when it is first
    // touched. Where huge pages are off this does nothing, and that is fine.
    madvise(aligned, size, MADV_HUGEPAGE);
    data_ = aligned;
    capacity_ = size;
}

void HugePageBuffer::back(size_t bytes) {
    bytes = std::min(bytes, capacity_);
    // A locked add of nothing is a write that keeps what is there (plain
    // writes took as long; MADV_POPULATE_WRITE took twenty times as long,
    // page by small page). Where huge pages are given, the first write of
    // each backs all of it and the others cost next to nothing.
    for (size_t at = backed_ / kSmallPage * kSmallPage; at < bytes; at += kSmallPage)
        __atomic_fetch_add(data_ + at, uint8_t(0), __ATOMIC_RELAXED);
    backed_ = std::max(backed_, bytes);
}

} // namespace twl
