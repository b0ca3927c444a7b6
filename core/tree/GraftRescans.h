// Grafting rescanned folders: builds a new tree from an old one in which the subtrees of
// some folders are replaced by fresh scans of those folders (or dropped when the folder is
// gone). Removed nodes of the old tree are not carried over.
//
// Threads: reads the old and fresh trees (which nobody may change meanwhile) on the
// calling thread and returns a tree owned by the caller.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "core/tree/ScanTree.h"

namespace svl {

// One folder of the old tree that was scanned again.
struct RescanRecord {
    uint32_t oldId = 0;                      // the folder's id in the old tree
    std::shared_ptr<const ScanTree> fresh;  // its fresh scan; null or without nodes: the folder is gone
};

// A new tree (numbered breadth-first) holding the old tree with every rescanned folder's
// subtree replaced. Records for id 0, for ids past the end, and for folders inside a
// replaced, dropped or removed subtree are ignored; a later record for the same id wins.
// errors: the old count minus the unreadable nodes of the replaced subtrees plus the
// grafted fresh trees' counts. Incomplete when a grafted fresh tree is. Throws
// std::bad_alloc when the new tree's reservations cannot be made or fill up.
[[nodiscard]] std::unique_ptr<ScanTree> graftRescans(const ScanTree& old, const std::vector<RescanRecord>& rescans);

}  // namespace svl
