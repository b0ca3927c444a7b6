#include "integration/EntryFiles.h"

#include "app/DirectionalText.h"
#include "integration/OwnedFd.h"
#include "integration/ReplacementFile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QStringList>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString tr(const char* text) {
    return QCoreApplication::translate("EntryFiles", text);
}

QString errnoText(int code) {
    return QString::fromLocal8Bit(std::strerror(code));
}

QString linkRefusal(const QString& path) {
    return tr("Hollowmere doesn't write through the symbolic link %1").arg(isolatePath(path));
}

// The user's own folder that holds `path` (the data or the configuration folder), reached
// as it is named, links included; elsewhere the file's own folder.
QString baseFolderOf(const QString& path) {
    for (const auto location : {QStandardPaths::GenericDataLocation, QStandardPaths::GenericConfigLocation}) {
        const QString base = QDir::cleanPath(QStandardPaths::writableLocation(location));
        if (!base.isEmpty() && path.startsWith(base + QLatin1Char('/')))
            return base;
    }
    return QFileInfo(path).absolutePath();
}

// The folder that holds `path`, opened from its base folder one name at a time without
// following a link (O_PATH). With `create` missing folders are made; without it a missing
// folder sets *missing. -1 with the reason in *reason.
int openEntryFolder(const QString& filePath, bool create, QString* reason, bool* missing = nullptr) {
    const QString path = QDir::cleanPath(filePath);
    const QString base = baseFolderOf(path);
    if (create)
        QDir().mkpath(base);
    OwnedFd folder(::open(QFile::encodeName(base).constData(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (folder.fd < 0) {
        if (missing)
            *missing = errno == ENOENT;
        *reason = errnoText(errno);
        return -1;
    }
    QString reached = base;
    const QString rest = QFileInfo(path).absolutePath().mid(base.size());
    for (const QString& part : rest.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        reached += QLatin1Char('/') + part;
        const QByteArray name = QFile::encodeName(part);
        int next = ::openat(folder.fd, name.constData(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next == -1 && errno == ENOENT && create && (::mkdirat(folder.fd, name.constData(), 0777) == 0 || errno == EEXIST))
            next = ::openat(folder.fd, name.constData(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0) {
            const int code = errno;
            struct stat st {};
            const bool link = ::fstatat(folder.fd, name.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
            if (missing)
                *missing = code == ENOENT;
            *reason = link ? linkRefusal(reached) : errnoText(code);
            return -1;
        }
        folder.reset(next);
    }
    const int fd = folder.fd;
    folder.fd = -1;
    return fd;
}

}  // namespace

QByteArray readFileBytes(const QString& path) {
    // O_NONBLOCK: a pipe at the name reads as empty instead of waiting for a writer.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return {};
    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return {};
    }
    return file.readAll();
}

QString readTextFile(const QString& path) {
    return QString::fromUtf8(readFileBytes(path));
}

bool entryExists(const QString& path) {
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0;
}

bool writeFileAtomically(const QString& path, const QByteArray& bytes, int mode, QString* error) {
    QString reason;
    OwnedFd folder(openEntryFolder(path, true, &reason));
    if (folder.fd < 0)
        return failWith(error, reason);
    const std::string name = QFile::encodeName(QFileInfo(path).fileName()).toStdString();
    struct stat old {};
    const bool replacing = ::fstatat(folder.fd, name.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0;
    // A link at the name is refused when the new file would take its place.
    ReplacementFile file;
    int code = file.create(folder.fd, name, 0666);
    if (code == 0 && (mode >= 0 || (replacing && S_ISREG(old.st_mode))) &&
        ::fchmod(file.fd(), mode >= 0 ? mode_t(mode) : old.st_mode & 07777) != 0)
        code = errno;
    if (code == 0)
        code = file.write(bytes.constData(), size_t(bytes.size()));
    if (code == 0)
        code = file.commit();
    if (code == ELOOP)
        return failWith(error, linkRefusal(path));
    return code == 0 || failWith(error, errnoText(code));
}

bool saveEntryFile(const QString& path, const QString& text, bool executable, QString* error) {
    return writeFileAtomically(path, text.toUtf8(), executable ? 0755 : 0644, error);
}

bool removeFileIfPresent(const QString& path, QString* error) {
    QString reason;
    bool missing = false;
    OwnedFd folder(openEntryFolder(path, false, &reason, &missing));
    if (folder.fd < 0)
        return missing || failWith(error, reason);
    if (::unlinkat(folder.fd, QFile::encodeName(QFileInfo(path).fileName()).constData(), 0) == 0 || errno == ENOENT)
        return true;
    return failWith(error, errnoText(errno));
}

bool failWith(QString* error, const QString& text) {
    if (error)
        *error = text;
    return false;
}

bool hasLineBreak(const QString& text) {
    return text.contains(QLatin1Char('\n')) || text.contains(QLatin1Char('\r'));
}

QString shellQuote(const QString& text) {
    QString quoted = text;
    quoted.replace(QLatin1Char('\''), QStringLiteral("'\\''"));
    return QLatin1Char('\'') + quoted + QLatin1Char('\'');
}

QString escapeXml(const QString& text) {
    QString escaped = text;
    escaped.replace(QLatin1Char('&'), QStringLiteral("&amp;"));
    escaped.replace(QLatin1Char('<'), QStringLiteral("&lt;"));
    escaped.replace(QLatin1Char('>'), QStringLiteral("&gt;"));
    return escaped;
}

QString quoteExecArgument(const QString& text) {
    QString value = text;
    value.replace(QLatin1Char('%'), QStringLiteral("%%"));
    static const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`");
    bool needsQuotes = false;
    for (const QChar c : value)
        needsQuotes = needsQuotes || reserved.contains(c);
    if (!needsQuotes)
        return value;
    QString escaped;
    for (const QChar c : value) {
        if (c == QLatin1Char('"') || c == QLatin1Char('$') || c == QLatin1Char('\\') || c == QLatin1Char('`'))
            escaped += QLatin1Char('\\');
        escaped += c;
    }
    escaped.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
    return QLatin1Char('"') + escaped + QLatin1Char('"');
}
