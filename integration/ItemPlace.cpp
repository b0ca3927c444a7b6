#include "integration/ItemPlace.h"

#include "app/DirectionalText.h"

#include <QCoreApplication>
#include <QFile>

#include <unistd.h>

#include <cerrno>

namespace {

// Opens the parent of `path` along the walk from `top`: descriptor or -errno.
int openParent(const QString& path, const QString& top, std::string* name)
{
    const std::string bytes = QFile::encodeName(path).toStdString();
    std::string parent;
    if (!saferemove::isCleanAbsolutePath(bytes) || !saferemove::splitParent(bytes, &parent, name))
        return -EINVAL;
    return saferemove::openFolderBelow(top.isEmpty() ? "/" : QFile::encodeName(top).toStdString(), parent);
}

}  // namespace

int captureItemPlace(const QString& path, const QString& top, RemovalTarget* out)
{
    std::string name;
    const int dir = openParent(path, top, &name);
    if (dir < 0)
        return -dir;
    saferemove::FolderIdentity id;
    const bool ok = saferemove::identityOf(dir, &id);
    const int code = errno;
    ::close(dir);
    if (!ok)
        return code;
    *out = {path, id, top};
    return 0;
}

int openItemParent(const RemovalTarget& target, std::string* name)
{
    const int dir = openParent(target.path, target.top, name);
    if (dir < 0)
        return dir;
    saferemove::FolderIdentity id;
    // Checked on the descriptor that is acted through.
    if (!saferemove::identityOf(dir, &id) || id != target.parent) {
        ::close(dir);
        return -ESTALE;
    }
    return dir;
}

bool isPlaceChange(int code)
{
    return code == ESTALE || code == ELOOP || code == ENOTDIR;
}

QString placeChangedText(const QString& path)
{
    return QCoreApplication::translate("ItemPlace", "A folder on the way to \"%1\" was replaced or became a symbolic "
                                                    "link after it was chosen, so nothing was changed.")
        .arg(isolateText(path));
}
