// An allocator for the CPU engine's large set-up buffers that asks for
// transparent huge pages: filling a buffer of small pages takes a page fault
// every 4 KiB, and on virtual machines, where faults are slow, those faults
// cost more than the work that fills the buffer.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <vector>

namespace stitcher {

template <class T>
struct HugePageAllocator {
    using value_type = T;
    static constexpr size_t kHugePage = size_t(2) << 20;
    // Smaller buffers come from the heap: rounding them up would waste memory.
    static constexpr size_t kSmallest = 2 * kHugePage;

    HugePageAllocator() = default;
    template <class U>
    HugePageAllocator(const HugePageAllocator<U>&) {}

    T* allocate(size_t n) {
        if (n > SIZE_MAX / sizeof(T) - kHugePage) throw std::bad_alloc();
        const size_t bytes = n * sizeof(T);
        void* p = nullptr;
        if (bytes < kSmallest) {
            p = std::malloc(bytes ? bytes : 1);
            if (!p) throw std::bad_alloc();
            return static_cast<T*>(p);
        }
        const size_t rounded = (bytes + kHugePage - 1) & ~(kHugePage - 1);
        if (posix_memalign(&p, kHugePage, rounded) != 0) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
        madvise(p, rounded, MADV_HUGEPAGE);  // advice only: small pages still work
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
