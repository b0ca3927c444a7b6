// Volume classification: whether a folder lies on a network or FUSE file system (from the
// statfs type number) and whether it lies on a spinning, non-virtual disk (from the block
// device's description under /sys). No state; any thread. Failures answer no, except that a
// FUSE mount that cannot be placed in the mount table counts as remote.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace svl {

struct MountEntry;

// statfs f_type numbers of the network file systems and of FUSE.
namespace FsMagic {
constexpr uint64_t Smb2 = 0xFE534D42;
constexpr uint64_t Cifs = 0xFF534D42;
constexpr uint64_t Smb = 0x517B;
constexpr uint64_t Nfs = 0x6969;
constexpr uint64_t Ceph = 0x00C36400;
constexpr uint64_t Coda = 0x73757245;
constexpr uint64_t V9fs = 0x01021997;
constexpr uint64_t Afs = 0x5346414F;
constexpr uint64_t Ncp = 0x564C;
constexpr uint64_t Fuse = 0x65735546;
}  // namespace FsMagic

enum class FsTypeClass { Local, Remote, Fuse };

// Classifies a statfs type number: a network file system, FUSE (decided by its mount), or local.
FsTypeClass classifyFsType(uint64_t fType);

// Whether a FUSE mount holding `canonicalPath` is a network one: local only when the mount
// containing the path is "fuseblk" or "fuse.ntfs-3g" with a source under /dev/; remote when
// no mount contains the path.
bool isRemoteFuseMount(const std::vector<MountEntry>& mounts, std::string_view canonicalPath);

// Whether `path` lies on a network or (non-block-device) FUSE file system.
bool isRemoteFileSystem(const std::string& path);

// Whether `path` lies on a rotating, non-virtual disk. Anonymous devices (Btrfs, ZFS,
// overlay) are followed through the source of their mount. `sysRoot` is "/sys" except in tests.
bool isRotationalDisk(const std::string& path, const std::string& sysRoot = "/sys");

// Whether the block device with device number `dev` (as st_dev/st_rdev) is a rotating,
// non-virtual disk, looked up through sysRoot/dev/block/MAJ:MIN.
bool classifyBlockDevice(unsigned long dev, const std::string& sysRoot);

// 1 when the device whose /sys folder is given is a rotating, non-virtual disk, else 0.
// Stacked devices (entries under "slaves") count only when every member does; at most
// nine levels are followed. `depth` is 0 at the first call.
int rotationalBySysfs(const std::filesystem::path& deviceFolder, unsigned depth);

// First line of a small text file, trimmed of white space and in lower case; empty when the
// file cannot be read.
std::string readSysfsValue(const std::string& file);

}  // namespace svl
