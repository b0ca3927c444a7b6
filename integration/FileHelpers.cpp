#include "integration/FileHelpers.h"

#include "app/DirectionalText.h"
#include "app/Elevation.h"
#include "app/PathText.h"
#include "integration/SafeRemoval.h"

#include <QClipboard>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMimeData>
#include <QUrl>

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

namespace {

QString tr(const char* text) { return QCoreApplication::translate("FileHelpers", text); }

void setError(QString* error, const QString& text)
{
    if (error)
        *error = text;
}

QString errnoText(int code) { return QString::fromStdString(std::generic_category().message(code)); }

}  // namespace

void putFilesOnClipboard(const QList<QString>& paths, bool cut)
{
    if (paths.isEmpty())
        return;
    QList<QUrl> urls;
    QByteArray marker = cut ? "cut" : "copy";
    for (const QString& path : paths) {
        const QUrl url = QUrl::fromLocalFile(path);
        urls.append(url);
        marker += '\n' + url.toEncoded(QUrl::FullyEncoded);
    }
    auto* data = new QMimeData;
    data->setUrls(urls);
    data->setData("x-special/gnome-copied-files", marker);
    data->setData("application/x-kde-cutselection", cut ? "1" : "0");
    data->setText(paths.join('\n'));
    QGuiApplication::clipboard()->setMimeData(data, QClipboard::Clipboard);
}

void copyPathsAsText(const QList<QString>& paths)
{
    if (paths.isEmpty())
        return;
    QGuiApplication::clipboard()->setText(paths.join('\n'), QClipboard::Clipboard);
}

bool canDeleteWithoutAdministrator(const QString& path)
{
    if (::geteuid() == 0)
        return true;
    const QString clean = QDir::cleanPath(path);
    const std::string item = pathBytes(clean);
    const std::string parent = pathBytes(QFileInfo(clean).absolutePath());
    if (::access(parent.c_str(), W_OK | X_OK) != 0)
        return false;
    struct stat parentStat {};
    if (::stat(parent.c_str(), &parentStat) != 0 || !(parentStat.st_mode & S_ISVTX))
        return true;
    struct stat itemStat {};
    if (::lstat(item.c_str(), &itemStat) != 0)
        return true;
    return itemStat.st_uid == ::geteuid() || parentStat.st_uid == ::geteuid();
}

namespace {

bool removalResult(int code, QString* error, bool* permissionDenied)
{
    if (code == 0)
        return true;
    if (code == EXDEV) {
        setError(error, tr("It holds another file system or mount point, which is never deleted."));
        return false;
    }
    setError(error, errnoText(code));
    if (permissionDenied)
        *permissionDenied = code == EACCES || code == EPERM;
    return false;
}

}  // namespace

bool deleteItems(const QString& path, QString* error, bool* permissionDenied)
{
    if (permissionDenied)
        *permissionDenied = false;
    const QString clean = QDir::cleanPath(path);
    if (clean.isEmpty() || clean == "/") {
        setError(error, tr("Refusing to delete the root of the filesystem."));
        return false;
    }
    // Never act on a look-alike: a relative path or one that cleaning would change.
    if (clean != path || !path.startsWith('/')) {
        setError(error, tr("The path \"%1\" isn't a plain absolute path, so nothing was deleted.")
                            .arg(isolatePathShowingControls(path)));
        return false;
    }
    return removalResult(saferemove::removePath(pathBytes(clean), isElevated()), error,
                         permissionDenied);
}

bool deleteItems(const RemovalTarget& target, QString* error, bool* permissionDenied,
                 const saferemove::RemovalControl& control)
{
    return ItemDeleter().remove(target, error, permissionDenied, control);
}

bool ItemDeleter::remove(const RemovalTarget& target, QString* error, bool* permissionDenied,
                         const saferemove::RemovalControl& control)
{
    if (permissionDenied)
        *permissionDenied = false;
    const QString clean = QDir::cleanPath(target.path);
    if (clean.isEmpty() || clean == "/") {
        setError(error, tr("Refusing to delete the root of the filesystem."));
        return false;
    }
    std::string name;
    const QStringView folder = QStringView(target.path).left(std::max<qsizetype>(target.path.lastIndexOf(u'/'), 0));
    const bool again = m_parent.fd >= 0 && m_uses < kWalkEvery && target.parent == m_identity && target.top == m_top &&
                       folder == m_folder && target.item;
    if (again) {
        // The folder is the one walked to and checked for an earlier item: only this item's
        // own identity is left to check.
        const std::string bytes = pathBytes(target.path);
        std::string parent;
        ItemIdentity now;
        int code = saferemove::isCleanAbsolutePath(bytes) && saferemove::splitParent(bytes, &parent, &name)
                       ? captureItemIdentityAt(m_parent.fd, name, &now)
                       : EINVAL;
        if (code == 0 && now != *target.item)
            code = kItemReplaced;
        if (code != 0) {
            if (isPlaceChange(code)) {
                setError(error, placeChangedText(target.path, code));
                return false;
            }
            return removalResult(code, error, permissionDenied);
        }
        ++m_uses;
    } else {
        m_parent.reset();
        const int dir = openItemParent(target, &name);
        if (dir < 0) {
            if (isPlaceChange(-dir)) {
                setError(error, placeChangedText(target.path, -dir));
                return false;
            }
            return removalResult(-dir, error, permissionDenied);
        }
        m_parent.reset(dir);
        m_folder = folder.toString();
        m_identity = target.parent;
        m_top = target.top;
        m_uses = 1;
    }
    const int code = saferemove::removeEntry(m_parent.fd, name, control);
    if (code == ECANCELED && control.cancel && control.cancel->load()) {
        setError(error, QString());
        return false;
    }
    return removalResult(code, error, permissionDenied);
}

namespace {

bool acceptableName(const QString& newName, QString* error)
{
    if (newName.isEmpty()) {
        setError(error, tr("The name can't be empty."));
        return false;
    }
    if (newName.contains('/') || newName.contains(QChar(0)) || newName == "." || newName == "..") {
        setError(error, tr("That isn't a valid file name."));
        return false;
    }
    return true;
}

}  // namespace

bool renameItem(const RemovalTarget& target, const QString& newName, QString* error)
{
    if (!acceptableName(newName, error))
        return false;
    std::string name;
    const int dir = openItemParent(target, &name);
    if (dir < 0) {
        setError(error, isPlaceChange(-dir) ? placeChangedText(target.path, -dir) : errnoText(-dir));
        return false;
    }
    const int code = saferemove::renameEntry(dir, name, dir, pathBytes(newName));
    ::close(dir);
    if (code != 0) {
        setError(error, code == EEXIST ? tr("An item with that name already exists.") : errnoText(code));
        return false;
    }
    return true;
}
