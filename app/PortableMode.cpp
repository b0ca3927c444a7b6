#include "app/PortableMode.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStorageInfo>

#include <sys/stat.h>
#include <unistd.h>

QString portableBaseFolder() {
    const QString base = qEnvironmentVariable("ZRT_PORTABLE_BASE");
    if (!base.isEmpty())
        return base;
    const QString appImage = qEnvironmentVariable("APPIMAGE");
    if (!appImage.isEmpty())
        return QFileInfo(appImage).absolutePath();
    return QFileInfo(QCoreApplication::applicationFilePath()).absolutePath();
}

QString portableDataFolder() {
    return portableBaseFolder() + QStringLiteral("/Hollowmere Data");
}

QString portableSettingsPath() {
    return portableDataFolder() + QStringLiteral("/Hollowmere.conf");
}

static bool isWritableFolder(const QString& path) {
    const QByteArray native = QFile::encodeName(path);
    struct stat st {};
    if (::stat(native.constData(), &st) != 0 || !S_ISDIR(st.st_mode))
        return false;
    return ::access(native.constData(), W_OK) == 0;
}

bool isPortable() {
    // An elevated copy working for an ordinary user must use (and hand back) that
    // user's own settings, even when it was started from a portable copy.
    if (geteuid() == 0 && !qEnvironmentVariableIsEmpty("ZRT_USER_CONF"))
        return false;
    return isWritableFolder(portableDataFolder());
}

bool createPortableDataFolder() {
    const QString folder = portableDataFolder();
    if (!QDir().mkpath(folder))
        return false;
    return isWritableFolder(folder);
}

bool isRemovableBlockDevice(const QString& deviceName, const QString& sysfsRoot) {
    if (!deviceName.startsWith(QLatin1String("/dev/")))
        return false;
    const QString root = QDir::cleanPath(sysfsRoot);
    const QString canonical =
        QFileInfo(root + QStringLiteral("/class/block/") + deviceName.mid(5)).canonicalFilePath();
    const QString canonicalRoot = QFileInfo(root).canonicalFilePath();
    if (canonical.isEmpty() || canonicalRoot.isEmpty() || !canonical.startsWith(canonicalRoot + QLatin1Char('/')))
        return false;

    // Only the components inside the sysfs tree count: usb2, usb3 ... name a USB controller.
    const QStringList parts = canonical.mid(canonicalRoot.size()).split(QLatin1Char('/'), Qt::SkipEmptyParts);
    for (const QString& part : parts) {
        if (part.size() > 3 && part.startsWith(QLatin1String("usb")) && part.at(3).isDigit() &&
            part.at(3).unicode() < 128)
            return true;
    }

    // Walk upwards: a partition's own "removable" is 0, its disk's may be 1.
    QString folder = canonical;
    while (folder.startsWith(canonicalRoot + QLatin1Char('/'))) {
        QFile flag(folder + QStringLiteral("/removable"));
        if (flag.open(QIODevice::ReadOnly) && flag.read(64).trimmed() == "1")
            return true;
        folder = QFileInfo(folder).absolutePath();
    }
    return false;
}

bool isOnRemovableDrive() {
    if (qgetenv("ZRT_ASSUME_REMOVABLE") == "1")
        return true;
    const QStorageInfo storage(portableBaseFolder());
    return isRemovableBlockDevice(QString::fromLocal8Bit(storage.device()));
}
