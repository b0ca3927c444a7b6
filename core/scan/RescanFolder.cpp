#include "core/scan/RescanFolder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "core/scan/Boundaries.h"
#include "core/tree/ScanTree.h"

namespace svl {

namespace {

constexpr unsigned kEntryMask = STATX_TYPE | STATX_MTIME | STATX_INO | STATX_SIZE | STATX_BLOCKS;

uint64_t deviceOf(const struct statx& st) { return makedev(st.stx_dev_major, st.stx_dev_minor); }

// The flags the walker gives an entry of this mode (before any boundary flag).
uint16_t entryFlags(uint32_t mode) {
    const bool folder = S_ISDIR(mode);
    const bool link = S_ISLNK(mode);
    if (mode & 0222)
        return folder ? NodeFlag::Folder : link ? NodeFlag::Symlink : 0;
    return link ? NodeFlag::Symlink : folder ? uint16_t(NodeFlag::Folder | NodeFlag::ReadOnly) : NodeFlag::ReadOnly;
}

// A tree of the entry alone, as the walker writes a node it does not enter.
std::unique_ptr<ScanTree> entryOnly(const std::string& path, const struct statx& st, uint16_t extraFlags) {
    auto tree = std::make_unique<ScanTree>();
    const char* name = tree->storeName(path);
    const uint32_t id = tree->allocateNodes(1);
    const bool folder = S_ISDIR(st.stx_mode);
    tree->node(id) = ScanNode{name,
                              folder ? 0 : st.stx_size,
                              st.stx_blocks * 512,
                              st.stx_mtime.tv_sec,
                              0,
                              0,
                              0,
                              0,
                              0,
                              uint16_t(std::min<size_t>(path.size(), kMaxNameLength)),
                              uint16_t(entryFlags(st.stx_mode) | extraFlags)};
    tree->nodeCount = 1;
    tree->computeTotals();
    return tree;
}

// Whether `name` in `folder` is a mount point of another file system, by the mount table and
// the folder's own entry, without asking the mount.
bool isForeignMount(const Boundaries& boundaries, const std::string& folder, const std::string& name) {
    const auto* names = boundaries.foreignMountsIn(folder);
    if (!names || !names->count(name))
        return false;
    const int fd = ::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    const bool mounted = isMountPointIn(fd, name.c_str());
    if (fd >= 0)
        ::close(fd);
    return mounted;
}

}  // namespace

std::unique_ptr<ScanTree> rescanFolder(const std::string& path, const std::vector<std::string>& scanRoots,
                                       const ScanOptions& options, ScanProgress* progress) {
    const size_t slash = path.find_last_of('/');
    const bool inFolder = slash != std::string::npos && slash + 1 < path.size();
    Boundaries boundaries;
    if (inFolder) {
        boundaries.prepare(scanRoots, options.oneFileSystem, options.detectBindMounts);
        // Listed as the walk lists it: a dead mount would hold the rescan for ever.
        if (isForeignMount(boundaries, slash == 0 ? std::string("/") : path.substr(0, slash), path.substr(slash + 1))) {
            struct statx none {};
            none.stx_mode = S_IFDIR | 0755;
            return entryOnly(path, none, NodeFlag::OtherDevice);
        }
    }
    struct statx st;
    if (statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, kEntryMask, &st) != 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            return nullptr;
        auto failed = std::make_unique<ScanTree>();
        failed->errors = 1;
        return failed;
    }
    if (!S_ISDIR(st.stx_mode))
        return entryOnly(path, st, 0);

    if (inFolder && slash > 0) {
        const std::string parentPath = path.substr(0, slash);
        struct statx parent;
        if (statx(AT_FDCWD, parentPath.c_str(), 0, STATX_TYPE, &parent) == 0) {
            if (options.oneFileSystem && boundaries.onOtherFileSystem(deviceOf(st), deviceOf(parent)))
                return entryOnly(path, st, NodeFlag::OtherDevice);
            if (auto source = boundaries.bindSource(parentPath, std::string_view(path).substr(slash + 1))) {
                auto tree = entryOnly(path, st, NodeFlag::BindMount | NodeFlag::OtherDevice);
                tree->bindSources[0] = std::move(*source);
                return tree;
            }
        }
    }
    ScanOptions inside = options;
    inside.boundaryRoots = &scanRoots;
    auto tree = scanSingle(path, inside, progress);
    if (tree->nodeCount > 0)
        tree->node(0).flags |= entryFlags(st.stx_mode);
    // A folder that is a mount's root is a mount the rescan entered there, as a walk from above would.
    struct statx mount;
    if (inFolder && statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, STATX_INO | STATX_MNT_ID,
                          &mount) == 0 &&
        (mount.stx_attributes & STATX_ATTR_MOUNT_ROOT))
        tree->enteredMounts[0] = {deviceOf(mount), mount.stx_ino, (mount.stx_mask & STATX_MNT_ID) ? mount.stx_mnt_id : 0};
    return tree;
}

}  // namespace svl
