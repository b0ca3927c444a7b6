// Raw-scan eligibility: whether a folder is the top of a whole volume that a raw index can
// read, which block device holds it, and whether reading it needs administrator rights.
//
// Stateless; any thread. The tests only read (realpath, stat, statfs, statvfs, access, the
// mount table and the udev database) and block on those calls.
#pragma once

#include "core/scan/MountTable.h"

#include <cstdint>
#include <string>

namespace svl {

// Where udev keeps its per-device records; tests pass their own folder.
inline constexpr const char* kUdevDataRoot = "/run/udev/data";

// True when `path` is the root folder of a Btrfs subvolume on device `dev`.
bool isBtrfsSubvolumeRoot(const std::string& path, unsigned long dev);

// True with `*entry` filled when `path` is the mount point of a whole ext2/3/4 or NTFS volume
// on the block device `dev`. False with the reason in `*reason` otherwise; the reason stays
// untouched when the path can't be resolved at all. Neither pointer may be null.
bool rawScanDevice(const std::string& path, unsigned long dev, MountEntry* entry, std::string* reason);

// True when the folder could be read directly, but only with administrator rights.
bool rawScanNeedsAdmin(const std::string& path, const std::string& udevRoot = kUdevDataRoot);

// "Btrfs", "ext4", "ext3", "ext2" or "NTFS" for the reader that would read the folder; empty
// when none would. Looks neither at the user nor at the device's readability.
std::string rawScanKind(const std::string& path, const std::string& udevRoot = kUdevDataRoot);

// True when the folder is the mount point of a whole NTFS volume (FUSE block mounts count);
// then the device path and the free bytes go to the pointers that are not null.
bool isNtfsVolume(const std::string& path, std::string* device, uint64_t* freeBytes);

// The file-system type udev recorded for block device major:minor; empty when it has none.
std::string udevFsType(unsigned major, unsigned minor, const std::string& udevRoot = kUdevDataRoot);

}  // namespace svl
