// An allocator for the walker's per-thread buffers: blocks of 64 KiB or more come straight
// from mmap and go back with munmap, so a buffer that grew for a large folder returns its
// pages to the system as soon as it is released (the C library would keep them).
//
// Threads: stateless; any thread may allocate and free.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdlib>
#include <new>

namespace svl {

template <class T>
struct PageAllocator {
    using value_type = T;
    static constexpr size_t kDirectBytes = size_t(64) << 10;

    PageAllocator() = default;
    template <class U>
    PageAllocator(const PageAllocator<U>&) {}

    // Throws std::bad_alloc when no memory can be had.
    T* allocate(size_t n) {
        const size_t bytes = n * sizeof(T);
        void* p;
        if (bytes >= kDirectBytes) {
            p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (p == MAP_FAILED)
                throw std::bad_alloc();
        } else {
            p = std::malloc(bytes ? bytes : 1);
            if (!p)
                throw std::bad_alloc();
        }
        return static_cast<T*>(p);
    }
    void deallocate(T* p, size_t n) {
        const size_t bytes = n * sizeof(T);
        if (bytes >= kDirectBytes)
            munmap(p, bytes);
        else
            std::free(p);
    }
    template <class U>
    bool operator==(const PageAllocator<U>&) const {
        return true;
    }
};

}  // namespace svl
