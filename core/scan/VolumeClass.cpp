#include "core/scan/VolumeClass.h"

#include "core/scan/MountTable.h"

#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>

#include <cctype>
#include <climits>
#include <cstdlib>
#include <fstream>

namespace svl {

namespace {

constexpr unsigned kMaxSlaveDepth = 9;

constexpr std::string_view kVirtualVendors[] = {"msft", "vmware", "qemu", "vbox", "xen", "google", "amazon"};
constexpr std::string_view kVirtualModelWords[] = {"virtual", "qemu", "vmware", "vbox"};

bool startsWith(std::string_view s, std::string_view prefix) {
    return s.substr(0, prefix.size()) == prefix;
}

// realpath of the path, or nothing.
bool canonicalPath(const std::string& path, std::string* out) {
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (!resolved)
        return false;
    *out = resolved;
    std::free(resolved);
    return true;
}

uint32_t deviceMajor(unsigned long dev) {
    return uint32_t(((dev >> 8) & 0xfff) | ((dev >> 32) & ~0xfffUL));
}

uint32_t deviceMinor(unsigned long dev) {
    return uint32_t((dev & 0xff) | ((dev >> 12) & ~0xffUL));
}

}  // namespace

FsTypeClass classifyFsType(uint64_t fType) {
    // statfs reports a 32-bit magic; on some ABIs it arrives sign-extended.
    const uint64_t magic = fType & 0xFFFFFFFFu;
    // The SMB2/3 and CIFS numbers differ only in bit 24.
    if ((magic & ~uint64_t(1u << 24)) == FsMagic::Smb2)
        return FsTypeClass::Remote;
    switch (magic) {
    case FsMagic::Smb:
    case FsMagic::Nfs:
    case FsMagic::Ceph:
    case FsMagic::Coda:
    case FsMagic::V9fs:
    case FsMagic::Afs:
    case FsMagic::Ncp:
        return FsTypeClass::Remote;
    case FsMagic::Fuse:
        return FsTypeClass::Fuse;
    default:
        return FsTypeClass::Local;
    }
}

bool isRemoteFuseMount(const std::vector<MountEntry>& mounts, std::string_view canonicalPath) {
    const MountEntry* mount = mountContaining(mounts, canonicalPath);
    if (!mount)
        return true;
    const bool blockDriver = mount->fsType == "fuseblk" || mount->fsType == "fuse.ntfs-3g";
    return !(blockDriver && startsWith(mount->source, "/dev/"));
}

bool isRemoteFileSystem(const std::string& path) {
    struct statfs st;
    if (::statfs(path.c_str(), &st) != 0)
        return false;
    switch (classifyFsType(static_cast<uint64_t>(st.f_type))) {
    case FsTypeClass::Remote:
        return true;
    case FsTypeClass::Local:
        return false;
    case FsTypeClass::Fuse:
        break;
    }
    std::string canonical;
    if (!canonicalPath(path, &canonical))
        return true;
    return isRemoteFuseMount(readMountInfo(), canonical);
}

bool isRotationalDisk(const std::string& path, const std::string& sysRoot) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        return false;
    if (deviceMajor(st.st_dev) != 0)
        return classifyBlockDevice(st.st_dev, sysRoot);

    // An anonymous device (Btrfs, ZFS, overlay): find the disk through the mount's source.
    std::string canonical;
    if (!canonicalPath(path, &canonical))
        return false;
    const std::vector<MountEntry> mounts = readMountInfo();
    const MountEntry* mount = mountContaining(mounts, canonical);
    if (!mount || !startsWith(mount->source, "/dev/"))
        return false;
    struct stat sourceStat;
    if (::stat(mount->source.c_str(), &sourceStat) != 0 || !S_ISBLK(sourceStat.st_mode))
        return false;
    return classifyBlockDevice(sourceStat.st_rdev, sysRoot);
}

bool classifyBlockDevice(unsigned long dev, const std::string& sysRoot) {
    const uint32_t major = deviceMajor(dev);
    const uint32_t minor = deviceMinor(dev);
    if (major == 0)
        return false;
    const std::filesystem::path link =
        std::filesystem::path(sysRoot) / "dev" / "block" / (std::to_string(major) + ":" + std::to_string(minor));
    std::error_code ec;
    const std::filesystem::path folder = std::filesystem::canonical(link, ec);
    if (ec)
        return false;
    return rotationalBySysfs(folder, 0) == 1;
}

int rotationalBySysfs(const std::filesystem::path& deviceFolder, unsigned depth) {
    namespace fs = std::filesystem;
    if (depth >= kMaxSlaveDepth)
        return 0;

    // A device built on others (device mapper, RAID) spins only when all its members do.
    std::error_code ec;
    const fs::path slaves = deviceFolder / "slaves";
    if (fs::is_directory(slaves, ec)) {
        fs::directory_iterator it(slaves, ec);
        bool any = false;
        for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
            any = true;
            std::error_code memberEc;
            const fs::path member = fs::canonical(it->path(), memberEc);
            if (memberEc || rotationalBySysfs(member, depth + 1) != 1)
                return 0;
        }
        if (any)
            return 1;
    }

    fs::path disk = deviceFolder;
    if (fs::exists(deviceFolder / "partition", ec))
        disk = deviceFolder.parent_path();

    if (readSysfsValue((disk / "queue" / "rotational").string()) != "1")
        return 0;
    const std::string name = disk.filename().string();
    if (name.size() < 2 || !(startsWith(name, "sd") || startsWith(name, "hd")))
        return 0;
    const std::string vendor = readSysfsValue((disk / "device" / "vendor").string());
    const std::string model = readSysfsValue((disk / "device" / "model").string());
    for (std::string_view prefix : kVirtualVendors) {
        if (startsWith(vendor, prefix))
            return 0;
    }
    for (std::string_view word : kVirtualModelWords) {
        if (model.find(word) != std::string::npos)
            return 0;
    }
    return 1;
}

std::string readSysfsValue(const std::string& file) {
    std::ifstream in(file);
    std::string line;
    if (!in || !std::getline(in, line))
        return {};
    size_t begin = 0;
    size_t end = line.size();
    while (begin < end && std::isspace(static_cast<unsigned char>(line[begin])))
        ++begin;
    while (end > begin && std::isspace(static_cast<unsigned char>(line[end - 1])))
        --end;
    std::string value = line.substr(begin, end - begin);
    for (char& c : value)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return value;
}

}  // namespace svl
