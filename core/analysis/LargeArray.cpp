#include "core/analysis/LargeArray.h"

#include <sys/mman.h>

#include <cstdint>
#include <new>

namespace svl {

namespace {

// Below this the heap serves the array; above it a mapping of its own. Under
// AddressSanitizer the checked heap serves arrays up to 64 MiB, so that the tests' large
// trees stay checked too.
#if defined(__SANITIZE_ADDRESS__)
constexpr size_t kMapThreshold = size_t(64) << 20;
#else
constexpr size_t kMapThreshold = size_t(4) << 20;
#endif

}  // namespace

void* allocateLargeArray(size_t bytes) {
    if (bytes < kMapThreshold)
        return ::operator new(bytes);
    void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED)
        throw std::bad_alloc();
    // Only a hint: without transparent huge pages the mapping works with small pages.
    (void)madvise(p, bytes, MADV_HUGEPAGE);
    return p;
}

void adviseHugePages(void* data, size_t bytes) noexcept {
    constexpr uintptr_t kPage = 4096;
    const uintptr_t begin = (reinterpret_cast<uintptr_t>(data) + kPage - 1) & ~(kPage - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(data) + bytes) & ~(kPage - 1);
    if (bytes >= kMapThreshold && end > begin)
        (void)madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

void freeLargeArray(void* data, size_t bytes) noexcept {
    if (!data)
        return;
    if (bytes < kMapThreshold)
        ::operator delete(data);
    else
        munmap(data, bytes);
}

}  // namespace svl
