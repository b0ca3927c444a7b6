#include "core/scan/RescanFolder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <optional>

#include "core/scan/Boundaries.h"
#include "core/scan/MountWatch.h"
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

// What a rescan looks at before it walks, every call watched on the mount it asks.
struct FirstLook {
    bool foreignMount = false;  // a mount point of another file system, by the table and the folder
    int error = 0;              // the path's examination failed with this
    struct statx st {};
    bool parentKnown = false;
    struct statx parent {};
    bool mountRoot = false;
    ScanTree::MountIdentity mount;
};

bool statWatched(int fd, unsigned mask, struct statx& st, int flags = 0) {
    return watchedCall(mountOfDescriptor(fd), [&] { return statx(fd, "", AT_EMPTY_PATH | flags, mask, &st); })
               .value_or(-1) == 0;
}

FirstLook lookFirst(const std::string& path, const Boundaries& boundaries, bool inFolder, size_t slash) {
    FirstLook look;
    const std::string folder = slash == 0 ? std::string("/") : path.substr(0, slash);
    if (inFolder) {
        // Listed as the walk lists it: a dead mount there is not asked.
        const auto* names = boundaries.foreignMountsIn(folder);
        const std::string name = path.substr(slash + 1);
        if (names && names->count(name)) {
            const int fd = openWatched(folder);
            look.foreignMount =
                fd >= 0 && watchedCall(mountOfDescriptor(fd), [&] { return isMountPointIn(fd, name.c_str()); }).value_or(false);
            if (fd >= 0)
                ::close(fd);
            if (look.foreignMount)
                return look;
        }
    }
    const int fd = openWatched(path, false);
    if (fd < 0 || !statWatched(fd, kEntryMask, look.st)) {
        look.error = errno;
        if (fd >= 0)
            ::close(fd);
        return look;
    }
    struct statx mount {};
    if (inFolder && statWatched(fd, STATX_INO | STATX_MNT_ID, mount, AT_STATX_DONT_SYNC) &&
        (mount.stx_attributes & STATX_ATTR_MOUNT_ROOT)) {
        look.mountRoot = true;
        look.mount = {deviceOf(mount), mount.stx_ino, (mount.stx_mask & STATX_MNT_ID) ? mount.stx_mnt_id : 0};
    }
    ::close(fd);
    if (inFolder && slash > 0 && S_ISDIR(look.st.stx_mode)) {
        const int parent = openWatched(folder);
        look.parentKnown = parent >= 0 && statWatched(parent, STATX_TYPE, look.parent);
        if (parent >= 0)
            ::close(parent);
    }
    return look;
}

}  // namespace

std::unique_ptr<ScanTree> rescanFolder(const std::string& path, const std::vector<std::string>& scanRoots,
                                       const ScanOptions& options, ScanProgress* progress) {
    const size_t slash = path.find_last_of('/');
    const bool inFolder = slash != std::string::npos && slash + 1 < path.size();
    Boundaries boundaries;
    if (inFolder)
        boundaries.prepare(scanRoots, options.oneFileSystem, options.detectBindMounts);
    WatchedTask<FirstLook> task([&path, &boundaries, inFolder, slash] { return lookFirst(path, boundaries, inFolder, slash); });
    std::optional<FirstLook> look;
    for (;;) {
        look = task.wait(std::chrono::steady_clock::now() + std::chrono::milliseconds(50));
        if (look || task.outcome() != WatchedTask<FirstLook>::Outcome::Running ||
            (progress && progress->cancel.load()))
            break;
    }
    if (!look) {
        // The mount does not answer (or the user stopped waiting): nothing is known of the folder.
        auto failed = std::make_unique<ScanTree>();
        failed->errors = 1;
        failed->unreachedRoots = {{0, RootReach::NoAnswer}};
        failed->incomplete = progress && progress->cancel.load();
        return failed;
    }
    if (look->foreignMount) {
        struct statx none {};
        none.stx_mode = S_IFDIR | 0755;
        return entryOnly(path, none, NodeFlag::OtherDevice);
    }
    if (look->error != 0) {
        if (look->error == ENOENT || look->error == ENOTDIR)
            return nullptr;
        auto failed = std::make_unique<ScanTree>();
        failed->errors = 1;
        if (look->error == kNoAnswerErrno)
            failed->unreachedRoots = {{0, RootReach::NoAnswer}};
        return failed;
    }
    const struct statx& st = look->st;
    if (!S_ISDIR(st.stx_mode))
        return entryOnly(path, st, 0);

    if (look->parentKnown) {
        const std::string parentPath = path.substr(0, slash);
        if (options.oneFileSystem && boundaries.onOtherFileSystem(deviceOf(st), deviceOf(look->parent)))
            return entryOnly(path, st, NodeFlag::OtherDevice);
        if (auto source = boundaries.bindSource(parentPath, std::string_view(path).substr(slash + 1))) {
            auto tree = entryOnly(path, st, NodeFlag::BindMount | NodeFlag::OtherDevice);
            tree->bindSources[0] = std::move(*source);
            return tree;
        }
    }
    ScanOptions inside = options;
    inside.boundaryRoots = &scanRoots;
    auto tree = scanSingle(path, inside, progress);
    if (tree->nodeCount > 0)
        tree->node(0).flags |= entryFlags(st.stx_mode);
    // A folder that is a mount's root is a mount the rescan entered there, as a walk from above would.
    if (look->mountRoot)
        tree->enteredMounts[0] = look->mount;
    return tree;
}

}  // namespace svl
