// What a set of selected rows amounts to, each byte counted once. The status bar's
// selection summary and the file list's summary both total through here, so the two agree.
// Threads: any thread holding the tree; the tree is only read.
#pragma once

#include <cstdint>
#include <span>

namespace svl {

class ScanTree;

struct SelectionTotals {
    uint64_t size = 0;
    uint64_t allocated = 0;  // further hard links add none
    uint64_t files = 0;      // a folder adds its files below, a file-group row its files, a file 1
    uint64_t rows = 0;       // distinct rows that are not removed, nested ones included
};

// Rows below the node count are nodes; nodeCount + f is the file-group row of folder f,
// standing for f's direct files. A row adds its amounts only when no selected row holds it
// (a node below a selected folder, a file whose folder's group row is selected, a group row
// of a selected folder, a row listed twice); removed nodes add nothing. Sums saturate.
// Linear in the rows plus their ancestor chains, without recursion; a long list of rows is
// totalled in blocks on all cores. Rows past 2 * nodeCount are ignored.
[[nodiscard]] SelectionTotals selectionTotals(const ScanTree& tree, std::span<const uint32_t> rows);

}  // namespace svl
