#include "app/AppSettings.h"

#include "app/AdminOverrides.h"
#include "app/PathText.h"
#include "app/PortableMode.h"
#include "core/exchange/WriteAll.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTimer>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char kOrganization[] = "Tessaril Software";
constexpr char kApplication[] = "Hollowmere";
constexpr char kImportFlag[] = "migratedFromQuillbrook";
constexpr int kWriteBackIntervalMs = 1500;

// Root working for an ordinary user: ZRT_USER_CONF names that user's settings file.
bool isElevatedForUser() {
    return geteuid() == 0 && !qEnvironmentVariableIsEmpty("ZRT_USER_CONF");
}

// Unsigned decimal; text that is no number gives 0.
uint parseId(const QByteArray& text) {
    return text.toUInt();
}

bool copyFd(int from, int to) {
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(from, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        if (!svl::writeAll(to, buffer, static_cast<size_t>(n)))
            return false;
    }
}

}  // namespace

bool copyUserSettingsIn(const QString& source, const QString& target, uid_t uid) {
    // Only an ordinary account's file is taken in; the owner check is what makes
    // the copy safe, so an unknown or root owner gets nothing.
    if (uid == 0)
        return false;
    const QByteArray sourcePath = QFile::encodeName(source);
    const QByteArray targetPath = QFile::encodeName(target);
    struct stat sourceStat {}, targetStat {};
    if (::lstat(sourcePath.constData(), &sourceStat) != 0)
        return false;
    if (::stat(targetPath.constData(), &targetStat) == 0 && targetStat.st_dev == sourceStat.st_dev &&
        targetStat.st_ino == sourceStat.st_ino)
        return false;

    // The user's file exists: this copy starts from it or, when it is refused,
    // from an empty store, never from the administrator's own older settings.
    QDir().mkpath(QFileInfo(target).absolutePath());
    QFile::remove(target);

    const int fd = ::open(sourcePath.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st {};
    QByteArray content;
    bool accepted = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == uid &&
                    st.st_size <= kMaxUserSettingsFileSize;
    if (accepted) {
        content.resize(static_cast<qsizetype>(st.st_size) + 1);
        qsizetype filled = 0;
        while (filled < content.size()) {
            const ssize_t n = ::read(fd, content.data() + filled, static_cast<size_t>(content.size() - filled));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                accepted = n == 0;
                break;
            }
            filled += n;
        }
        // A file that grew past its checked size while being read is refused.
        if (filled > st.st_size)
            accepted = false;
        content.truncate(filled);
    }
    ::close(fd);
    if (!accepted)
        return false;

    QFile out(target);
    if (!out.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        return false;
    const bool written = out.write(content) == content.size();
    out.close();
    if (!written)
        QFile::remove(target);
    return written;
}

bool replaceUserSettingsFile(const QString& source, const QString& target, uid_t uid, gid_t gid) {
    if (uid == 0)
        return false;
    const QByteArray targetPath = QFile::encodeName(target);
    const qsizetype slash = targetPath.lastIndexOf('/');
    const QByteArray folder = slash < 0 ? QByteArray(".") : (slash == 0 ? QByteArray("/") : targetPath.left(slash));
    const QByteArray name = slash < 0 ? targetPath : targetPath.mid(slash + 1);
    if (name.isEmpty() || name == "." || name == "..")
        return false;

    // Everything below works relative to the opened folder, so the user cannot
    // swap the folder for a link between the checks and the rename.
    const int dirFd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dirFd < 0)
        return false;
    struct stat st {};
    if (::fstat(dirFd, &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != uid) {
        ::close(dirFd);
        return false;
    }

    mode_t mode = 0644;
    if (::fstatat(dirFd, name.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (!S_ISREG(st.st_mode) || st.st_uid != uid) {
            ::close(dirFd);
            return false;
        }
        mode = st.st_mode & 07777;
    } else if (errno != ENOENT) {
        ::close(dirFd);
        return false;
    }

    const QByteArray tempName = name + ".zrt-" + QByteArray::number(static_cast<qlonglong>(::getpid()));
    ::unlinkat(dirFd, tempName.constData(), 0);
    const int sourceFd = ::open(QFile::encodeName(source).constData(), O_RDONLY | O_CLOEXEC);
    if (sourceFd < 0) {
        ::close(dirFd);
        return false;
    }
    const int tempFd =
        ::openat(dirFd, tempName.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (tempFd < 0) {
        ::close(sourceFd);
        ::close(dirFd);
        return false;
    }
    bool ok = copyFd(sourceFd, tempFd);
    ::close(sourceFd);
    // Owner first: changing the owner clears set-id bits that the mode may restore.
    ok = ok && ::fchown(tempFd, uid, gid) == 0 && ::fchmod(tempFd, mode) == 0;
    ok = ::close(tempFd) == 0 && ok;
    ok = ok && ::renameat(dirFd, tempName.constData(), dirFd, name.constData()) == 0;
    if (!ok)
        ::unlinkat(dirFd, tempName.constData(), 0);
    ::close(dirFd);
    return ok;
}

AppSettings::AppSettings(QObject* parent) : QObject(parent) {
    const bool portable = isPortable();
    if (portable) {
        m_store = std::make_unique<QSettings>(portableSettingsPath(), QSettings::IniFormat);
    } else {
        if (isElevatedForUser()) {
            const QString nativeFile =
                QSettings(QSettings::NativeFormat, QSettings::UserScope, kOrganization, kApplication).fileName();
            const QByteArray uidText = qgetenv("ZRT_USER_UID");
            if (!uidText.isEmpty())
                copyUserSettingsIn(qEnvironmentVariable("ZRT_USER_CONF"), nativeFile, parseId(uidText));
        }
        m_store = std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope, kOrganization,
                                              kApplication);
    }

    if (!m_store->contains(QLatin1String(kImportFlag))) {
        if (!portable && m_store->allKeys().isEmpty()) {
            for (const char* edition : {"Marshgleam", "Quillbrook"}) {
                QSettings older(QSettings::NativeFormat, QSettings::UserScope, kOrganization, edition);
                if (copyMissingKeys(older, *m_store) > 0)
                    break;
            }
        }
        m_store->setValue(QLatin1String(kImportFlag), true);
        m_store->sync();
    }

    if (isElevatedForUser() && !portable && QCoreApplication::instance()) {
        m_writeBackTimer = new QTimer(this);
        m_writeBackTimer->setInterval(kWriteBackIntervalMs);
        connect(m_writeBackTimer, &QTimer::timeout, this, &AppSettings::writeBackToUser);
        m_writeBackTimer->start();
        connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, this, &AppSettings::writeBackToUser);
    }
}

AppSettings::~AppSettings() = default;

AppSettings* AppSettings::instance() {
    static AppSettings settings;
    return &settings;
}

void AppSettings::setValue(const char* key, const QVariant& value) {
    const QString name = QString::fromLatin1(key);
    if (m_store->value(name) == value)
        return;
    m_store->setValue(name, value);
    emit changed(name);
}

namespace {

constexpr QLatin1String kFileUrl("file://");

}  // namespace

QStringList AppSettings::pathList(const char* key) const {
    QStringList paths = m_store->value(QLatin1String(key)).toStringList();
    for (QString& path : paths) {
        if (path.startsWith(kFileUrl))
            path = pathText(QByteArray::fromPercentEncoding(path.mid(kFileUrl.size()).toLatin1()).toStdString());
    }
    return paths;
}

void AppSettings::setPathList(const char* key, const QStringList& paths) {
    QStringList stored;
    for (const QString& path : paths) {
        // A path beginning with the URL's own text is encoded too, so that it reads back as itself.
        if (QString::fromUtf8(path.toUtf8()) == path && !path.startsWith(kFileUrl)) {
            stored.append(path);
        } else {
            std::string url(kFileUrl.data(), size_t(kFileUrl.size()));
            appendPercentEncoded(url, pathBytes(path));
            stored.append(QString::fromLatin1(url));
        }
    }
    setValue(key, stored);
}

bool AppSettings::sync() {
    m_store->sync();
    writeBackToUser();
    return m_store->status() == QSettings::NoError;
}

void AppSettings::applyOverrides() {
    if (isPortable())
        return;
    const QMap<QString, QVariant> overrides = loadSettingOverrides();
    for (auto it = overrides.cbegin(); it != overrides.cend(); ++it) {
        m_store->setValue(it.key(), it.value());
        emit changed(it.key());
    }
}

int AppSettings::copyMissingKeys(QSettings& source, QSettings& target) {
    int copied = 0;
    for (const QString& key : source.allKeys()) {
        if (target.contains(key))
            continue;
        target.setValue(key, source.value(key));
        ++copied;
    }
    return copied;
}

bool AppSettings::moveToFile(const QString& path) {
    m_store->sync();
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile::remove(path);
    auto next = std::make_unique<QSettings>(path, QSettings::IniFormat);
    for (const QString& key : m_store->allKeys())
        next->setValue(key, m_store->value(key));
    next->sync();
    if (next->status() != QSettings::NoError)
        return false;
    m_store = std::move(next);
    return true;
}

void AppSettings::resetAll() {
    m_store->clear();
    m_store->setValue(QLatin1String(kImportFlag), true);
    m_store->sync();
    emit changed(QString());
}

void AppSettings::writeBackToUser() {
    if (!isElevatedForUser() || isPortable())
        return;
    m_store->sync();
    struct stat st {};
    if (::stat(QFile::encodeName(m_store->fileName()).constData(), &st) != 0)
        return;
    const qint64 mtimeMs = static_cast<qint64>(st.st_mtim.tv_sec) * 1000 + st.st_mtim.tv_nsec / 1000000;
    const qint64 signature = mtimeMs ^ static_cast<qint64>(st.st_size);
    if (signature == m_writeBackSignature)
        return;
    const QByteArray uidText = qgetenv("ZRT_USER_UID");
    const QByteArray gidText = qgetenv("ZRT_USER_GID");
    if (uidText.isEmpty() || gidText.isEmpty())
        return;
    if (replaceUserSettingsFile(m_store->fileName(), qEnvironmentVariable("ZRT_USER_CONF"), parseId(uidText),
                                parseId(gidText)))
        m_writeBackSignature = signature;
}
