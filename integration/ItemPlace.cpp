#include "integration/ItemPlace.h"

#include "app/DirectionalText.h"
#include "app/PathText.h"

#include <QCoreApplication>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace {

// Opens the parent of `path` along the walk from `top` (which must be `topIdentity` when
// given): descriptor or -errno.
int openParent(const QString& path, const QString& top, const std::optional<saferemove::FolderIdentity>& topIdentity,
               std::string* name)
{
    const std::string bytes = pathBytes(path);
    std::string parent;
    if (!saferemove::isCleanAbsolutePath(bytes) || !saferemove::splitParent(bytes, &parent, name))
        return -EINVAL;
    return saferemove::openFolderBelow(top.isEmpty() ? "/" : pathBytes(top), parent,
                                       topIdentity ? &*topIdentity : nullptr);
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
                     std::optional<saferemove::FolderIdentity> topIdentity)
{
    std::string name;
    const int dir = openParent(path, top, topIdentity, &name);
    if (dir < 0)
        return -dir;
    saferemove::FolderIdentity id;
    const bool ok = saferemove::identityOf(dir, &id);
    const int code = errno;
    struct stat st {};
    const bool seen = ok && ::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    ::close(dir);
    if (!ok)
        return code;
    *out = {path, id, top, topIdentity, seen ? std::optional(identityOfItem(st)) : std::nullopt};
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

int captureAdministratorPlace(const QString& path, const QString& scanTop,
                              std::optional<saferemove::FolderIdentity> scanTopIdentity, RemovalTarget* out)
{
    const int code = captureItemPlace(path, QStringLiteral("/"), out);
    if (code != ELOOP && code != ENOTDIR)
        return code;
    if (!scanTopIdentity || scanTop.isEmpty())
        return linkOnTheWay(path) ? kBelowSymbolicLink : code;
    return captureItemPlace(path, scanTop, out, scanTopIdentity);
}

int openItemParent(const RemovalTarget& target, std::string* name)
{
    const int dir = openParent(target.path, target.top, target.topIdentity, name);
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
    return code == ESTALE || code == ELOOP || code == ENOTDIR || code == kItemReplaced;
}

QString placeChangedText(const QString& path, int code)
{
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
