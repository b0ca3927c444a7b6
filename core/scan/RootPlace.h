// Where a scan root really lies, so that several roots are compared as what they are rather
// than as text: the object a path names (a link at its end followed to a folder, as the scan
// follows it), its device, the file system that holds it and its path inside that file system
// as the mount table writes it. A root given through a symbolic link or a bind mount
// is so seen to be another root, or to lie inside one.
// Threads: any. Examining touches the file system and may wait on a dead mount: callers that
// must answer run it within a time limit.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/scan/MountTable.h"

namespace svl {

struct RootPlace {
    uint64_t device = 0;  // st_dev of the object
    std::string inFileSystem;  // its path inside that file system
    // Paths inside the same file system that mounts below the object show, so a walk of it
    // reaches them too (a bind mount of another folder placed inside it).
    std::vector<std::string> reachedBelow;
};

// Examines `path` against the mount table `mounts` (read just before). Nothing when the path
// cannot be opened or its mount is not in the table.
[[nodiscard]] std::optional<RootPlace> examineRootPlace(const std::string& path,
                                                        const std::vector<MountEntry>& mounts);

// Whether a walk of `outer` counts `inner` too: inner is outer's place in their file system or
// lies within it, or strictly below a place a mount below outer shows (a mount
// showing inner itself is left to the walk's bind-mount test). Objects on different devices
// never nest: the walk does not leave its file system.
[[nodiscard]] bool placeWithin(const RootPlace& inner, const RootPlace& outer);

}  // namespace svl
