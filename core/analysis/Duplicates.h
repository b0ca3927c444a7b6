// Duplicate detection: files whose names agree once ASCII case and the usual copy
// suffixes are set aside, whose sizes are equal and, optionally, whose modification
// times are equal. No file content is read.
// Threads: detectDuplicates runs on the caller's thread and its own parallelFor workers;
// the tree must not change during the call. A finished DuplicateIndex is read-only.
#pragma once

#include "core/tree/Saturating.h"

#include <atomic>
#include <cstdint>
#include <vector>

namespace svl {

class ScanTree;

enum class DuplicateMethod : int32_t {
    None = 0,          // detection is off
    NameSize = 1,      // equal name keys and sizes
    NameSizeDate = 2,  // equal name keys, sizes and modification times
};

// For every node: whether it belongs to a group of duplicates, and which.
// Groups hold at least two ids and are ordered by their smallest id. Within a group,
// NameSize orders members oldest first (ties by id), NameSizeDate by id.
// Both vectors empty means no node has a duplicate.
struct DuplicateIndex {
    static constexpr uint32_t kNoGroup = 0xFFFFFFFF;

    std::vector<uint32_t> groupOf;               // per node id: group number or kNoGroup; nodeCount entries or empty
    std::vector<std::vector<uint32_t>> groups;   // member ids per group

    // Number of other members of the node's group; 0 without a group.
    uint32_t duplicateCount(uint32_t id) const {
        if (id >= groupOf.size() || groupOf[id] == kNoGroup)
            return 0;
        return uint32_t(groups[groupOf[id]].size() - 1);
    }
    // Bytes the other copies take beyond this one: duplicateCount × size.
    uint64_t duplicateSize(uint32_t id, uint64_t size) const { return saturatingMul(duplicateCount(id), size); }
};

// One qualifying file during detection; keyA's top 8 bits choose its bucket.
struct DuplicateRecord {
    uint64_t keyA;
    uint64_t keyB;
    int64_t modified;
    uint32_t id;
};

// The output step of SplitMix64.
constexpr uint64_t splitMix64(uint64_t x) {
    x += 0x9e3779b97f4a7c15ULL;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

// The 128-bit key of a name with copy suffixes (" (3)", " - Copy", " copy", " copy 2")
// removed from its stem and ASCII letters lower-cased. Reads only name[0, length).
void duplicateNameKey(uint16_t length, const char* name, uint64_t& partA, uint64_t& partB);

// Groups the files (not folders, not removed, size above 0) of `tree` by `method`.
// The run counts as cancelled once *cancel differs from `generation` (cancel may be null);
// a cancelled run, method None, and a tree with fewer than two candidates give an empty index.
// Throws std::bad_alloc when memory runs out.
[[nodiscard]] DuplicateIndex detectDuplicates(const ScanTree& tree, DuplicateMethod method,
                                              const std::atomic<int32_t>* cancel, int32_t generation);

}  // namespace svl
