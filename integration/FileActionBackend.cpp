#include "integration/FileActionBackend.h"

#include "app/ElevationTools.h"
#include "core/smb/SmbMount.h"

#include <QDesktopServices>
#include <QFileInfo>
#include <QGuiApplication>
#include <QProcess>
#include <QStandardPaths>
#include <QUrl>

FileActionBackend FileActionBackend::system()
{
    FileActionBackend backend;
    backend.open = [](const QString& path) { return QDesktopServices::openUrl(QUrl::fromLocalFile(path)); };
    backend.showInFileManager = [](const QList<QString>& paths) {
        if (callFileManager1("ShowItems", paths, activationToken()))
            return true;
        if (paths.isEmpty())
            return false;
        return QDesktopServices::openUrl(QUrl::fromLocalFile(QFileInfo(paths.first()).absolutePath()));
    };
    backend.showProperties = [](const QList<QString>& paths) {
        return callFileManager1("ShowItemProperties", paths, activationToken());
    };
    backend.openTerminal = &FileActionBackend::defaultOpenTerminal;
    backend.moveToTrash = &moveItemToTrash;
    backend.deleteAsAdministrator = &::deleteAsAdministrator;
    backend.startInstance = [](const QString& path) {
        // The program's own file: inside an AppImage the running executable lies in a
        // temporary mount that goes away with this process.
        return QProcess::startDetached(programFilePath(), {path}, QString());
    };
    return backend;
}

bool callFileManager1(const QString& method, const QList<QString>& paths, const QString& token)
{
    if (paths.isEmpty())
        return false;
    const QString dbusSend = QStandardPaths::findExecutable("dbus-send");
    if (dbusSend.isEmpty())
        return false;
    QList<QString> uris;
    for (const QString& path : paths)
        uris.append(fileUriFor(path));
    QProcess process;
    process.start(dbusSend,
                  {"--session", "--print-reply", "--type=method_call", "--dest=org.freedesktop.FileManager1",
                   "/org/freedesktop/FileManager1", "org.freedesktop.FileManager1." + method,
                   "array:string:" + uris.join(','), "string:" + token},
                  QIODevice::ReadWrite);
    if (!process.waitForFinished(4000))
        return false;
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

QString fileUriFor(const QString& path)
{
    QUrl url = QUrl::fromLocalFile(path);
    if (const auto share = svl::gvfsSmbMountFor(path.toStdString())) {
        url = QUrl();
        url.setScheme("smb");
        url.setHost(QString::fromStdString(share->server), QUrl::DecodedMode);
        const QString user = QString::fromStdString(share->user);
        const QString domain = QString::fromStdString(share->domain);
        if (!user.isEmpty())
            url.setUserName(domain.isEmpty() ? user : domain + ';' + user, QUrl::DecodedMode);
        QString sharePath = '/' + QString::fromStdString(share->share);
        const QString inner = QString::fromStdString(share->path);
        if (!inner.isEmpty())
            sharePath += '/' + inner;
        url.setPath(sharePath, QUrl::DecodedMode);
    }
    return QString::fromLatin1(url.toEncoded(QUrl::FullyEncoded)).replace(",", "%2C");
}

QString activationToken()
{
    // Qt 6.4 publishes no native Wayland window interface to request an xdg-activation
    // token through, so there is none to hand on; the compositor then decides focus itself.
    return QString();
}
