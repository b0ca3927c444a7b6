// The core's parallel loop (parallelFor) and parallel merge sort (parallelMergeSort).
// Each call starts its own threads (the calling thread takes part) and joins them before it
// returns; no pool outlives a call. The sort is not stable, so every comparator in the system
// ends with the node id and results do not depend on the thread count.
// Process-wide state lives here and only here: the sort thresholds (parallelSortTuning) and
// the hardware thread count override that tests and benchmarks use (setHardwareThreadOverride).
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <exception>
#include <memory>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

namespace svl {

// Element counts that decide when sorting runs in parallel and how finely it is split.
// One process-wide instance; each sort reads it at its start.
struct ParallelSortTuning {
    uint64_t minParallelElements = 200000;   // shorter arrays are sorted serially
    uint64_t minChunkElements = 50000;       // no more chunks than keep this many per chunk
    uint64_t minMergeTaskElements = 100000;  // a pair's merge is split only down to this many per task
};

// The single tuning record. Read without a lock; change it only while no sort runs.
ParallelSortTuning& parallelSortTuning();

// The number of hardware threads the parallel templates plan with (the override when set,
// else std::thread::hardware_concurrency()); a reported 0 counts as 1. Asked on every call.
unsigned hardwareThreadCount();

// Makes hardwareThreadCount() act as if the system reported `threads` (0 included, which
// then counts as 1). A negative value removes the override. For tests and benchmarks only;
// set it while no parallel call runs.
void setHardwareThreadOverride(int threads);

// Sets the override for its lifetime and restores the previous value afterwards.
class ScopedHardwareThreads {
public:
    explicit ScopedHardwareThreads(int threads);
    ~ScopedHardwareThreads();
    ScopedHardwareThreads(const ScopedHardwareThreads&) = delete;
    ScopedHardwareThreads& operator=(const ScopedHardwareThreads&) = delete;

private:
    int m_previous;
};

namespace detail {

int hardwareThreadOverride();

// Chunk count of the parallel sort: the smallest power of two >= 2 * hardwareThreads, at
// most 64, and never so many that a chunk would hold fewer than minChunkElements.
uint64_t mergeSortChunkCount(uint64_t count, unsigned hardwareThreads, const ParallelSortTuning& tuning);

// Tasks per pair in a merge pass of `pairs` pairs: about one task per hardware thread,
// but each still producing at least minMergeTaskElements on average.
uint64_t mergeTasksPerPair(uint64_t count, uint64_t pairs, unsigned hardwareThreads,
                           const ParallelSortTuning& tuning);

// Writes the outputs [d0, d1) (offsets from lo) of merging src[lo, mid) with src[mid, hi)
// into dst at the same positions. On ties the left run comes first.
template <class T, class Less>
void mergePart(const T* src, T* dst, uint64_t lo, uint64_t mid, uint64_t hi, uint64_t d0, uint64_t d1,
               const Less& less) {
    const T* left = src + lo;
    const T* right = src + mid;
    const uint64_t leftLen = mid - lo;
    const uint64_t rightLen = hi - mid;
    // Number of left elements among the first d outputs (binary search on the merge path).
    auto split = [&](uint64_t d) {
        uint64_t a0 = d > rightLen ? d - rightLen : 0;
        uint64_t a1 = std::min(d, leftLen);
        while (a0 < a1) {
            const uint64_t m = a0 + (a1 - a0) / 2;
            if (less(right[d - m - 1], left[m]))
                a1 = m;
            else
                a0 = m + 1;
        }
        return a0;
    };
    uint64_t a = split(d0);
    const uint64_t aEnd = split(d1);
    uint64_t b = d0 - a;
    const uint64_t bEnd = d1 - aEnd;
    T* out = dst + lo + d0;
    while (a < aEnd && b < bEnd) {
        if (less(right[b], left[a]))
            *out++ = right[b++];
        else
            *out++ = left[a++];
    }
    while (a < aEnd)
        *out++ = left[a++];
    while (b < bEnd)
        *out++ = right[b++];
}

}  // namespace detail

// Calls body(i) once for every i in [0, count) on the calling thread plus up to
// hardwareThreadCount() - 1 fresh worker threads, and returns when all calls are done and
// every worker is joined. Indexes are handed out one at a time, so each should be a sizeable
// block of work. A worker that cannot be started (std::system_error, std::bad_alloc) leaves
// its share to the threads that run.
// When a body throws, the remaining indexes are abandoned, every worker is joined and the
// first exception is rethrown on the calling thread.
template <class Body>
void parallelFor(uint64_t count, Body&& body) {
    const uint64_t threads = std::min<uint64_t>(count, hardwareThreadCount());
    if (threads < 2) {
        for (uint64_t i = 0; i < count; ++i)
            body(i);
        return;
    }
    std::atomic<uint64_t> next{0};
    std::atomic<bool> failed{false};
    std::exception_ptr failure;
    auto loop = [&]() noexcept {
        for (;;) {
            const uint64_t i = next.fetch_add(1);
            if (i >= count)
                return;
            try {
                body(i);
            } catch (...) {
                if (!failed.exchange(true))
                    failure = std::current_exception();
                next.store(count);
                return;
            }
        }
    };
    std::vector<std::thread> workers;
    workers.reserve(threads - 1);
    for (uint64_t t = 1; t < threads; ++t) {
        try {
            workers.emplace_back(loop);
        } catch (...) {
            // Out of threads or memory for one: the calling thread and the workers already
            // running do the rest. Letting it escape would destroy joinable threads.
            break;
        }
    }
    loop();
    for (std::thread& worker : workers)
        worker.join();
    if (failure)
        std::rethrow_exception(failure);
}

// Calls body(begin, end) for consecutive ranges of at most `block` indexes that together
// cover [0, count) once, through parallelFor: one range is one task.
template <class Body>
void parallelForRanges(uint64_t count, uint64_t block, Body&& body) {
    parallelFor((count + block - 1) / block, [&](uint64_t k) { body(k * block, std::min(count, (k + 1) * block)); });
}

// Sorts data[0, count) ascending by `less` (a strict weak ordering): chunks are sorted in
// parallel with std::sort, then merged pairwise in parallel passes through one scratch array
// of `count` elements. Not stable; with a total order the result does not depend on the
// thread count or the tuning. Arrays under minParallelElements are sorted serially.
// An allocation failure reaches the caller as std::bad_alloc with the elements in some order.
template <class T, class Less>
void parallelMergeSort(T* data, uint64_t count, Less less) {
    const ParallelSortTuning tuning = parallelSortTuning();
    const unsigned hw = hardwareThreadCount();
    if (count < 2)
        return;
    if (count < tuning.minParallelElements || hw < 2) {
        std::sort(data, data + count, less);
        return;
    }
    const uint64_t chunks = detail::mergeSortChunkCount(count, hw, tuning);
    if (chunks < 2) {
        std::sort(data, data + count, less);
        return;
    }
    std::vector<uint64_t> bounds(chunks + 1);
    for (uint64_t i = 0; i <= chunks; ++i)
        bounds[i] = i * count / chunks;

    parallelFor(chunks, [&](uint64_t i) {
        if (bounds[i] < bounds[i + 1])
            std::sort(data + bounds[i], data + bounds[i + 1], less);
    });

    // Scratch of count elements; trivially constructible records are left uninitialised.
    std::unique_ptr<T[]> rawScratch;
    std::vector<T> copiedScratch;
    T* scratch;
    if constexpr (std::is_trivially_default_constructible_v<T>) {
        rawScratch = std::make_unique_for_overwrite<T[]>(count);
        scratch = rawScratch.get();
    } else {
        copiedScratch.assign(data, data + count);
        scratch = copiedScratch.data();
    }

    T* src = data;
    T* dst = scratch;
    for (uint64_t runs = chunks; runs > 1; runs /= 2) {
        const uint64_t pairs = runs / 2;
        const uint64_t parts = detail::mergeTasksPerPair(count, pairs, hw, tuning);
        parallelFor(pairs * parts, [&](uint64_t task) {
            const uint64_t p = task / parts;
            const uint64_t j = task % parts;
            const uint64_t lo = bounds[2 * p];
            const uint64_t mid = bounds[2 * p + 1];
            const uint64_t hi = bounds[2 * p + 2];
            const uint64_t len = hi - lo;
            detail::mergePart(src, dst, lo, mid, hi, len * j / parts, len * (j + 1) / parts, less);
        });
        for (uint64_t i = 0; i <= pairs; ++i)
            bounds[i] = bounds[2 * i];
        std::swap(src, dst);
    }
    if (src != data)
        std::copy(src, src + count, data);
}

}  // namespace svl
