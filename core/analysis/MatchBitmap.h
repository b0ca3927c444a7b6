// Filters applied to a whole tree at once: matchBitmap evaluates one filter on every
// node in parallel slices (one byte per node), and filterTree builds a new tree of what
// an include filter lets in and an exclude filter does not throw out, with the folders
// above it, and fresh totals.
// Threads: both run on the caller's thread plus parallelFor workers; the source tree
// must not change meanwhile. The filter source is called concurrently, once per slice.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "core/analysis/Filter.h"

namespace svl {

class ScanTree;
struct DuplicateIndex;

// Returns a filter for one slice: decoded afresh (own matchers) or a copy.
using FilterSource = std::function<Filter()>;

constexpr uint32_t kFilterSliceSize = 65536;

// One byte per node: 1 passes, 0 fails. Empty for a tree with nodes means cancelled: a
// slice that starts (or goes on past every 64th id) while *cancel differs from `generation`
// stops the run (cancel may be null). `duplicates` feeds duplicate conditions (unknown without it). An empty source
// throws std::bad_function_call; memory exhaustion throws std::bad_alloc.
[[nodiscard]] std::vector<uint8_t> matchBitmap(const ScanTree& tree, const FilterSource& source,
                                               const std::atomic<int>* cancel, int generation, uint32_t sliceSize,
                                               const DuplicateIndex* duplicates = nullptr);

// A new tree with the nodes that the include filter passes (all when null or without
// groups) and the folders above them, minus what the exclude filter matches (with its
// subtree) and removed nodes. The root always stays. Throws std::bad_alloc when the new
// tree's reservation cannot be made or fills up.
[[nodiscard]] std::unique_ptr<ScanTree> filterTree(const ScanTree& source, const Filter* include,
                                                   const Filter* exclude);

}  // namespace svl
