// Examining the roots of a scan before any of them is walked: each root on a watched task of
// its own, all at once, every lookup charged to the mount it asks (a link to the mount it leads
// into), so a root on a mount that stopped answering costs that mount's limit and only itself,
// and is told apart from a missing or a denied root.
// Threads: any; the examinations run on threads of their own, which a dead mount may keep.
#pragma once

#include <sys/stat.h>

#include <atomic>
#include <string>
#include <vector>

#include "core/scan/FolderWalker.h"
#include "core/tree/ScanTree.h"

namespace svl {

// One root as examined.
struct ProbedRoot {
    RootReach reach = RootReach::NoAnswer;
    struct statx st {};  // when reached or denied: the root's no-follow statx, a link to a folder followed
    ScanRoot top;        // when reached: as the walk takes it
    bool network = false;  // it lies on a network or FUSE file system (by the mount table)
    mode_t followedMode = 0;  // a link's: the mode of what it leads to (0 when that cannot be told)
};

// Examines one root on the calling thread; may wait on a dead mount.
[[nodiscard]] ProbedRoot examineRoot(const std::string& path);

// Examines every path at once, in the given order. A root whose mount stops answering (or every
// root still waiting once `cancelled` is set) does not answer.
[[nodiscard]] std::vector<ProbedRoot> probeRoots(const std::vector<std::string>& paths,
                                                 const std::atomic<bool>* cancelled = nullptr);

// Why a path could not be reached, from the errno of the call that failed.
[[nodiscard]] RootReach reachOfError(int error);

// The path a descriptor stands for, as the kernel names it (nothing is asked of the file
// system); empty when it cannot be told.
[[nodiscard]] std::string pathOfDescriptor(int fd);

}  // namespace svl
