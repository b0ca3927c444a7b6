#include "ui/header/VolumeProbe.h"

#include "app/PathText.h"
#include "core/smb/SmbMount.h"

#include <QDir>
#include <QEventLoop>
#include <QThread>
#include <QTimer>
#include <QFileInfo>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <climits>

#include <cstdlib>

namespace {

VolumeSystem realSystem() {
    VolumeSystem system;
    system.readMounts = [] { return svl::readMountInfo(); };
    system.queryUsage = [](const std::string& path) { return statVolume(path); };
    system.listShares = [] { return svl::listGvfsSmbMounts(std::string()); };
    system.deviceLabel = [](const std::string& device) { return labelOfDevice(device); };
    return system;
}

VolumeUsage noAnswer() {
    VolumeUsage usage;
    usage.state = VolumeUsage::State::NoAnswer;
    return usage;
}

QString unescapeLabel(const QString& name) {
    QByteArray out;
    const QByteArray in = QFile::encodeName(name);
    for (qsizetype i = 0; i < in.size(); ++i) {
        if (in[i] == '\\' && i + 3 < in.size() && in[i + 1] == 'x') {
            bool ok = false;
            const int byte = in.mid(i + 2, 2).toInt(&ok, 16);
            if (ok) {
                out.append(char(byte));
                i += 3;
                continue;
            }
        }
        out.append(in[i]);
    }
    return QString::fromUtf8(out);
}

}  // namespace

VolumeSystem& volumeSystem() {
    static VolumeSystem system = realSystem();
    return system;
}

void resetVolumeSystem() {
    volumeSystem() = realSystem();
}

svl::MountKey mountKeyOf(const svl::MountEntry& entry) {
    return makedev(entry.major, entry.minor);
}

VolumeUsage watchedMountUsage(const VolumeSystem& system, const svl::MountEntry& entry) {
    const std::optional<VolumeUsage> usage =
        svl::watchedCall(mountKeyOf(entry), [&] { return system.queryUsage(entry.mountPoint); });
    return usage ? *usage : noAnswer();
}

VolumeUsage watchedPathUsage(const VolumeSystem& system, const std::vector<svl::MountEntry>& table,
                             const std::string& path) {
    // The mount the path is really on; by its text when it cannot be opened (the query then
    // fails, or a test's stand-in answers for a path that is not there).
    const svl::MountEntry* byText = svl::mountContaining(table, path);
    svl::MountKey mount = byText ? mountKeyOf(*byText) : svl::kUnknownMount;
    const int fd = svl::openWatched(path);
    if (fd < 0 && errno == svl::kNoAnswerErrno)
        return noAnswer();
    if (fd >= 0) {
        mount = svl::mountOfDescriptor(fd);
        ::close(fd);
    }
    const std::optional<VolumeUsage> usage = svl::watchedCall(mount, [&] { return system.queryUsage(path); });
    return usage ? *usage : noAnswer();
}

std::vector<svl::SmbMountInfo> watchedShares(const VolumeSystem& system, const std::vector<svl::MountEntry>& table) {
    svl::MountKey mount = svl::kUnknownMount;
    for (const svl::MountEntry& entry : table)
        if (entry.fsType == "fuse.gvfsd-fuse")
            mount = mountKeyOf(entry);
    return svl::watchedCall(mount, [&] { return system.listShares(); }).value_or(std::vector<svl::SmbMountInfo>());
}

std::optional<svl::MountKey> watchedMountOfPath(const std::string& path) {
    const int fd = svl::openWatched(path);
    if (fd < 0)
        return errno == svl::kNoAnswerErrno ? std::nullopt : std::optional<svl::MountKey>(svl::kUnknownMount);
    const svl::MountKey mount = svl::mountOfDescriptor(fd);
    ::close(fd);
    return mount;
}

void turnEventLoopUntil(const std::function<bool()>& done) {
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (done())
            loop.quit();
    });
    poll.start(10);
    // A quit asked meanwhile ends this loop too; the caller then takes no answer.
    QObject::connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, &loop, &QEventLoop::quit);
    if (!done())
        loop.exec();
}

VolumeUsage queryUsageOf(const std::vector<svl::MountEntry>& table, const std::string& path) {
    const VolumeSystem system = volumeSystem();
    return svl::runWatched([system, table, path] { return watchedPathUsage(system, table, path); })
        .value_or(noAnswer());
}

std::optional<PathFacts> watchedPathFacts(const std::string& path) {
    PathFacts facts;
    const int fd = svl::openWatched(path);
    if (fd < 0 && errno == svl::kNoAnswerErrno)
        return std::nullopt;
    if (fd < 0)
        return facts;
    struct statx st {};
    const auto stated = svl::watchedCall(svl::mountOfDescriptor(fd), [&] {
        return ::statx(fd, "", AT_EMPTY_PATH, STATX_TYPE, &st);
    });
    if (!stated) {
        ::close(fd);
        return std::nullopt;
    }
    if (*stated == 0) {
        facts.isFile = S_ISREG(st.stx_mode);
        facts.isFolder = S_ISDIR(st.stx_mode);
        facts.device = uint64_t(makedev(st.stx_dev_major, st.stx_dev_minor));
    }
    // The descriptor's own name is the canonical path, asking no file system.
    std::string link = "/proc/self/fd/" + std::to_string(fd);
    std::string target(PATH_MAX, '\0');
    const ssize_t length = ::readlink(link.c_str(), target.data(), target.size());
    ::close(fd);
    if (length > 0) {
        target.resize(size_t(length));
        facts.canonical = pathText(target);
    }
    return facts;
}

std::optional<PathFacts> pathFactsWithinLimit(const QString& path) {
    std::function<std::optional<PathFacts>()> work = [bytes = pathBytes(path)] { return watchedPathFacts(bytes); };
    // On the GUI thread the window answers while the mount is asked.
    const QCoreApplication* app = QCoreApplication::instance();
    if (app && QThread::currentThread() == app->thread())
        return awaitOffGui(std::move(work)).value_or(std::nullopt);
    return svl::runWatched(work).value_or(std::nullopt);
}

QString chooserStartFolder(const QString& folder) {
    return pathFactsWithinLimit(folder) ? folder : QDir::homePath();
}

VolumeUsage statVolume(const std::string& path) {
    VolumeUsage usage;
    struct statvfs info {};
    if (::statvfs(path.c_str(), &info) != 0)
        return usage;
    usage.state = VolumeUsage::State::Answered;
    const uint64_t unit = info.f_frsize ? info.f_frsize : info.f_bsize;
    usage.total = uint64_t(info.f_blocks) * unit;
    usage.available = uint64_t(info.f_bavail) * unit;
    return usage;
}

QString labelOfDevice(const std::string& device, const QString& labelFolder) {
    if (device.rfind("/dev/", 0) != 0)
        return QString();
    const QString target = QFileInfo(QFile::decodeName(device.c_str())).canonicalFilePath();
    if (target.isEmpty())
        return QString();
    const QDir labels(labelFolder);
    for (const QFileInfo& link : labels.entryInfoList(QDir::Files | QDir::System | QDir::NoDotAndDotDot)) {
        if (link.canonicalFilePath() == target)
            return unescapeLabel(link.fileName());
    }
    return QString();
}
