#include "core/scan/RootPlace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <climits>

namespace svl {

namespace {

constexpr unsigned kPlaceMask = STATX_TYPE | STATX_MNT_ID;

// The path the kernel gives for an open descriptor; empty when it has none to give.
std::string pathOfDescriptor(int fd) {
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    std::string path(PATH_MAX, '\0');
    const ssize_t n = readlink(link.c_str(), path.data(), path.size());
    if (size_t(n) >= path.size())  // -1 too, as a huge size
        return std::string();
    path.resize(size_t(n));
    return path;
}

// A path below a mount point ("" for the point itself, else "/...") inside the mount's root.
std::string insideRoot(const std::string& root, const std::string& below) {
    if (below.empty())
        return root;
    return root == "/" ? below : root + below;
}

}  // namespace

std::optional<RootPlace> examineRootPlace(const std::string& path, const std::vector<MountEntry>& mounts) {
    // One descriptor answers every question, so they all concern one object.
    struct statx st;
    int fd = ::open(path.c_str(), O_PATH | O_CLOEXEC);
    if (fd >= 0 && (statx(fd, "", AT_EMPTY_PATH, kPlaceMask, &st) != 0 || !S_ISDIR(st.stx_mode))) {
        // A link is followed only to a folder; any other object is taken as it stands.
        ::close(fd);
        fd = ::open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
        if (fd >= 0 && statx(fd, "", AT_EMPTY_PATH, kPlaceMask, &st) != 0) {
            ::close(fd);
            fd = -1;
        }
    }
    if (fd < 0)
        return std::nullopt;
    const std::string canonical = pathOfDescriptor(fd);
    ::close(fd);
    if (!(st.stx_mask & STATX_MNT_ID))
        return std::nullopt;
    // An empty or unreachable path lies within no mount point.
    const MountEntry* mount = nullptr;
    for (const MountEntry& entry : mounts)
        if (uint64_t(entry.mountId) == st.stx_mnt_id)
            mount = &entry;
    if (!mount || !isPathWithin(canonical, mount->mountPoint))
        return std::nullopt;

    RootPlace place;
    place.device = makedev(st.stx_dev_major, st.stx_dev_minor);
    const std::string below = canonical == mount->mountPoint ? std::string()
                              : mount->mountPoint == "/"     ? canonical
                                                             : canonical.substr(mount->mountPoint.size());
    place.inFileSystem = insideRoot(mount->root, below);
    for (const MountEntry& entry : mounts) {
        if (&entry != mount && entry.major == mount->major && entry.minor == mount->minor &&
            entry.mountPoint != canonical && isPathWithin(entry.mountPoint, canonical))
            place.reachedBelow.push_back(entry.root);
    }
    return place;
}

bool placeWithin(const RootPlace& inner, const RootPlace& outer) {
    if (inner.device != outer.device)
        return false;
    if (isPathWithin(inner.inFileSystem, outer.inFileSystem))
        return true;
    // A mount below outer that shows inner itself (or a folder inside it) is a bind target of
    // the walk, listed and not entered, since inner is a root too; one that shows a folder
    // holding inner is entered, and inner would be counted again.
    for (const std::string& reached : outer.reachedBelow)
        if (inner.inFileSystem != reached && isPathWithin(inner.inFileSystem, reached))
            return true;
    return false;
}

}  // namespace svl
