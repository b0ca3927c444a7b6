#include "core/rawindex/RawEligibility.h"

#include "core/scan/VolumeClass.h"

#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>

namespace svl {

namespace {

constexpr unsigned long kBtrfsMagic = 0x9123683E;
constexpr const char* kNotWhole = "not a whole ext2/3/4 or NTFS filesystem";

bool isFolder(const std::string& path, struct stat* st) {
    return ::stat(path.c_str(), st) == 0 && S_ISDIR(st->st_mode);
}

bool isNtfsType(const std::string& type) {
    return type == "ntfs3" || type == "ntfs" || type == "fuseblk" || type == "fuse.ntfs-3g";
}

bool btrfsReadable(const std::string& path, unsigned long dev) { return isBtrfsSubvolumeRoot(path, dev); }

}  // namespace

bool isBtrfsSubvolumeRoot(const std::string& path, unsigned long dev) {
    struct stat st;
    if (!isFolder(path, &st) || st.st_ino != 256 || st.st_dev != dev)
        return false;
    struct statfs fs;
    return ::statfs(path.c_str(), &fs) == 0 && (unsigned long)(fs.f_type) == kBtrfsMagic;
}

bool rawScanDevice(const std::string& path, unsigned long dev, MountEntry* entry, std::string* reason) {
    char resolved[PATH_MAX];
    if (!::realpath(path.c_str(), resolved))
        return false;
    std::string trimmed = path;
    while (trimmed.size() >= 2 && trimmed.back() == '/')
        trimmed.pop_back();
    if (trimmed != resolved) {
        *reason = "the folder is reached through a link";
        return false;
    }

    std::vector<MountEntry> mounts = readMountInfo();
    const MountEntry* found = nullptr;
    for (const MountEntry& mount : mounts)
        if (mount.mountPoint == trimmed)
            found = &mount;  // a later mount on the same point hides the earlier ones
    if (!found || found->root != "/") {
        *reason = kNotWhole;
        return false;
    }
    static const char* const kTypes[] = {"ext4", "ext3", "ext2", "ntfs3", "ntfs", "fuseblk", "fuse.ntfs-3g"};
    bool known = false;
    for (const char* type : kTypes)
        known = known || found->fsType == type;
    if (!known) {
        *reason = kNotWhole;
        return false;
    }
    struct stat st;
    if (found->source.rfind("/dev/", 0) != 0 || ::stat(found->source.c_str(), &st) != 0 || !S_ISBLK(st.st_mode) ||
        makedev(found->major, found->minor) != dev) {
        *reason = "can't tell which device holds it";
        return false;
    }
    *entry = *found;
    return true;
}

bool rawScanNeedsAdmin(const std::string& path, const std::string& udevRoot) {
    if (::geteuid() == 0)
        return false;
    struct stat st;
    if (!isFolder(path, &st))
        return false;
    if (isRemoteFileSystem(path))
        return false;
    if (btrfsReadable(path, st.st_dev))
        return true;
    MountEntry entry;
    std::string reason;
    if (!rawScanDevice(path, st.st_dev, &entry, &reason))
        return false;
    if (entry.fsType.rfind("fuse", 0) == 0) {
        std::string type = udevFsType(entry.major, entry.minor, udevRoot);
        if (!type.empty() && type != "ntfs")
            return false;
    }
    if (::access(entry.source.c_str(), R_OK) == 0)
        return false;
    return errno == EACCES || errno == EPERM;
}

std::string rawScanKind(const std::string& path, const std::string& udevRoot) {
    struct stat st;
    if (!isFolder(path, &st))
        return {};
    if (btrfsReadable(path, st.st_dev))
        return "Btrfs";
    MountEntry entry;
    std::string reason;
    if (!rawScanDevice(path, st.st_dev, &entry, &reason))
        return {};
    if (entry.fsType == "ext4" || entry.fsType == "ext3" || entry.fsType == "ext2")
        return entry.fsType;
    if (entry.fsType == "ntfs3" || entry.fsType == "ntfs")
        return "NTFS";
    return udevFsType(entry.major, entry.minor, udevRoot) == "ntfs" ? "NTFS" : "";
}

bool isNtfsVolume(const std::string& path, std::string* device, uint64_t* freeBytes) {
    struct stat st;
    if (!isFolder(path, &st))
        return false;
    MountEntry entry;
    std::string reason;
    if (!rawScanDevice(path, st.st_dev, &entry, &reason) || !isNtfsType(entry.fsType))
        return false;
    if (device)
        *device = entry.source;
    if (freeBytes) {
        struct statvfs vfs;
        *freeBytes = ::statvfs(path.c_str(), &vfs) == 0 ? uint64_t(vfs.f_bavail) * vfs.f_frsize : 0;
    }
    return true;
}

std::string udevFsType(unsigned major, unsigned minor, const std::string& udevRoot) {
    std::ifstream file(udevRoot + "/b" + std::to_string(major) + ":" + std::to_string(minor));
    if (!file)
        return {};
    static constexpr std::string_view kKey = "E:ID_FS_TYPE=";
    std::string line;
    while (std::getline(file, line)) {
        if (line.empty())
            continue;
        if (line.compare(0, kKey.size(), kKey) == 0)
            return line.substr(kKey.size());
    }
    return {};
}

}  // namespace svl
