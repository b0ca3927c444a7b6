#include "integration/AdminDelete.h"

#include "app/DirectionalText.h"
#include "app/ElevationTools.h"
#include "app/PathText.h"
#include "core/scan/MountTable.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

QString tr(const char* text) { return QCoreApplication::translate("AdminDelete", text); }

void setError(QString* error, const QString& text)
{
    if (error)
        *error = text;
}

// Not "/" and not a top-level entry such as "/usr": at least two "/" in the clean path.
bool isInsideAnotherFolder(const QString& clean)
{
    return !clean.isEmpty() && clean.startsWith('/') && clean.count('/') >= 2;
}

// The parent folder handed to the root side: its identity and the mount it was on.
struct HandedParent {
    saferemove::FolderIdentity id;
    uint64_t mountId = 0;
};

std::string identityText(const RemovalTarget& target)
{
    return std::to_string(target.parent.device) + ':' + std::to_string(target.parent.inode) + ':' +
           std::to_string(target.parentMount);
}

bool parseIdentity(const char* text, HandedParent* out)
{
    unsigned long long device = 0, inode = 0, mount = 0;
    int used = 0;
    if (std::sscanf(text, "%llu:%llu:%llu%n", &device, &inode, &mount, &used) != 3 || text[used] != '\0')
        return false;
    *out = {{device, inode}, mount};
    return true;
}

const char* findSystemRm()
{
    for (const char* candidate : {"/usr/local/bin/rm", "/usr/bin/rm", "/bin/rm"}) {
        struct stat st {};
        if (::stat(candidate, &st) == 0 && S_ISREG(st.st_mode) && ::access(candidate, X_OK) == 0)
            return candidate;
    }
    return nullptr;
}

int refuse(const char* path, const char* why)
{
    std::fprintf(stderr, "Not deleting \"%s\": %s\n", path, why);
    return 1;
}

int removeOne(const char* rm, const HandedParent& expected, const std::string& path,
              const std::vector<svl::MountEntry>& mounts)
{
    std::string parent, name;
    if (!saferemove::isCleanAbsolutePath(path) || !saferemove::splitParent(path, &parent, &name) || parent == "/")
        return refuse(path.c_str(), "it is not a folder or file inside another");
    for (const svl::MountEntry& mount : mounts) {
        if (svl::isPathWithin(mount.mountPoint, path))
            return refuse(path.c_str(), "it is or holds a mount point");
    }
    const int dir = saferemove::openFolderNoFollow(parent);
    if (dir < 0)
        return refuse(path.c_str(), "a folder on its way is missing or is a symbolic link");
    saferemove::FolderIdentity seen;
    if (!saferemove::identityOf(dir, &seen) || seen != expected.id) {
        ::close(dir);
        return refuse(path.c_str(), "its folder was replaced after it was chosen");
    }
    // The same folder seen through another mount (a bind mount made meanwhile) is not where it was chosen.
    uint64_t device = 0, mountId = 0;
    if (!saferemove::mountOf(dir, &device, &mountId) || mountId != expected.mountId) {
        ::close(dir);
        return refuse(path.c_str(), "its folder is now a mount point");
    }
    const pid_t child = ::fork();
    if (child == 0) {
        // Inside the checked folder the name alone is resolved: no parent link can steer rm.
        if (::fchdir(dir) != 0)
            ::_exit(1);
        const char* args[] = {"rm", "-rf", "--one-file-system", "--", name.c_str(), nullptr};
        ::execv(rm, const_cast<char* const*>(args));
        ::_exit(1);
    }
    ::close(dir);
    if (child < 0)
        return refuse(path.c_str(), std::strerror(errno));
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
}

}  // namespace

bool captureRemovalTarget(const QString& path, RemovalTarget* out, QString* error)
{
    // The helper receives its paths as text: bytes that aren't UTF-8 would name another item.
    if (pathBytes(path) != path.toStdString()) {
        setError(error, tr("\"%1\": %2")
                            .arg(isolatePathShowingControls(path),
                                 tr("Its name isn't valid text, so it can't be handed on without changing it.")));
        return false;
    }
    switch (captureItemPlace(path, QString(), out)) {
    case 0:
        return true;
    case EINVAL:
        setError(error, tr("Refusing to delete \"%1\" as Administrator: the path isn't a plain absolute path.")
                            .arg(isolatePathShowingControls(path)));
        return false;
    default:
        setError(error, tr("Refusing to delete \"%1\" as Administrator: a folder on its way is missing or is a symbolic link.")
                            .arg(isolatePathShowingControls(path)));
        return false;
    }
}

QString manualDeleteCommand(const QList<QString>& paths)
{
    QList<QString> quoted;
    for (const QString& path : paths)
        quoted.append(shellQuoted(path));
    return "sudo rm -rf --one-file-system -- " + quoted.join(' ');
}

bool deleteAsAdministrator(const QList<RemovalTarget>& targets, QString* error)
{
    QList<QString> cleaned;
    for (const RemovalTarget& target : targets) {
        const QString clean = QDir::cleanPath(target.path);
        if (!isInsideAnotherFolder(clean)) {
            setError(error, tr("Refusing to delete \"%1\" as Administrator: it is not a folder or file inside another.")
                                .arg(isolatePathShowingControls(target.path)));
            return false;
        }
        // The cleaned form of a name holding ".." would name another item: never act on it.
        if (clean != target.path) {
            setError(error, tr("Refusing to delete \"%1\" as Administrator: the path isn't a plain absolute path.")
                                .arg(isolatePathShowingControls(target.path)));
            return false;
        }
        cleaned.append(clean);
    }
    if (cleaned.isEmpty()) {
        setError(error, tr("Nothing to delete."));
        return false;
    }
    const ElevationToolChoice choice = chooseElevationTool(elevationSearchFolders());
    // rm comes from the system folders only: a PATH entry could hold anything.
    const QString rm = findExecutableIn("rm", systemProgramFolders());
    if (choice.tool == ElevationTool::None || rm.isEmpty()) {
        setError(error, tr("Neither pkexec nor sudo was found. To delete it as Administrator, run this in a terminal:\n\n%1")
                            .arg(manualDeleteCommand(cleaned)));
        return false;
    }

    QList<QString> helper{programFilePath(), QString::fromLatin1(kAdminRemovalSwitch)};
    for (const RemovalTarget& target : targets)
        helper << QString::fromStdString(identityText(target)) << target.path;
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (choice.tool == ElevationTool::Sudo) {
        process.setArguments(QList<QString>{"-A", "--"} + helper);
        env.insert("SUDO_ASKPASS", programFilePath());
        env.insert("ZRT_ASKPASS", "1");
    } else {
        process.setArguments(helper);
    }
    process.setProgram(choice.path);
    process.setProcessEnvironment(env);

    QEventLoop loop;
    QObject::connect(&process, &QProcess::finished, &loop, &QEventLoop::quit);
    QObject::connect(&process, &QProcess::errorOccurred, &loop, &QEventLoop::quit);
    process.start(QIODevice::ReadWrite);
    if (process.state() != QProcess::NotRunning)
        loop.exec();
    if (process.error() == QProcess::FailedToStart) {
        setError(error, tr("Couldn't start %1.").arg(isolatePath(choice.path)));
        return false;
    }
    if (process.state() != QProcess::NotRunning)
        process.waitForFinished(-1);
    const int code = process.exitCode();
    if (process.exitStatus() == QProcess::NormalExit && code == 0)
        return true;
    const QString stderrText = QString::fromLocal8Bit(process.readAllStandardError()).trimmed();
    const bool crashed = process.exitStatus() != QProcess::NormalExit;
    if (!crashed && choice.tool == ElevationTool::Pkexec && (code == 126 || code == 127))
        setError(error, elevationFailureMessage(choice.tool, code));
    else if (!crashed && choice.tool == ElevationTool::Sudo && code == 1)
        setError(error, stderrText.isEmpty() ? elevationFailureMessage(choice.tool, code) : stderrText);
    else
        setError(error, stderrText.isEmpty() ? tr("Deleting as Administrator failed (exit status %1).").arg(code)
                                             : stderrText);
    return false;
}

int runAdminRemoval(int argc, char** argv)
{
    const char* rm = findSystemRm();
    if (!rm) {
        std::fprintf(stderr, "The rm program wasn't found in the system folders.\n");
        return 1;
    }
    if (argc == 0 || argc % 2 != 0) {
        std::fprintf(stderr, "Nothing to delete.\n");
        return 1;
    }
    const std::vector<svl::MountEntry> mounts = svl::readMountInfo();
    int result = 0;
    for (int i = 0; i + 1 < argc; i += 2) {
        HandedParent expected;
        if (!parseIdentity(argv[i], &expected)) {
            result |= refuse(argv[i + 1], "its folder's identity is missing");
            continue;
        }
        result |= removeOne(rm, expected, argv[i + 1], mounts);
    }
    return result;
}
