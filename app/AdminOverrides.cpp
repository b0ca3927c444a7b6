#include "app/AdminOverrides.h"

#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QSet>
#include <QSettings>
#include <QStringList>

#include <sys/stat.h>
#include <unistd.h>

QString sharedFolderPath() {
    const QString path = qEnvironmentVariable("ZRT_SHARED_DIR");
    return path.isEmpty() ? QStringLiteral("/var/lib/hollowmere") : path;
}

QString adminFolderPath() {
    const QString path = qEnvironmentVariable("ZRT_ADMIN_DIR");
    return path.isEmpty() ? QStringLiteral("/etc/hollowmere") : path;
}

bool isSharedFolderWritable() {
    const QByteArray path = QFile::encodeName(sharedFolderPath());
    struct stat st {};
    if (::stat(path.constData(), &st) != 0 || !S_ISDIR(st.st_mode))
        return false;
    return ::access(path.constData(), W_OK | X_OK) == 0;
}

bool ensureSharedFolder() {
    const QByteArray path = QFile::encodeName(sharedFolderPath());
    struct stat st {};
    if (::stat(path.constData(), &st) != 0) {
        if (::mkdir(path.constData(), 0755) == 0)
            ::chmod(path.constData(), 01777);
    }
    return isSharedFolderWritable();
}

static uid_t trustedOwner() {
    const QString text = qEnvironmentVariable("ZRT_TRUSTED_UID");
    if (text.isEmpty())
        return 0;
    return static_cast<uid_t>(text.toUInt());  // text that is no number gives 0
}

QString checkOverrideFileTrust(const QString& filePath) {
    const uid_t owner = trustedOwner();
    const QByteArray path = QFile::encodeName(filePath);
    struct stat st {};
    if (::lstat(path.constData(), &st) != 0)
        return QStringLiteral("it can't be read");
    if (!S_ISREG(st.st_mode))
        return QStringLiteral("it is not a plain file");
    if (st.st_uid != owner)
        return QStringLiteral("it is not owned by root");
    if (st.st_mode & 022)
        return QStringLiteral("it can be written by other accounts");

    const QByteArray folder = QFile::encodeName(QFileInfo(filePath).absolutePath());
    struct stat dir {};
    if (::lstat(folder.constData(), &dir) != 0 || !S_ISDIR(dir.st_mode))
        return QStringLiteral("its folder can't be checked");
    if (dir.st_uid != owner)
        return QStringLiteral("its folder is not owned by root");
    // A sticky folder writable by all is fine: only a file's owner may replace it.
    if ((dir.st_mode & 022) && !(dir.st_mode & 01000))
        return QStringLiteral("other accounts can replace files in its folder");
    return QString();
}

bool isNeverOverriddenKey(const QString& key) {
    // Per-user state: window and splitter layouts, last choices, one-time answers.
    static const char* const fragments[] = {
        "windowGeometry", "Split", "lastSelection", "lastTab", "LastFolder", "customFolders", "CustomFolders",
        "menuEntryAsked", "fileManagerMenuDecided", "migratedFromQuillbrook", "layoutFirstShape", "Header@",
        "Columns@",
    };
    for (const char* fragment : fragments) {
        if (key.contains(QLatin1String(fragment)))
            return true;
    }
    return false;
}

QMap<QString, QVariant> loadSettingOverrides() {
    static QMutex reportedLock;
    static QSet<QString> reported;

    QMap<QString, QVariant> overrides;
    for (const QString& folder : {sharedFolderPath(), adminFolderPath()}) {
        const QString file = folder + QStringLiteral("/Overrides.conf");
        if (!QFileInfo(file).isFile())
            continue;
        const QString reason = checkOverrideFileTrust(file);
        if (!reason.isEmpty()) {
            QMutexLocker locker(&reportedLock);
            if (!reported.contains(file)) {
                reported.insert(file);
                qWarning("Hollowmere: ignoring %s: %s", file.toLocal8Bit().constData(),
                         reason.toLocal8Bit().constData());
            }
            continue;
        }
        QSettings ini(file, QSettings::IniFormat);
        for (const QString& key : ini.allKeys()) {
            if (!isNeverOverriddenKey(key))
                overrides.insert(key, ini.value(key));
        }
    }
    return overrides;
}
