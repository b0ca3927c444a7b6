// The file view's search: turns the search inputs into the node ids the file list shows
// (filter, optional duplicate groups, sort by the list's column, row limit, totals).
// runSearch runs on a search thread of its own; every call it makes into the core is
// given the shared generation counter and gives up once a newer request bumped it.
// Threads: the tree and a reused duplicate index are only read; the caller must keep
// in-place edits of the tree away while a run is going (FileViewPanel::stopSearches).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/analysis/Duplicates.h"
#include "core/analysis/FileSort.h"

namespace svl {
class ScanTree;
}

// One request, copied into the worker when it starts.
struct SearchParams {
    std::string text;  // UTF-8, trimmed
    bool matchEntirePath = false;
    bool folders = true;
    int64_t maxFiles = 1000;  // below 1: no limit
    int sortColumn = 4;       // view column of the sort indicator, -1 for none
    int sortOrder = 1;        // 0 ascending, 1 descending
    bool showMaxModifiedDate = true;
    int dupMethod = 0;  // svl::DuplicateMethod
    bool dupsOnly = false;
    std::shared_ptr<const svl::DuplicateIndex> cachedDuplicates;  // reused when set
};

struct SearchResult {
    std::vector<uint32_t> ids;  // display order, at most the row limit
    // svl::selectionTotals of the listed ids: nested rows and removed nodes add nothing.
    uint64_t totalSize = 0;
    uint64_t totalAllocated = 0;
    std::shared_ptr<const svl::DuplicateIndex> duplicates;  // null without a duplicate method
    bool duplicatesComputed = false;                        // false when the cached index was reused
};

// The sort column of a view column of FileListModel (unknown columns sort by size).
svl::FileSortColumn fileSortColumnFor(int viewColumn);

// Fills `result`; true when the run finished while `counter` still equals `generation`
// (a superseded run returns false with `result` partly filled). Throws std::bad_alloc
// and whatever the core calls throw.
[[nodiscard]] bool runSearch(const svl::ScanTree& tree, const SearchParams& params, const std::atomic<int>& counter,
                             int generation, SearchResult& result);
