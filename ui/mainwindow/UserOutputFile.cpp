#include "ui/mainwindow/UserOutputFile.h"

#include <QCoreApplication>
#include <QFile>

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

}  // namespace

int openUserOutputFile(const QString& path, mode_t mode, bool exclusive, QString* error) {
    const QByteArray name = QFile::encodeName(path);
    const int flags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | (exclusive ? O_EXCL : 0);
    const int fd = ::open(name.constData(), flags, mode);
    if (fd < 0) {
        setError(error, QString::fromLocal8Bit(std::strerror(errno)));
        return -1;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        // A device or pipe at that name is not a file to hand over or truncate.
        ::close(fd);
        setError(error, QCoreApplication::translate("UserOutputFile", "Not a regular file."));
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
