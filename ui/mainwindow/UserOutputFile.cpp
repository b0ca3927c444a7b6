#include "ui/mainwindow/UserOutputFile.h"

#include "app/DescriptorDevice.h"
#include "app/DirectionalText.h"
#include "app/Elevation.h"
#include "integration/ItemPlace.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>

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

bool setError(QString* error, const QString& text) {
    if (error)
        *error = text;
    return false;
}

QString notRegular() {
    return QCoreApplication::translate("UserOutputFile", "Not a regular file.");
}

QString otherAccountsFile(const QString& path) {
    return QCoreApplication::translate("UserOutputFile", "\"%1\" belongs to another account, so Hollowmere running as "
                                                         "Administrator doesn't replace it.")
        .arg(isolatePathShowingControls(path));
}

// Where a write to `path` lands: its folder and last name. An ordinary run takes the end of
// the symbolic links at the name, as opening it for writing would (a dangling link: its target).
struct OutputPlace {
    QString folder;
    std::string name;
};

OutputPlace placeOf(const QString& path) {
    QString target = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    const QFileInfo link(target);
    if (!isElevated() && link.isSymLink()) {
        const QString canonical = link.canonicalFilePath();
        target = canonical.isEmpty() ? link.symLinkTarget() : canonical;
    }
    const QFileInfo info(target);
    return {info.absolutePath(), QFile::encodeName(info.fileName()).toStdString()};
}

// The folder as an O_PATH descriptor: from "/" without following any link in an elevated
// copy, as named in an ordinary run. -1 with a text for the user naming `path`.
int openOutputFolder(const QString& folder, const QString& path, QString* error) {
    const std::string bytes = QFile::encodeName(folder).toStdString();
    if (!isElevated()) {
        const int fd = ::open(bytes.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0)
            setError(error, systemErrorText(errno));
        return fd;
    }
    const int fd = saferemove::openFolderNoFollow(bytes);
    if (fd >= 0)
        return fd;
    const bool throughLink = (fd == -ELOOP || fd == -ENOTDIR) && QFileInfo(folder).canonicalFilePath() != folder;
    setError(error, throughLink ? belowLinkText(path) : systemErrorText(-fd));
    return -1;
}

// Why the file `st` at the chosen name must not be replaced; empty when it may.
QString refusalToReplace(const struct stat& st, const QString& path) {
    if (S_ISLNK(st.st_mode))
        return isElevated() ? belowLinkText(path) : QString();
    if (!S_ISREG(st.st_mode))
        return notRegular();
    // The invoking user gets the new file: one of another account's is never taken from it.
    const long uid = envId("ZRT_USER_UID");
    if (uid >= 0 && st.st_uid != uid_t(uid))
        return otherAccountsFile(path);
    return {};
}

}  // namespace

std::optional<ChosenOutputFolder> chosenOutputFolder(const QString& filePath) {
    const OutputPlace place = placeOf(filePath);
    OwnedFd folder(openOutputFolder(place.folder, filePath, nullptr));
    ChosenOutputFolder chosen{place.folder, {}};
    if (folder.fd < 0 || !saferemove::identityOf(folder.fd, &chosen.identity))
        return std::nullopt;
    return chosen;
}

bool UserOutputFile::create(const QString& path, mode_t mode, bool keepMode,
                            const std::optional<ChosenOutputFolder>& chosen, QString* error) {
    m_file.discard();
    m_path = path;
    const OutputPlace place = placeOf(path);
    m_name = place.name;
    if (m_name.empty())
        return setError(error, systemErrorText(EISDIR));
    m_folder.reset(openOutputFolder(place.folder, path, error));
    if (m_folder.fd < 0)
        return false;
    saferemove::FolderIdentity now;
    if (chosen && chosen->path == place.folder &&
        (!saferemove::identityOf(m_folder.fd, &now) || now != chosen->identity))
        return setError(error, placeChangedText(path));
    struct stat old {};
    const bool replacing = ::fstatat(m_folder.fd, m_name.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0;
    const QString refusal = replacing ? refusalToReplace(old, path) : QString();
    if (!refusal.isEmpty())
        return setError(error, refusal);
    int code = m_file.create(m_folder.fd, m_name, mode);
    if (code == 0 && keepMode && replacing && ::fchmod(m_file.fd(), old.st_mode & 0777) != 0)
        code = errno;
    const long uid = envId("ZRT_USER_UID");
    const long gid = envId("ZRT_USER_GID");
    if (code == 0 && (uid >= 0 || gid >= 0) && ::fchown(m_file.fd(), uid_t(uid), gid_t(gid)) != 0)
        code = errno;
    if (code != 0) {
        m_file.discard();
        return setError(error, systemErrorText(code));
    }
    return true;
}

QString UserOutputFile::descriptorPath() const {
    return QStringLiteral("/proc/self/fd/%1").arg(m_file.fd());
}

bool UserOutputFile::commit(QString* error) {
    const int code = m_file.commit();
    if (code == 0)
        return true;
    return setError(error, code == ELOOP && isElevated() ? belowLinkText(m_path) : systemErrorText(code));
}

bool replaceUserFile(const QString& path, mode_t mode, const std::function<bool(QIODevice&, QString*)>& write,
                     QString* error, const std::optional<ChosenOutputFolder>& chosen) {
    UserOutputFile out;
    if (!out.create(path, mode, true, chosen, error))
        return false;
    QString reason;
    DescriptorDevice file(out.fd());
    bool written = write(file, &reason);
    if (!written && reason.isEmpty())
        reason = file.errorString();
    if (!written)
        return setError(error, reason);
    return out.commit(error);
}
