#include "app/ElevationTools.h"

#include <QCoreApplication>
#include <QFileInfo>

QString programFilePath()
{
    const QString appImage = qEnvironmentVariable("APPIMAGE");
    if (!appImage.isEmpty() && QFileInfo(appImage).isFile())
        return appImage;
    return QCoreApplication::applicationFilePath();
}

QList<QString> systemProgramFolders()
{
    return {"/usr/local/bin", "/usr/bin", "/bin", "/usr/local/sbin", "/usr/sbin", "/sbin"};
}

QList<QString> elevationSearchFolders()
{
    QList<QString> folders;
    for (const QString& entry : qEnvironmentVariable("PATH").split(':', Qt::SkipEmptyParts))
        folders.append(entry);
    for (const QString& folder : systemProgramFolders()) {
        if (!folders.contains(folder))
            folders.append(folder);
    }
    return folders;
}

QString findExecutableIn(const QString& name, const QList<QString>& folders)
{
    for (const QString& folder : folders) {
        const QFileInfo info(folder + '/' + name);
        if (info.isFile() && info.isExecutable())
            return info.absoluteFilePath();
    }
    return {};
}

ElevationToolChoice chooseElevationTool(const QList<QString>& folders)
{
    if (QString path = findExecutableIn("pkexec", folders); !path.isEmpty())
        return {ElevationTool::Pkexec, path};
    if (QString path = findExecutableIn("sudo", folders); !path.isEmpty())
        return {ElevationTool::Sudo, path};
    return {};
}

QString elevationFailureMessage(ElevationTool tool, int status)
{
    if ((tool == ElevationTool::Pkexec && (status == 126 || status == 127)) ||
        (tool == ElevationTool::Sudo && status == 1))
        return QCoreApplication::translate("Elevator", "Administrator access wasn't granted, or the password prompt was cancelled.");
    return QCoreApplication::translate("Elevator", "The administrator copy stopped before it finished starting (exit status %1).")
        .arg(status);
}

QString shellQuoted(const QString& text)
{
    QString quoted = text;
    quoted.replace(u'\'', QStringLiteral("'\\''"));
    return u'\'' + quoted + u'\'';
}
