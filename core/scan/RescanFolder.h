// A fresh scan of one folder of an earlier scan, read as that scan would meet it now: a
// folder that became a mount point of another file system or a bind target is not entered,
// one replaced by a file or a symbolic link is that entry, and bind mounts inside it are
// judged against the earlier scan's roots. Its tree can be grafted in place of the folder.
//
// Threads: runs on the caller's thread (a job thread) like scanSingle; `progress` as there.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "core/scan/ScanDriver.h"

namespace svl {

class ScanTree;

// `path` is the folder's full path inside the scan of `scanRoots` (the roots as that scan was
// given them). Returns null when nothing is at the path any more; a tree with no nodes (errors
// 1) when it cannot be examined; else a tree whose root describes the entry as the walker
// would, with the folder's contents below it when the walker would enter it. Throws
// std::bad_alloc like scanSingle.
[[nodiscard]] std::unique_ptr<ScanTree> rescanFolder(const std::string& path, const std::vector<std::string>& scanRoots,
                                                     const ScanOptions& options, ScanProgress* progress);

}  // namespace svl
