// File-system boundaries of one walk: the device groups (devices forming one file system,
// such as the subvolumes of one Btrfs volume), the rewrite pairs (roots as given -> their
// canonical paths), the bind targets (bind-mount points inside the roots whose contents
// the walk already reaches elsewhere) and the mount points of other file systems inside
// the roots. The walker asks it about every subfolder it meets.
//
// Threads: prepare runs once on the scan driver's thread before the workers start; the
// queries are const and read by all workers without locks.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "core/scan/MountTable.h"

namespace svl {

// Canonical mount point -> canonical source path for each bind mount inside the canonical
// roots whose contents the walk reaches at the source. `deviceOf` (empty: stat) tells the
// device of a path as the walker sees it; `deviceGroups` maps devices to their file
// system's representative, as in one-file-system mode. Never reports errors.
[[nodiscard]] std::unordered_map<std::string, std::string> bindTargets(
    const std::vector<MountEntry>& mounts, const std::vector<std::string>& realRoots, bool oneFileSystem,
    const DeviceLookup& deviceOf = {}, const std::unordered_map<uint64_t, uint64_t>& deviceGroups = {});

// Whether `name` in the folder open as `dirfd` is a mount point, asked without entering the
// mount (one whose server is gone never answers). True also when the kernel cannot tell.
[[nodiscard]] bool isMountPointIn(int dirfd, const char* name);

// Mount points of other file systems than the one holding each canonical root, strictly
// inside it, by the canonical folder that holds them: folder -> names. From the mount table
// alone (the top mount at a point counts); Btrfs and ZFS mounts of the root's own pool are
// the same file system.
[[nodiscard]] std::unordered_map<std::string, std::unordered_set<std::string>> foreignMountPoints(
    const std::vector<MountEntry>& mounts, const std::vector<std::string>& realRoots);

class Boundaries {
public:
    // Fills the tables for a walk of `roots` (as the walk names them), reading the mount
    // table. Device groups and other file systems' mount points only with oneFileSystem;
    // targets only with detectBindMounts. A root whose realpath fails takes no part in either.
    void prepare(const std::vector<std::string>& roots, bool oneFileSystem, bool detectBindMounts);
    // Same over a given mount table and device lookup (empty: stat), for tests.
    void prepare(const std::vector<std::string>& roots, bool oneFileSystem, bool detectBindMounts,
                 const std::vector<MountEntry>& mounts, const DeviceLookup& deviceOf);

    // One-file-system test: true when the entry's device lies on another file system than
    // the walk's root device. Always false unless prepared with oneFileSystem.
    [[nodiscard]] bool onOtherFileSystem(uint64_t entryDevice, uint64_t rootDevice) const;

    // Bind test: when folder `folderPath` (as the walk names it) + "/" + `name` is a bind
    // target, its source written in the form the roots were given; else no value.
    [[nodiscard]] std::optional<std::string> bindSource(const std::string& folderPath, std::string_view name) const;

    // One-file-system mode: the names of the mount points of other file systems in folder
    // `folderPath` (as the walk names it), to be listed without being examined; null when it
    // holds none.
    [[nodiscard]] const std::unordered_set<std::string>* foreignMountsIn(const std::string& folderPath) const;

    bool hasBindTargets() const { return !m_bindTargets.empty(); }
    const std::unordered_map<uint64_t, uint64_t>& deviceGroups() const { return m_deviceGroups; }
    const std::unordered_map<std::string, std::string>& targets() const { return m_bindTargets; }
    const std::vector<std::pair<std::string, std::string>>& rewritePairs() const { return m_rewritePairs; }

private:
    bool m_oneFileSystem = false;
    std::unordered_map<uint64_t, uint64_t> m_deviceGroups;
    std::vector<std::pair<std::string, std::string>> m_rewritePairs;  // (root as given, realpath)
    std::unordered_map<std::string, std::string> m_bindTargets;
    std::unordered_map<std::string, std::unordered_set<std::string>> m_foreignMounts;

    // `path` (as the walk names it) in canonical form, through the first rewrite pair holding it.
    std::string canonical(const std::string& path) const;
};

}  // namespace svl
