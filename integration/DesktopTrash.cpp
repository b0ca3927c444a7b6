#include "integration/DesktopTrash.h"
#include "integration/OwnedFd.h"

#include "app/PathText.h"
#include "core/exchange/WriteAll.h"
#include "core/scan/MountTable.h"


#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <string_view>

namespace {

constexpr std::string_view kInfoSuffix = ".trashinfo";
constexpr size_t kNameMax = 255;


struct TrashFolder {
    OwnedFd files, info;
    std::string filesPath;
};

// A folder of this account inside `at`, made with mode 0700 when missing; never a link.
int openOwnFolder(int at, const char* name, OwnedFd* out)
{
    if (::mkdirat(at, name, 0700) != 0 && errno != EEXIST)
        return errno;
    out->reset(::openat(at, name, kFolderOpenFlags));
    if (out->fd < 0)
        return errno;
    struct stat st {};
    if (::fstat(out->fd, &st) != 0)
        return errno;
    return st.st_uid == ::getuid() ? 0 : EPERM;
}

int openParts(int trashFd, const std::string& trashPath, TrashFolder* out)
{
    if (int e = openOwnFolder(trashFd, "files", &out->files); e != 0)
        return e;
    out->filesPath = trashPath + "/files";
    return openOwnFolder(trashFd, "info", &out->info);
}

std::string homeTrashPath()
{
    const char* data = std::getenv("XDG_DATA_HOME");
    if (data && data[0] == '/')
        return std::string(data) + "/Trash";
    const char* home = std::getenv("HOME");
    return home && home[0] == '/' ? std::string(home) + "/.local/share/Trash" : std::string();
}

// The device of the path, or of its nearest existing folder above when it is missing.
bool deviceOfNearest(std::string path, dev_t* out)
{
    struct stat st {};
    while (::stat(path.c_str(), &st) != 0) {
        const size_t slash = path.rfind('/');
        if (errno != ENOENT || slash == std::string::npos || path == "/")
            return false;
        path = slash == 0 ? "/" : path.substr(0, slash);
    }
    *out = st.st_dev;
    return true;
}

int openHomeTrash(const std::string& trash, TrashFolder* out)
{
    // The folders above it too: a new account may have no ~/.local/share yet.
    for (size_t slash = trash.find('/', 1);; slash = trash.find('/', slash + 1)) {
        const std::string prefix = trash.substr(0, slash);
        if (::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST)
            return errno;
        if (slash == std::string::npos)
            break;
    }
    OwnedFd dir(::open(trash.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.fd < 0)
        return errno;
    return openParts(dir.fd, trash, out);
}

int openVolumeTrash(int topFd, const std::string& topPath, TrashFolder* out)
{
    const std::string uid = std::to_string(::getuid());
    struct stat st {};
    if (::fstatat(topFd, ".Trash", &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX)) {
        OwnedFd shared(::openat(topFd, ".Trash", kFolderOpenFlags));
        OwnedFd own;
        if (shared.fd >= 0 && openOwnFolder(shared.fd, uid.c_str(), &own) == 0 &&
            openParts(own.fd, (topPath == "/" ? "" : topPath) + "/.Trash/" + uid, out) == 0)
            return 0;
    }
    OwnedFd own;
    const std::string name = ".Trash-" + uid;
    if (int e = openOwnFolder(topFd, name.c_str(), &own); e != 0)
        return e;
    return openParts(own.fd, (topPath == "/" ? "" : topPath) + "/" + name, out);
}

// The folder's path as the kernel knows it, links resolved.
bool realPathOf(int fd, std::string* out)
{
    char buffer[4096];
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t n = ::readlink(link.c_str(), buffer, sizeof buffer);
    if (n <= 0 || size_t(n) >= sizeof buffer || buffer[0] != '/')
        return false;
    out->assign(buffer, size_t(n));
    return true;
}

std::string localDeletionDate()
{
    const std::time_t now = std::time(nullptr);
    std::tm local {};
    ::localtime_r(&now, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
    return text;
}

// The name inside the trash: the item's own first, then with ".2", ".3" ... before the
// extension; shortened so that its info file's name still fits.
std::string trashName(const std::string& name, int attempt)
{
    const size_t limit = kNameMax - kInfoSuffix.size();
    const std::string counter = attempt == 1 ? std::string() : "." + std::to_string(attempt);
    const size_t dot = name.rfind('.');
    std::string stem = dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
    std::string extension = dot == std::string::npos || dot == 0 ? std::string() : name.substr(dot);
    if (stem.size() + counter.size() + extension.size() > limit) {
        stem = name;
        extension.clear();
    }
    if (stem.size() + counter.size() > limit)
        stem.resize(limit - counter.size());
    return stem + counter + extension;
}

int moveInto(const TrashFolder& trash, int parentFd, const std::string& name, const std::string& infoPath,
             std::string* trashedAs)
{
    const std::string info = "[Trash Info]\nPath=" + trashPathEncoded(infoPath) +
                             "\nDeletionDate=" + localDeletionDate() + "\n";
    for (int attempt = 1; attempt < 10000; ++attempt) {
        const std::string candidate = trashName(name, attempt);
        const std::string infoName = candidate + std::string(kInfoSuffix);
        const int fd = ::openat(trash.info.fd, infoName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                                0600);
        if (fd < 0) {
            if (errno == EEXIST)
                continue;
            return errno;
        }
        int e = svl::writeAll(fd, info.data(), info.size()) ? 0 : errno;
        if (::close(fd) != 0 && e == 0)
            e = errno;
        if (e == 0)
            e = saferemove::renameEntry(parentFd, name, trash.files.fd, candidate);
        if (e == 0) {
            if (trashedAs)
                *trashedAs = trash.filesPath + "/" + candidate;
            return 0;
        }
        ::unlinkat(trash.info.fd, infoName.c_str(), 0);
        if (e != EEXIST)  // an orphan in files/ holds the name: try the next
            return e;
    }
    return EEXIST;
}

}  // namespace

std::string trashPathEncoded(const std::string& bytes)
{
    std::string out;
    appendPercentEncoded(out, bytes);
    return out;
}

int trashEntry(int parentFd, const std::string& name, const std::string& path, std::string* trashedAs)
{
    struct stat parent {};
    if (::fstat(parentFd, &parent) != 0)
        return errno;
    const std::string home = homeTrashPath();
    dev_t homeDevice = 0;
    if (!home.empty() && deviceOfNearest(home, &homeDevice) && homeDevice == parent.st_dev) {
        TrashFolder trash;
        int e = openHomeTrash(home, &trash);
        if (e == 0)
            e = moveInto(trash, parentFd, name, path, trashedAs);
        if (e != EXDEV)  // same file system, another mount: the volume's own trash
            return e;
    }
    // The volume's top is the mount point holding the parent; the item's path below it is
    // taken from the parent itself, so a link on the way cannot misname it.
    std::string real;
    if (!realPathOf(parentFd, &real))
        return ENOENT;
    const std::vector<svl::MountEntry> mounts = svl::readMountInfo();
    const svl::MountEntry* mount = svl::mountContaining(mounts, real);
    if (!mount)
        return EXDEV;
    OwnedFd top(saferemove::openFolderNoFollow(mount->mountPoint));
    if (top.fd < 0)
        return -top.fd;
    struct stat topStat {};
    if (::fstat(top.fd, &topStat) != 0 || topStat.st_dev != parent.st_dev)
        return EXDEV;
    std::string relative = real.substr(mount->mountPoint.size());
    while (!relative.empty() && relative[0] == '/')
        relative.erase(0, 1);
    relative += relative.empty() ? name : "/" + name;
    TrashFolder trash;
    if (int e = openVolumeTrash(top.fd, mount->mountPoint, &trash); e != 0)
        return e;
    return moveInto(trash, parentFd, name, relative, trashedAs);
}

TrashOutcome moveItemToTrash(const RemovalTarget& target)
{
    std::string name;
    const int dir = openItemParent(target, &name);
    if (dir < 0) {
        if (-dir == kItemReplaced)
            return TrashOutcome::ItemReplaced;
        return isPlaceChange(-dir) ? TrashOutcome::PlaceChanged : TrashOutcome::NotTrashable;
    }
    const int code = trashEntry(dir, name, pathBytes(target.path), nullptr);
    ::close(dir);
    return code == 0 ? TrashOutcome::Trashed : TrashOutcome::NotTrashable;
}
