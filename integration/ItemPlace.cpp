#include "integration/ItemPlace.h"

#include "app/DirectionalText.h"
#include "app/PathText.h"

#include <QCoreApplication>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace {

// Opens the parent of `target.path` along the walk the target records: descriptor or -errno.
int openParent(const RemovalTarget& target, std::string* name)
{
    const std::string bytes = pathBytes(target.path);
    std::string parent;
    if (!saferemove::isCleanAbsolutePath(bytes) || !saferemove::splitParent(bytes, &parent, name))
        return -EINVAL;
    saferemove::WalkLimits limits;
    limits.topIdentity = target.topIdentity ? &*target.topIdentity : nullptr;
    limits.topWithoutLinks = target.topWithoutLinks;
    limits.stayOnMount = target.mounts.has_value();
    limits.entered = target.mounts ? &*target.mounts : nullptr;
    return saferemove::openFolderBelow(target.top.isEmpty() ? "/" : pathBytes(target.top), parent, limits);
}

ItemIdentity identityOfItem(const struct stat& st)
{
    return {uint64_t(st.st_dev), uint64_t(st.st_ino), S_ISLNK(st.st_mode)};
}

// Whether a folder on the way to `path` is a symbolic link now.
bool linkOnTheWay(const QString& path)
{
    const std::string bytes = pathBytes(path);
    for (size_t slash = bytes.find('/', 1); slash != std::string::npos; slash = bytes.find('/', slash + 1)) {
        struct stat st {};
        if (::lstat(bytes.substr(0, slash).c_str(), &st) == 0 && S_ISLNK(st.st_mode))
            return true;
    }
    return false;
}

}  // namespace

int captureItemPlace(const QString& path, const QString& top, RemovalTarget* out,
                     std::optional<saferemove::FolderIdentity> topIdentity,
                     std::optional<std::vector<saferemove::EnteredMount>> mounts, bool topWithoutLinks)
{
    RemovalTarget place{path, {}, top, topIdentity, std::nullopt, topWithoutLinks, std::move(mounts), 0};
    std::string name;
    const int dir = openParent(place, &name);
    if (dir < 0)
        return -dir;
    uint64_t device = 0;
    const bool ok = saferemove::identityOf(dir, &place.parent) && saferemove::mountOf(dir, &device, &place.parentMount);
    const int code = errno;
    struct stat st {};
    if (ok && ::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
        place.item = identityOfItem(st);
    ::close(dir);
    if (!ok)
        return code;
    *out = std::move(place);
    return 0;
}

int captureItemIdentity(const std::string& path, ItemIdentity* out)
{
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0)
        return errno;
    *out = identityOfItem(st);
    return 0;
}

int captureItemIdentityAt(int dirFd, const std::string& name, ItemIdentity* out)
{
    struct stat st {};
    if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno;
    *out = identityOfItem(st);
    return 0;
}

int captureAdministratorPlace(const QString& path, const QString& scanTop,
                              std::optional<saferemove::FolderIdentity> scanTopIdentity, RemovalTarget* out,
                              std::optional<std::vector<saferemove::EnteredMount>> mounts)
{
    // A link on the way fails these walks with ENOTDIR: they open each folder with O_PATH and
    // O_NOFOLLOW, which opens a link itself, and O_DIRECTORY, which refuses it.
    if (!scanTopIdentity || scanTop.isEmpty()) {
        const int code = captureItemPlace(path, QStringLiteral("/"), out);
        return code == ENOTDIR && linkOnTheWay(path) ? kBelowSymbolicLink : code;
    }
    const int code = captureItemPlace(path, scanTop, out, scanTopIdentity, mounts, true);
    if (code != ENOTDIR)
        return code;
    return captureItemPlace(path, scanTop, out, scanTopIdentity, std::move(mounts));
}

int openItemParent(const RemovalTarget& target, std::string* name)
{
    const int dir = openParent(target, name);
    if (dir < 0)
        return dir;
    saferemove::FolderIdentity id;
    // Checked on the descriptor that is acted through.
    if (!saferemove::identityOf(dir, &id) || id != target.parent) {
        ::close(dir);
        return -ESTALE;
    }
    if (target.item) {
        struct stat st {};
        const int code = ::fstatat(dir, name->c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0
                             ? (identityOfItem(st) == *target.item ? 0 : kItemReplaced)
                             : errno;
        if (code != 0) {
            ::close(dir);
            return -code;
        }
    }
    return dir;
}

bool isPlaceChange(int code)
{
    return code == ESTALE || code == ELOOP || code == ENOTDIR || code == kItemReplaced || code >= kNowMountPoint;
}

QString placeChangedText(const QString& path, int code)
{
    if (code >= kNowMountPoint) {
        // The folder is the path's first names, as many as the code counts.
        return QCoreApplication::translate("ItemPlace", "\"%1\" is now a mount point; nothing was changed.")
            .arg(isolatePathShowingControls(path.section(u'/', 0, code - kNowMountPoint)));
    }
    if (code == kItemReplaced)
        return QCoreApplication::translate("ItemPlace", "\"%1\" was replaced after it was chosen, so nothing was changed.")
            .arg(isolatePathShowingControls(path));
    return QCoreApplication::translate("ItemPlace", "A folder on the way to \"%1\" was replaced or became a symbolic "
                                                    "link after it was chosen, so nothing was changed.")
        .arg(isolatePathShowingControls(path));
}

QString belowLinkText(const QString& path)
{
    return QCoreApplication::translate("ItemPlace", "The way to \"%1\" goes through a symbolic link, which Hollowmere "
                                                    "doesn't follow when running as Administrator, so nothing was "
                                                    "changed.")
        .arg(isolatePathShowingControls(path));
}
