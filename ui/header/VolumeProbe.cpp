#include "ui/header/VolumeProbe.h"

#include "app/PathText.h"
#include "core/smb/SmbMount.h"

#include <QDir>
#include <QFileInfo>

#include <sys/stat.h>
#include <sys/statvfs.h>

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

VolumeUsage queryUsageOf(const std::vector<svl::MountEntry>& table, const std::string& path) {
    const svl::MountEntry* mount = svl::mountContaining(table, path);
    const auto limit = mount && isNetworkFsType(mount->fsType) ? kNetworkAnswerLimit : kLocalAnswerLimit;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    TimedCall<VolumeUsage> call("usage:" + (mount ? mount->mountPoint : path),
                                [query = volumeSystem().queryUsage, path] { return query(path); });
    const std::optional<VolumeUsage> usage = call.wait(deadline);
    if (!usage) {
        VolumeUsage silent;
        silent.state = VolumeUsage::State::NoAnswer;
        return silent;
    }
    return *usage;
}

PathCallLimit pathCallLimit(const std::string& what, const std::string& path) {
    return svl::pathCallLimit(what, path, volumeSystem().readMounts());
}

std::optional<PathFacts> pathFactsWithinLimit(const QString& path) {
    const std::string bytes = pathBytes(path);
    const PathCallLimit limit = pathCallLimit("facts", bytes);
    TimedCall<PathFacts> call(limit.key, [bytes] {
        PathFacts facts;
        struct stat st {};
        if (::stat(bytes.c_str(), &st) == 0) {
            facts.isFile = S_ISREG(st.st_mode);
            facts.isFolder = S_ISDIR(st.st_mode);
            facts.device = uint64_t(st.st_dev);
        }
        if (char* real = ::realpath(bytes.c_str(), nullptr)) {
            facts.canonical = pathText(real);
            std::free(real);
        }
        return facts;
    });
    return call.wait(limit.deadline);
}

QString chooserStartFolder(const QString& folder) {
    return pathFactsWithinLimit(folder) ? folder : QDir::homePath();
}

std::vector<svl::SmbMountInfo> listSharesWithinLimit() {
    const auto deadline = std::chrono::steady_clock::now() + kNetworkAnswerLimit;
    TimedCall<std::vector<svl::SmbMountInfo>> call("gvfs-shares", volumeSystem().listShares);
    return call.wait(deadline).value_or(std::vector<svl::SmbMountInfo>());
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
