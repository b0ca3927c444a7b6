// File id sorting: puts node ids of one scan tree in the order of a file-list column,
// optionally keeping only the first `limit` ids (selected per slice instead of sorting all).
// Every order ends with the ascending node id, so the result is the same for any thread
// count and for both the top-N and the full-sort road.
// Threads: runs on the caller's thread and its parallelFor workers; the tree, its names and
// the duplicate index are only read and must not change during the call.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "core/analysis/LargeArray.h"
#include "core/analysis/Parallel.h"

namespace svl {

class ScanTree;
struct DuplicateIndex;

enum class FileSortColumn : int32_t {
    Name = 0,
    Path = 1,
    Size = 2,
    Allocated = 3,   // 0 for further hard links
    Modified = 4,    // folders may use the newest time below them
    Attributes = 5,
    DupCount = 6,
    DupSize = 7,
    // Any other value sorts like Size.
};

// Sorts `ids` (every id below tree.nodeCount) by `column` and keeps the first min(limit, ids.size()).
// `duplicates` may be null (DupCount and DupSize are then 0 for every id).
// Throws std::bad_alloc when memory runs out; `ids` is then unchanged.
void sortFileIds(const ScanTree& tree, std::vector<uint32_t>& ids, FileSortColumn column, bool descending,
                 uint64_t limit, bool folderUsesNewest, const DuplicateIndex* duplicates);

// Three-way comparison (-1, 0, 1) of the full paths of a and b as byte strings,
// mostly without building the paths.
[[nodiscard]] int comparePaths(const ScanTree& tree, uint32_t a, uint32_t b);

// The engine behind sortFileIds for one record type: makeRecord(id) builds a record that has
// an `id` member, less is a total order on records. Same effect on `ids` as sortFileIds.
template <class MakeRecord, class Less>
void selectAndSort(std::vector<uint32_t>& ids, uint64_t limit, MakeRecord makeRecord, Less less) {
    using Record = decltype(makeRecord(uint32_t(0)));
    constexpr uint64_t kSlice = 65536;
    const uint64_t n = ids.size();
    if (limit == 0) {
        ids.clear();
        return;
    }
    const uint64_t k = std::min<uint64_t>(limit, n);
    const uint64_t slices = (n + kSlice - 1) / kSlice;
    if (8 * k < n) {
        // Top-N: each slice keeps its k least records in a max-heap.
        std::vector<std::vector<Record>> candidates(slices);
        parallelFor(slices, [&](uint64_t s) {
            std::vector<Record>& heap = candidates[s];
            heap.reserve(std::min<uint64_t>(k, kSlice));
            const uint64_t end = std::min(n, (s + 1) * kSlice);
            for (uint64_t i = s * kSlice; i < end; ++i) {
                Record r = makeRecord(ids[i]);
                if (heap.size() < k) {
                    heap.push_back(r);
                    if (heap.size() == k)
                        std::make_heap(heap.begin(), heap.end(), less);
                } else if (less(r, heap.front())) {
                    std::pop_heap(heap.begin(), heap.end(), less);
                    heap.back() = r;
                    std::push_heap(heap.begin(), heap.end(), less);
                }
            }
        });
        std::vector<Record> records;
        size_t total = 0;
        for (const auto& c : candidates)
            total += c.size();
        records.reserve(total);
        for (auto& c : candidates) {
            records.insert(records.end(), c.begin(), c.end());
            std::vector<Record>().swap(c);
        }
        // Only the first k are kept; under a total order this equals sorting every candidate.
        if (records.size() > k)
            std::nth_element(records.begin(), records.begin() + k, records.end(), less);
        records.resize(k);
        parallelMergeSort(records.data(), k, less);
        ids.resize(k);
        for (uint64_t i = 0; i < k; ++i)
            ids[i] = records[i].id;
        return;
    }
    // Full sort. The records are written by the slices themselves (no serial zeroing first).
    const LargeArray<Record> records(n);
    parallelFor(slices, [&](uint64_t s) {
        const uint64_t end = std::min(n, (s + 1) * kSlice);
        for (uint64_t i = s * kSlice; i < end; ++i)
            records[i] = makeRecord(ids[i]);
    });
    parallelMergeSort(records.get(), n, less);
    ids.resize(k);
    parallelFor((k + kSlice - 1) / kSlice, [&](uint64_t s) {
        const uint64_t end = std::min(k, (s + 1) * kSlice);
        for (uint64_t i = s * kSlice; i < end; ++i)
            ids[i] = records[i].id;
    });
}

}  // namespace svl
