#include "app/ElevatedStart.h"

#include "app/Elevator.h"
#include "core/exchange/WriteAll.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalSocket>
#include <QStandardPaths>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr int kReadyWaitMs = 2000;

const char* const kLookFileNames[] = {"kdeglobals", "kcmfonts", "breezerc", "gtk-3.0/settings.ini",
                                      "gtk-4.0/settings.ini"};

// Reads exactly `size` bytes or fewer at end of file; an error gives what was read so far.
QByteArray readUpTo(int fd, qint64 size) {
    QByteArray data(size, Qt::Uninitialized);
    qint64 done = 0;
    while (done < size) {
        const ssize_t got = ::read(fd, data.data() + done, size_t(size - done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        done += got;
    }
    data.truncate(done);
    return data;
}

bool writeNewFile(const QString& path, const QByteArray& content) {
    const QByteArray name = QFile::encodeName(path);
    ::unlink(name.constData());
    const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    const bool written = svl::writeAll(fd, content.constData(), size_t(content.size()));
    ::close(fd);
    if (written)
        return true;
    ::unlink(name.constData());
    return false;
}

// mkdir with 0700, then insists on a real directory of ours with exactly that mode.
bool preparePrivateFolder(const QByteArray& path) {
    if (::mkdir(path.constData(), 0700) != 0 && errno != EEXIST)
        return false;
    struct stat st {};
    if (::lstat(path.constData(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid())
        return false;
    return ::chmod(path.constData(), 0700) == 0;
}

bool parseUid(const QByteArray& text, uid_t* uid) {
    bool ok = false;
    const uint value = text.toUInt(&ok, 10);
    if (ok)
        *uid = value;
    return ok;
}

}  // namespace

bool isHandoffVariable(const QByteArray& name) {
    static const char* const extra[] = {"ZRT_USER_NAME", "ZRT_USER_HOME", "ZRT_USER_CONF", "ZRT_USER_UID",
                                        "ZRT_USER_GID", "ZRT_USER_SCHEME", "ZRT_USER_CONFIG_HOME",
                                        "ZRT_USER_DATA_HOME"};
    const QString text = QString::fromLatin1(name);
    if (passThroughVariables().contains(text))
        return true;
    for (const char* allowed : extra) {
        if (name == allowed)
            return true;
    }
    return false;
}

bool readHandoffFile(const QString& token, uid_t uid) {
    const QString path = handoffFilePath(token, uid);
    if (path.isEmpty())
        return false;
    const QByteArray name = QFile::encodeName(path);
    // No link is followed and a FIFO planted there cannot block the open.
    const int fd = ::open(name.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st {};
    const bool accepted = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == uid
                          && (st.st_mode & 077) == 0 && st.st_size <= kMaxHandoffFileSize;
    const QByteArray content = accepted ? readUpTo(fd, st.st_size) : QByteArray();
    ::close(fd);
    ::unlink(name.constData());
    if (!accepted)
        return false;
    for (const QByteArray& line : content.split('\n')) {
        const qsizetype equals = line.indexOf('=');
        if (equals <= 0)
            continue;
        const QByteArray variable = line.left(equals);
        if (isHandoffVariable(variable))
            qputenv(variable.constData(), line.mid(equals + 1));
    }
    return true;
}

void takeHandoffEnvironment(int argc, char** argv) {
    const QByteArray pkexecUid = qgetenv("PKEXEC_UID");
    if (::geteuid() != 0 || pkexecUid.isEmpty())
        return;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--elevation-token") == 0) {
            uid_t uid = 0;
            if (parseUid(pkexecUid, &uid))
                readHandoffFile(QString::fromLocal8Bit(argv[i + 1]), uid);
            return;
        }
    }
}

bool preparePrivateLookFolders(const QString& base, uid_t uid, QString* configFolder, QString* dataFolder) {
    if (!QDir().mkpath(base))
        return false;
    const QString own = base + "/user-" + QString::number(uid);
    const QString config = own + "/config";
    const QString data = own + "/data";
    for (const QString& folder : {own, config, data}) {
        if (!preparePrivateFolder(QFile::encodeName(folder)))
            return false;
    }
    *configFolder = config;
    *dataFolder = data;
    return true;
}

void mirrorUserLookFiles() {
    uid_t uid = 0;
    if (::geteuid() != 0 || !parseUid(qgetenv("ZRT_USER_UID"), &uid))
        return;
    const passwd* root = ::getpwuid(::geteuid());
    QString config, data;
    if (!root || !preparePrivateLookFolders(QFile::decodeName(root->pw_dir) + "/.cache/hollowmere", uid, &config, &data))
        return;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(config));
    qputenv("XDG_DATA_HOME", QFile::encodeName(data));
    const QString userConfig = qEnvironmentVariable("ZRT_USER_CONFIG_HOME");
    const QString userData = qEnvironmentVariable("ZRT_USER_DATA_HOME");
    if (userConfig.isEmpty() && userData.isEmpty())
        return;
    mirrorLookFilesBetween(userConfig, userData, uid,
                           QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation),
                           QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation));
}

int mirrorLookFilesBetween(const QString& userConfig, const QString& userData, uid_t uid, const QString& rootConfig,
                           const QString& rootData) {
    int copied = 0;
    if (!userConfig.isEmpty() && !rootConfig.isEmpty() && userConfig != rootConfig) {
        for (const char* name : kLookFileNames)
            copied += copyUserOwnedFile(userConfig + u'/' + name, rootConfig + u'/' + name, uid) ? 1 : 0;
        copied += mirrorFolderFiles(userConfig, rootConfig, QStringLiteral("kdedefaults"), uid);
    }
    if (!userData.isEmpty() && !rootData.isEmpty() && userData != rootData)
        copied += mirrorFolderFiles(userData, rootData, QStringLiteral("color-schemes"), uid);
    return copied;
}

int mirrorFolderFiles(const QString& sourceBase, const QString& destinationBase, const QString& subfolder, uid_t uid) {
    const QDir source(sourceBase + u'/' + subfolder);
    int copied = 0;
    for (const QString& name : source.entryList(QDir::Files, QDir::Unsorted))
        copied += copyUserOwnedFile(source.filePath(name), destinationBase + u'/' + subfolder + u'/' + name, uid) ? 1 : 0;
    return copied;
}

bool copyUserOwnedFile(const QString& source, const QString& destination, uid_t uid) {
    // O_PATH follows the link without opening a device or FIFO; the checked inode is then
    // reopened for reading, so a link swapped after the check is never read.
    const int pathFd = ::open(QFile::encodeName(source).constData(), O_PATH | O_CLOEXEC);
    if (pathFd < 0)
        return false;
    struct stat st {};
    if (::fstat(pathFd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != uid || st.st_size > kMaxLookFileSize) {
        ::close(pathFd);
        return false;
    }
    const QByteArray reopen = "/proc/self/fd/" + QByteArray::number(pathFd);
    const int fd = ::open(reopen.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ::close(pathFd);
    if (fd < 0)
        return false;
    const QByteArray content = readUpTo(fd, st.st_size);
    ::close(fd);
    if (!QDir().mkpath(QFileInfo(destination).absolutePath()))
        return false;
    return writeNewFile(destination, content);
}

void sendReady(const QString& token) {
    if (token.isEmpty())
        return;
    QLocalSocket socket;
    socket.connectToServer(elevationSocketPath(token), QIODevice::ReadWrite);
    if (!socket.waitForConnected(kReadyWaitMs))
        return;
    socket.write("ready\n");
    socket.waitForBytesWritten(kReadyWaitMs);
    socket.disconnectFromServer();
}
