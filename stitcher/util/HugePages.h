// An allocator for large buffers (the CPU engine's tables, frames in
// flight) that asks for transparent huge pages: filling a buffer of small
// pages takes a page fault every 4 KiB, and on virtual machines, where faults
// are slow, those faults can cost more than the work that fills the buffer.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <vector>

namespace stitcher {

// Buffers of 2 MiB or more start on a huge page boundary and take huge
// pages for all of them but the last part page; nothing is rounded up, so
// the resident size stays that of the buffer.
template <class T>
struct HugePageAllocator {
    using value_type = T;
    static constexpr size_t kHugePage = size_t(2) << 20;

    HugePageAllocator() = default;
    template <class U>
    HugePageAllocator(const HugePageAllocator<U>&) {}

    T* allocate(size_t n) {
        if (n > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
        const size_t bytes = n * sizeof(T);
        void* p = nullptr;
        if (bytes < kHugePage) {
            p = std::malloc(bytes ? bytes : 1);
        } else if (posix_memalign(&p, kHugePage, bytes) != 0) {
            p = nullptr;
        }
        if (!p) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
        if (bytes >= kHugePage) madvise(p, bytes, MADV_HUGEPAGE);  // advice only: small pages still work
#endif
        return static_cast<T*>(p);
    }
    void deallocate(T* p, size_t) { std::free(p); }
};

template <class T, class U>
bool operator==(const HugePageAllocator<T>&, const HugePageAllocator<U>&) {
    return true;
}
template <class T, class U>
bool operator!=(const HugePageAllocator<T>&, const HugePageAllocator<U>&) {
    return false;
}

template <class T>
using HugePageVector = std::vector<T, HugePageAllocator<T>>;

}  // namespace stitcher
