// Examining the roots of a scan before any of them is walked: each root is examined (statx, and
// a folder opened for listing, which a mount whose server stopped answers only when alive) on
// a detached thread and waited for at most the answer limit of the mount that covers it, so a
// dead mount given as a root costs its limit and is told apart from a missing or a denied root.
// Threads: any; the examinations run on threads of their own (roots on one mount one after
// another on one thread, so a dead mount holds one thread however many roots lie on it).
#pragma once

#include <sys/stat.h>

#include <string>
#include <vector>

#include "core/scan/FolderWalker.h"
#include "core/scan/MountTable.h"
#include "core/tree/ScanTree.h"

namespace svl {

// One root as examined.
struct ProbedRoot {
    RootReach reach = RootReach::NoAnswer;
    struct statx st {};  // when reached or denied: the root's no-follow statx, a link to a folder followed
    ScanRoot top;        // when reached: as the walk takes it
};

// Examines one root on the calling thread; may wait on a dead mount.
[[nodiscard]] ProbedRoot examineRoot(const std::string& path);

// Examines every path, each within the limit of the mount that covers it in `mounts` (by
// text); one whose examination has not ended by then does not answer. In the given order.
[[nodiscard]] std::vector<ProbedRoot> probeRoots(const std::vector<std::string>& paths,
                                                 const std::vector<MountEntry>& mounts);

// Why a path could not be reached, from the errno of the call that failed.
[[nodiscard]] RootReach reachOfError(int error);

}  // namespace svl
