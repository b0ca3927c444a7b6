#include "integration/SafeRemoval.h"
#include "integration/OwnedFd.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

namespace saferemove {
namespace {

// Where an entry lives: its device and its mount (statx mount id; 0 when the kernel has none).
struct Place {
    uint64_t device = 0;
    uint64_t inode = 0;
    uint64_t mountId = 0;
    bool mountRoot = false;
    mode_t mode = 0;
};

int placeOf(int dirFd, const char* name, Place* out)
{
    struct statx sx {};
    const int flags = AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT | (*name ? 0 : AT_EMPTY_PATH);
    if (::statx(dirFd, name, flags, STATX_TYPE | STATX_INO | STATX_MNT_ID, &sx) != 0)
        return errno;
    out->device = makedev(sx.stx_dev_major, sx.stx_dev_minor);
    out->inode = sx.stx_ino;
    out->mode = sx.stx_mode;
    out->mountId = (sx.stx_mask & STATX_MNT_ID) ? sx.stx_mnt_id : 0;
    out->mountRoot = (sx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) && (sx.stx_attributes & STATX_ATTR_MOUNT_ROOT);
    return 0;
}

bool samePlace(const Place& outer, const Place& inner)
{
    return outer.device == inner.device && outer.mountId == inner.mountId && !inner.mountRoot;
}

struct Level {
    std::string name;  // name inside the level above
    FolderIdentity id;
    std::vector<std::string> folders;  // subfolders still to empty and remove
};

// One removal's counting and stopping, looked at before every entry goes.
class Steps {
public:
    explicit Steps(const RemovalControl& control) : m_control(control) {}
    // 0, or ECANCELED once the removal is to stop before the next entry.
    int next() const
    {
        if (m_control.beforeEntry)
            (*m_control.beforeEntry)(m_count);
        return m_control.cancel && m_control.cancel->load(std::memory_order_relaxed) ? ECANCELED : 0;
    }
    void removed()
    {
        ++m_count;
        if (m_control.removed)
            m_control.removed->fetch_add(1, std::memory_order_relaxed);
    }
    bool cancelled() const { return m_control.cancel && m_control.cancel->load(std::memory_order_relaxed); }
    bool byInode() const { return m_byInode; }
    void setByInode(bool byInode) { m_byInode = byInode; }

private:
    const RemovalControl& m_control;
    uint64_t m_count = 0;
    bool m_byInode = false;
};

// Unlinking in inode order keeps the inode table's writes together on disk file systems;
// where inodes live in memory or on a server it only costs the sort (the rule rm follows).
bool inodeOrderHelps(int fd)
{
    struct statfs fs {};
    if (::fstatfs(fd, &fs) != 0)
        return false;
    switch (uint64_t(fs.f_type)) {
    case TMPFS_MAGIC:
    case RAMFS_MAGIC:
    case NFS_SUPER_MAGIC:
    case 0xFF534D42:  // cifs
    case 0xFE534D42:  // smb2
        return false;
    default:
        return true;
    }
}

// From this many entries on a folder is emptied in inode order where that helps.
constexpr size_t kInodeSortFrom = 10000;

struct Entry {
    uint64_t inode;
    uint32_t name;  // offset in the names buffer
    unsigned char type;
};

// Reads every entry of `fd` but "." and "..": the folder is read whole before anything of it
// goes, so that removing entries cannot make the reading skip any.
int readEntries(int fd, const Steps& steps, std::vector<Entry>* entries, std::string* names)
{
    constexpr size_t kBuffer = 256 * 1024;
    std::unique_ptr<char[]> buffer(new char[kBuffer]);
    for (;;) {
        if (steps.cancelled())
            return ECANCELED;
        const long got = ::syscall(SYS_getdents64, fd, buffer.get(), kBuffer);
        if (got < 0)
            return errno;
        if (got == 0)
            return 0;
        for (long at = 0; at < got;) {
            struct Raw {
                uint64_t ino;
                int64_t off;
                unsigned short reclen;
                unsigned char type;
                char name[];
            };
            const auto* raw = reinterpret_cast<const Raw*>(buffer.get() + at);
            at += raw->reclen;
            const char* n = raw->name;
            if (n[0] == '.' && (n[1] == '\0' || (n[1] == '.' && n[2] == '\0')))
                continue;
            if (names->size() > UINT32_MAX - 4096)
                return ENOMEM;
            entries->push_back({raw->ino, uint32_t(names->size()), raw->type});
            names->append(n, std::strlen(n) + 1);
        }
    }
}

// Unlinks every non-folder entry of `fd` and lists its folders. A folder on another
// mount stops the removal before anything of it is touched.
int clearFiles(int fd, const Place& top, Steps& steps, std::vector<std::string>* folders)
{
    std::vector<Entry> entries;
    std::string names;
    if (int e = readEntries(fd, steps, &entries, &names); e != 0)
        return e;
    if (steps.byInode() && entries.size() >= kInodeSortFrom)
        std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.inode < b.inode; });
    for (const Entry& entry : entries) {
        const char* n = names.data() + entry.name;
        // The folder's own listing tells files from folders: only folders need a look at their mount.
        // A file turned into a folder meanwhile refuses the unlink and is looked at like one.
        if (entry.type != DT_DIR && entry.type != DT_UNKNOWN) {
            if (int e = steps.next(); e != 0)
                return e;
            if (::unlinkat(fd, n, 0) == 0) {
                steps.removed();
                continue;
            }
            if (errno == ENOENT)
                continue;
            if (errno != EISDIR)
                return errno;
        }
        Place place;
        if (int e = placeOf(fd, n, &place); e != 0) {
            if (e == ENOENT)
                continue;
            return e;
        }
        if (S_ISDIR(place.mode)) {
            if (!samePlace(top, place))
                return EXDEV;
            folders->emplace_back(n);
            continue;
        }
        if (int e = steps.next(); e != 0)
            return e;
        if (::unlinkat(fd, n, 0) == 0)
            steps.removed();
        else if (errno != ENOENT)
            return errno;
    }
    return 0;
}

}  // namespace

bool isCleanAbsolutePath(const std::string& path)
{
    if (path.empty() || path[0] != '/')
        return false;
    if (path == "/")
        return true;
    if (path.back() == '/' || path.find('\0') != std::string::npos)
        return false;
    size_t start = 1;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        const std::string_view part(path.data() + start, end - start);
        if (part.empty() || part == "." || part == "..")
            return false;
        start = end + 1;
    }
    return true;
}

int openFolderNoFollow(const std::string& path)
{
    return openFolderBelow("/", path);
}

int openFolderBelow(const std::string& top, const std::string& path, const WalkLimits& limits)
{
    if (!isCleanAbsolutePath(top) || !isCleanAbsolutePath(path))
        return -EINVAL;
    const bool inside = path == top || top == "/" ||
                        (path.size() > top.size() && path.compare(0, top.size(), top) == 0 && path[top.size()] == '/');
    if (!inside)
        return -EINVAL;
    // O_PATH: only search permission is needed on the way, as for an ordinary lookup.
    constexpr int kPathFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    OwnedFd cur(limits.topWithoutLinks && top != "/" ? openFolderBelow("/", top)
                                                     : ::open(top.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (cur.fd < 0)
        return limits.topWithoutLinks && top != "/" ? cur.fd : -errno;
    if (limits.topIdentity) {
        FolderIdentity opened;
        if (!identityOf(cur.fd, &opened))
            return -errno;
        if (opened != *limits.topIdentity)
            return -ESTALE;
    }
    uint64_t device = 0, mountId = 0;
    if (limits.stayOnMount && !mountOf(cur.fd, &device, &mountId))
        return -errno;
    int names = top == "/" ? 0 : int(std::count(top.begin(), top.end(), '/'));
    size_t start = top == "/" ? 1 : top.size() + 1;
    while (start < path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        const std::string part = path.substr(start, end - start);
        const int next = ::openat(cur.fd, part.c_str(), kPathFlags);
        if (next < 0)
            return -errno;
        cur.reset(next);
        ++names;
        if (limits.stayOnMount) {
            uint64_t nextDevice = 0, nextMount = 0;
            if (!mountOf(cur.fd, &nextDevice, &nextMount))
                return -errno;
            // Another mount has another id; only a kernel without mount ids leaves the device
            // to tell. A device change within one mount is a Btrfs subvolume of it.
            if (nextMount != mountId || (mountId == 0 && nextDevice != device)) {
                // Another mount: only where the scan entered this very one at this folder.
                FolderIdentity here;
                if (!identityOf(cur.fd, &here))
                    return -errno;
                const std::string_view folder(path.data(), end);
                const auto same = [&](const EnteredMount& m) {
                    return m.path == folder && m.device == nextDevice && m.inode == here.inode &&
                           m.mountId == nextMount;
                };
                if (!limits.entered || std::none_of(limits.entered->begin(), limits.entered->end(), same))
                    return -(kNowMountPoint + names);
                device = nextDevice;
                mountId = nextMount;
            }
        }
        start = end + 1;
    }
    return std::exchange(cur.fd, -1);
}

bool mountOf(int fd, uint64_t* device, uint64_t* mountId)
{
    struct statx sx {};
    if (::statx(fd, "", AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, STATX_INO | STATX_MNT_ID, &sx) != 0)
        return false;
    *device = makedev(sx.stx_dev_major, sx.stx_dev_minor);
    *mountId = (sx.stx_mask & STATX_MNT_ID) ? sx.stx_mnt_id : 0;
    return true;
}

bool identityOf(int fd, FolderIdentity* out)
{
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return false;
    *out = {uint64_t(st.st_dev), uint64_t(st.st_ino)};
    return true;
}

bool splitParent(const std::string& path, std::string* parent, std::string* name)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash + 1 >= path.size())
        return false;
    *parent = slash == 0 ? std::string("/") : path.substr(0, slash);
    *name = path.substr(slash + 1);
    return true;
}

int removeEntry(int parentFd, const std::string& name, const RemovalControl& control)
{
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos)
        return EINVAL;
    Steps steps(control);
    if (int e = steps.next(); e != 0)
        return e;
    // Anything but a folder goes at once: the kernel refuses the unlink of a folder and of a
    // mount point. A folder whose parent can't be written to may still be emptied.
    if (::unlinkat(parentFd, name.c_str(), 0) == 0) {
        steps.removed();
        return 0;
    }
    const int unlinkError = errno;
    if (unlinkError == ENOENT)
        return ENOENT;
    Place top, item;
    if (int e = placeOf(parentFd, "", &top); e != 0)
        return e;
    if (int e = placeOf(parentFd, name.c_str(), &item); e != 0)
        return e;
    if (!S_ISDIR(item.mode))
        return unlinkError;
    if (!samePlace(top, item))
        return EXDEV;

    OwnedFd cur(::openat(parentFd, name.c_str(), kFolderOpenFlags));
    if (cur.fd < 0)
        return errno;
    steps.setByInode(inodeOrderHelps(cur.fd));
    std::vector<Level> levels;
    levels.push_back({name, {}, {}});
    if (!identityOf(cur.fd, &levels.back().id))
        return errno;
    // The folder opened must be the one looked at, not something renamed into its place.
    if (levels.back().id != FolderIdentity{item.device, item.inode})
        return ESTALE;
    if (int e = clearFiles(cur.fd, top, steps, &levels.back().folders); e != 0)
        return e;

    for (;;) {
        Level& level = levels.back();
        if (!level.folders.empty()) {
            const std::string child = std::move(level.folders.back());
            level.folders.pop_back();
            Place place;
            if (int e = placeOf(cur.fd, child.c_str(), &place); e != 0) {
                if (e == ENOENT)
                    continue;
                return e;
            }
            if (!S_ISDIR(place.mode) || !samePlace(top, place))
                return EXDEV;
            const int next = ::openat(cur.fd, child.c_str(), kFolderOpenFlags);
            if (next < 0)
                return errno;
            cur.reset(next);
            Level down{child, {}, {}};
            if (!identityOf(cur.fd, &down.id))
                return errno;
            if (down.id != FolderIdentity{place.device, place.inode})
                return ESTALE;
            levels.push_back(std::move(down));
            if (int e = clearFiles(cur.fd, top, steps, &levels.back().folders); e != 0)
                return e;
            continue;
        }
        if (int e = steps.next(); e != 0)
            return e;
        if (levels.size() == 1) {
            cur.reset();
            if (::unlinkat(parentFd, level.name.c_str(), AT_REMOVEDIR) != 0)
                return errno;
            steps.removed();
            return 0;
        }
        const int up = ::openat(cur.fd, "..", kFolderOpenFlags);
        if (up < 0)
            return errno;
        cur.reset(up);
        FolderIdentity upId;
        if (!identityOf(cur.fd, &upId))
            return errno;
        if (upId != levels[levels.size() - 2].id)
            return ESTALE;
        if (::unlinkat(cur.fd, level.name.c_str(), AT_REMOVEDIR) != 0)
            return errno;
        steps.removed();
        levels.pop_back();
    }
}

int renameEntry(int fromFd, const std::string& name, int toFd, const std::string& newName)
{
    if (::renameat2(fromFd, name.c_str(), toFd, newName.c_str(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return errno;
    struct stat st {};
    if (::fstatat(toFd, newName.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
        return EEXIST;
    if (errno != ENOENT)
        return errno;
    return ::renameat(fromFd, name.c_str(), toFd, newName.c_str()) == 0 ? 0 : errno;
}

int removePath(const std::string& path, bool noFollowParents, const RemovalControl& control)
{
    std::string parent, name;
    if (!splitParent(path, &parent, &name) || name == "." || name == "..")
        return EINVAL;
    OwnedFd dir(noFollowParents ? openFolderNoFollow(parent) : ::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.fd < 0)
        return noFollowParents ? -dir.fd : errno;
    return removeEntry(dir.fd, name, control);
}

}  // namespace saferemove
