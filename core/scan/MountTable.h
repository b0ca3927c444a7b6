// The mount table: parsed lines of /proc/self/mountinfo, the path-containment rule the
// mount helpers share, and the grouping of Btrfs subvolumes and ZFS datasets into file systems.
// The table is read afresh at every call; nothing is cached. Every function is re-entrant
// and may run on any thread. None reports errors: an unreadable table gives empty results.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace svl {

// One accepted line of the mount table. Plain value.
struct MountEntry {
    int32_t mountId = 0;     // field 1
    uint32_t major = 0;      // device of the file system, from field 3
    uint32_t minor = 0;
    std::string root;        // path inside the file system that is mounted; begins with "/"
    std::string mountPoint;  // begins with "/"
    std::string fsType;      // as written; empty when the "-" separator was missing
    std::string source;      // empty when missing
    std::string superOptions;
};

// Btrfs and ZFS mounts by file system: key "btrfs:<source>" or "zfs:<pool>" to its members,
// shortest mount point first (the representative). The pointers point into the list the
// groups were built from, which must outlive them.
using FilesystemGroups = std::map<std::string, std::vector<const MountEntry*>>;

// Device number (as st_dev) of the file system holding a path, or nothing when unknown.
using DeviceLookup = std::function<std::optional<unsigned long>(const std::string&)>;

// Reads /proc/self/mountinfo whole and parses it; empty when it cannot be read.
std::vector<MountEntry> readMountInfo();

// Parses the text of a mountinfo file. Malformed lines are dropped one by one; a line
// without the "-" separator is kept with empty type, source and super options.
std::vector<MountEntry> parseMountInfo(std::string_view text);

// Undoes the kernel's escaping: a backslash followed by three octal digits becomes that
// byte (modulo 256); every other byte, a lone backslash included, is kept.
std::string unescapeMountField(const char* bytes, size_t length);

// Bytewise containment without normalisation: /home/a and /home are within /home,
// /homework is not; everything absolute is within "/"; /a/b is within /a/.
bool isPathWithin(std::string_view path, std::string_view base);

// The mount whose mount point contains `path` (a canonical path): the longest mount point
// wins, the later line on equal lengths. Null when none does. Points into `entries`.
const MountEntry* mountContaining(const std::vector<MountEntry>& entries, std::string_view path);

// The key of the file system a Btrfs or ZFS mount belongs to ("btrfs:<source>",
// "zfs:<pool>"); empty for other types and for a mount without a source.
std::string filesystemGroupKey(const MountEntry& entry);

// Whether two mounts show one file system by the table alone: the same device numbers, or
// the same Btrfs or ZFS file system.
bool sameFilesystem(const MountEntry& a, const MountEntry& b);

// Groups the Btrfs and ZFS mounts of `entries` by file system.
FilesystemGroups groupMountsByFilesystem(const std::vector<MountEntry>& entries);

// Maps the device of every member of a multiply mounted Btrfs/ZFS file system to the device
// of its representative mount. A device not in the map is its own file system. An empty
// `deviceOf` uses stat's st_dev of the mount point.
std::unordered_map<uint64_t, uint64_t> sameFilesystemGroups(const std::vector<MountEntry>& entries,
                                                            const DeviceLookup& deviceOf = {});

// Of the mount points in `shown`, those that are bind mounts of another shown mount
// (same device, and the same root mounted earlier or a root within the other's root).
// Btrfs and ZFS mounts are never reported here.
std::unordered_set<std::string> mountPointsOfType(const std::vector<MountEntry>& entries,
                                                  const std::unordered_set<std::string>& shown);

// Mount points of Btrfs/ZFS file systems mounted more than once, except each one's representative.
std::unordered_set<std::string> groupedMountPoints(const std::vector<MountEntry>& entries);

}  // namespace svl
