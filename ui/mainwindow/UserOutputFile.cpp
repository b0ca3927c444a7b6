#include "ui/mainwindow/UserOutputFile.h"

#include "app/Elevation.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A numeric id from the environment; -1 (leave unchanged) when unset or not a number.
long envId(const char* name) {
    bool ok = false;
    const long id = qEnvironmentVariable(name).toLong(&ok);
    return ok && id >= 0 ? id : -1;
}

void setError(QString* error, const QString& text) {
    if (error)
        *error = text;
}

QString notRegular() {
    return QCoreApplication::translate("UserOutputFile", "Not a regular file.");
}

QString errnoText(int code) {
    return QString::fromLocal8Bit(std::strerror(code));
}

// The file a write to `path` replaces: itself, or in an ordinary run the end of the
// symbolic links at that name. Empty with the reason in *error when it must not be replaced.
QString replacedFile(const QString& path, QString* error) {
    const QByteArray name = QFile::encodeName(path);
    struct stat st {};
    if (::lstat(name.constData(), &st) != 0)
        return path;  // a new file
    QString replaced = path;
    if (S_ISLNK(st.st_mode)) {
        if (isElevated()) {
            setError(error, errnoText(ELOOP));
            return {};
        }
        const QFileInfo link(path);
        const QString canonical = link.canonicalFilePath();
        // A dangling link makes its target, as opening it for writing would.
        replaced = canonical.isEmpty() ? link.symLinkTarget() : canonical;
        if (::stat(QFile::encodeName(replaced).constData(), &st) != 0)
            return replaced;
    }
    if (!S_ISREG(st.st_mode)) {
        setError(error, notRegular());
        return {};
    }
    return replaced;
}

}  // namespace

int openUserOutputFile(const QString& path, mode_t mode, bool exclusive, QString* error) {
    const QByteArray name = QFile::encodeName(path);
    const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (exclusive ? O_EXCL : 0) | (isElevated() ? O_NOFOLLOW : 0);
    const int fd = ::open(name.constData(), flags, mode);
    if (fd < 0) {
        setError(error, QString::fromLocal8Bit(std::strerror(errno)));
        return -1;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        // A device or pipe at that name is not a file to hand over or truncate.
        ::close(fd);
        setError(error, notRegular());
        return -1;
    }
    const long uid = envId("ZRT_USER_UID");
    const long gid = envId("ZRT_USER_GID");
    if ((uid >= 0 || gid >= 0) && ::fchown(fd, static_cast<uid_t>(uid), static_cast<gid_t>(gid)) != 0) {
        const int saved = errno;
        ::close(fd);
        setError(error, QString::fromLocal8Bit(std::strerror(saved)));
        return -1;
    }
    return fd;
}

QString descriptorPath(int fd) {
    return QStringLiteral("/proc/self/fd/%1").arg(fd);
}

bool writeUserFile(const QString& path, const QByteArray& bytes, mode_t mode, QString* error) {
    const int fd = openUserOutputFile(path, mode, false, error);
    if (fd < 0)
        return false;
    qint64 done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int saved = n < 0 ? errno : EIO;
            ::close(fd);
            setError(error, QString::fromLocal8Bit(std::strerror(saved)));
            return false;
        }
        done += n;
    }
    const bool cut = ::ftruncate(fd, static_cast<off_t>(bytes.size())) == 0;
    const int saved = errno;
    if (::close(fd) != 0 || !cut) {
        setError(error, QString::fromLocal8Bit(std::strerror(cut ? errno : saved)));
        return false;
    }
    return true;
}

bool replaceUserFile(const QString& path, mode_t mode, const std::function<bool(QIODevice&, QString*)>& write,
                     QString* error) {
    const QString target = replacedFile(path, error);
    if (target.isEmpty())
        return false;
    const QFileInfo info(target);
    struct stat old {};
    const bool replacing = ::stat(QFile::encodeName(target).constData(), &old) == 0;
    QString temporary;
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 16; ++attempt) {
        temporary = info.dir().filePath(QStringLiteral(".%1.%2").arg(info.fileName()).arg(
            QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0')));
        fd = openUserOutputFile(temporary, mode, true, error);
        if (fd < 0 && errno != EEXIST)
            return false;
    }
    if (fd < 0)
        return false;
    if (replacing)
        (void)::fchmod(fd, old.st_mode & 07777);  // the replaced file's permissions stay
    QString reason;
    bool written = false;
    {
        QFile file;
        if (file.open(fd, QIODevice::WriteOnly, QFileDevice::DontCloseHandle)) {
            written = write(file, &reason);
            written = written && file.flush() && file.error() == QFileDevice::NoError;
            if (!written && reason.isEmpty())
                reason = file.errorString();
        } else {
            reason = file.errorString();
        }
    }
    const QByteArray temporaryName = QFile::encodeName(temporary);
    if (::close(fd) != 0 && written) {
        written = false;
        reason = errnoText(errno);
    }
    if (written && ::rename(temporaryName.constData(), QFile::encodeName(target).constData()) != 0) {
        written = false;
        reason = errnoText(errno);
    }
    if (!written) {
        ::unlink(temporaryName.constData());
        setError(error, reason);
    }
    return written;
}
