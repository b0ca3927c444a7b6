// The rescan worker: scans selected folders again and splices the fresh subtrees into a
// copy of the full tree.
//
// Threads: runs on the job thread, reading the full tree (which nobody may change
// meanwhile) and writing only the progress record.
#pragma once

#include <QString>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/scan/ScanDriver.h"
#include "ui/mainwindow/ScanJob.h"

namespace svl {
class ScanTree;
}

// One folder to scan again: its id in the full tree and its full path.
struct RescanTarget {
    uint32_t id = 0;
    std::string path;
};

struct RescanOutcome {
    std::shared_ptr<svl::ScanTree> tree;  // the spliced tree; null when cancelled or nothing was scanned
    bool cancelled = false;
    QString error;        // the first folder that could not be read, or a memory failure
    double seconds = 0;
    std::vector<FailedFolder> failedFolders;  // folders below the targets that could not be read
};

// Scans every target again in order, until the cancel flag is set, each as a full scan of
// `full`'s roots would meet it now: a target that is gone is dropped from the tree; one that
// became a mount point of another file system or a bind target, or was replaced by a file or
// a symbolic link, becomes that entry without contents. Never throws.
RescanOutcome runRescan(const svl::ScanTree& full, const std::vector<RescanTarget>& targets,
                        const svl::ScanOptions& options, svl::ScanProgress& progress);
