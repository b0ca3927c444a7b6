// Extension statistics: all files of a scan tree summed by file-name extension
// (ASCII letters lower-cased), largest allocation first.
// Threads: runs on the caller's thread and its parallelFor workers; the tree is only
// read and must not change during the call.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace svl {

class ScanTree;

struct ExtensionStat {
    std::string extension;  // without the dot; empty for files without one
    uint64_t size = 0;
    uint64_t allocated = 0;  // further hard links left out
    uint64_t files = 0;
};

// One row per extension over every node that is neither a folder nor removed, sorted by
// allocated bytes (largest first), then by extension bytes. Throws std::bad_alloc when memory runs out.
[[nodiscard]] std::vector<ExtensionStat> computeExtensionStats(const ScanTree& tree);

}  // namespace svl
