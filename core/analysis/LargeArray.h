// Uninitialised arrays of tens of millions of plain records for the analysis passes.
// Large ones are anonymous mappings that ask for transparent huge pages: first-touch faults
// of 4 KiB pages cost more than sorting the records once arrays reach hundreds of megabytes.
// Threads: an array may be filled by many threads at once (disjoint elements); it is owned
// and freed by the one that created it.
#pragma once

#include <cstddef>
#include <type_traits>

namespace svl {

// Raw storage behind LargeArray: at least `bytes` writable bytes. Throws std::bad_alloc.
[[nodiscard]] void* allocateLargeArray(size_t bytes);
// Frees storage from allocateLargeArray; `bytes` must be the size it was asked for.
void freeLargeArray(void* data, size_t bytes) noexcept;

// Asks for huge pages on the whole pages inside [data, data + bytes), for a large block that
// is about to be filled for the first time (such as a result vector after reserve). A hint only.
void adviseHugePages(void* data, size_t bytes) noexcept;

template <class T>
class LargeArray {
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>,
                  "LargeArray holds plain records only");

public:
    explicit LargeArray(size_t count)
        : m_bytes((count ? count : 1) * sizeof(T)), m_data(static_cast<T*>(allocateLargeArray(m_bytes))) {}
    ~LargeArray() { freeLargeArray(m_data, m_bytes); }
    LargeArray(const LargeArray&) = delete;
    LargeArray& operator=(const LargeArray&) = delete;

    T* get() const { return m_data; }
    T& operator[](size_t i) const { return m_data[i]; }

private:
    size_t m_bytes;
    T* m_data;
};

}  // namespace svl
