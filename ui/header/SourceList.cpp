#include "ui/header/SourceList.h"

#include "app/DirectionalText.h"
#include "app/ValueFormat.h"

#include <QCoreApplication>

#include <map>
#include <memory>
#include <set>
#include <unordered_set>

namespace {

bool underExcludedFolder(const std::string& root) {
    static const char* const excluded[] = {"/proc", "/sys", "/dev", "/snap", "/run/user", "/run/lock", "/boot/efi"};
    for (const char* prefix : excluded) {
        const std::string p(prefix);
        if (root == p || root.rfind(p + "/", 0) == 0)
            return true;
    }
    return false;
}

// Types offered although their device is no /dev/ path.
bool offeredWithoutDevice(const std::string& type) {
    static const std::set<std::string> types = {"nfs4", "nfs",      "smb3",    "cifs", "9p",  "smbfs",
                                                "fuse.sshfs", "virtiofs", "ntfs", "fuseblk", "zfs", "ntfs3"};
    return types.count(type) != 0;
}

QString qs(const std::string& s) {
    return QString::fromUtf8(s.data(), qsizetype(s.size()));
}

QString local8(const std::string& s) {
    return QString::fromLocal8Bit(s.data(), qsizetype(s.size()));
}

}  // namespace

std::vector<const svl::MountEntry*> candidateMounts(const std::vector<svl::MountEntry>& table) {
    std::vector<const svl::MountEntry*> result;
    for (const svl::MountEntry& entry : table) {
        if (underExcludedFolder(entry.mountPoint) || entry.fsType == "squashfs" || entry.fsType == "overlay")
            continue;
        if (entry.source.rfind("/dev/", 0) != 0 && !offeredWithoutDevice(entry.fsType))
            continue;
        result.push_back(&entry);
    }
    // A later mount on the same point hides the earlier one; only the visible one is asked.
    std::vector<const svl::MountEntry*> visible;
    for (size_t i = 0; i < result.size(); ++i) {
        bool hidden = false;
        for (size_t j = i + 1; j < result.size() && !hidden; ++j)
            hidden = result[j]->mountPoint == result[i]->mountPoint;
        if (!hidden)
            visible.push_back(result[i]);
    }
    return visible;
}

QList<VolumeRecord> selectVolumes(const std::vector<svl::MountEntry>& table,
                                  const std::function<VolumeUsage(const svl::MountEntry&)>& usageOf,
                                  const std::function<QString(const svl::MountEntry&)>& labelOf) {
    const std::unordered_set<std::string> grouped = svl::groupedMountPoints(table);
    std::vector<const svl::MountEntry*> kept;
    std::vector<VolumeUsage> usages;
    for (const svl::MountEntry* entry : candidateMounts(table)) {
        if (grouped.count(entry->mountPoint))
            continue;
        const VolumeUsage usage = usageOf(*entry);
        const bool answered = (usage.state == VolumeUsage::State::Answered && usage.total > 0)
                              || usage.state == VolumeUsage::State::Pending;
        const bool silentNetwork = usage.state == VolumeUsage::State::NoAnswer && svl::isNetworkFsType(entry->fsType);
        if (!answered && !silentNetwork)
            continue;
        kept.push_back(entry);
        usages.push_back(usage);
    }
    std::unordered_set<std::string> shown;
    for (const svl::MountEntry* entry : kept)
        shown.insert(entry->mountPoint);
    const std::unordered_set<std::string> repeated = svl::mountPointsOfType(table, shown);

    QList<VolumeRecord> result;
    for (size_t i = 0; i < kept.size(); ++i) {
        if (repeated.count(kept[i]->mountPoint))
            continue;
        VolumeRecord record;
        record.rootPath = qs(kept[i]->mountPoint);
        record.device = local8(kept[i]->source);
        record.name = labelOf(*kept[i]);
        record.fsType = qs(kept[i]->fsType);
        record.usage = usages[i];
        result.append(record);
    }
    return result;
}

SourceProbe::SourceProbe(QObject* context, std::function<void()> changed, bool withVolumes) {
    const VolumeSystem system = volumeSystem();
    m_table = system.readMounts();
    // Called once per answer; only the last one tells, once (several may be posted together).
    auto last = [this, changed = std::move(changed)] {
        if (m_told || !settled())
            return;
        m_told = true;
        if (changed)
            changed();
    };
    m_shares = askOffGui<std::vector<svl::SmbMountInfo>>(
        context, [system, table = m_table] { return watchedShares(system, table); }, last);
    if (!withVolumes)
        return;
    for (const svl::MountEntry* entry : candidateMounts(m_table))
        m_usage[entry->mountPoint] = askOffGui<VolumeUsage>(
            context, [system, mount = *entry] { return watchedMountUsage(system, mount); }, last);
}

bool SourceProbe::settled() const {
    for (const auto& [point, question] : m_usage)
        if (!question->answered())
            return false;
    return m_shares->answered();
}

bool SourceProbe::waitBriefly(std::chrono::milliseconds grace) {
    const auto until = std::chrono::steady_clock::now() + grace;
    for (auto& [point, question] : m_usage)
        question->waitUntil(until);
    m_shares->waitUntil(until);
    return settled();
}

QList<VolumeRecord> SourceProbe::volumes(const std::map<std::string, VolumeUsage>& earlier) const {
    const VolumeSystem& system = volumeSystem();
    return selectVolumes(
        m_table,
        [&](const svl::MountEntry& entry) {
            VolumeUsage usage;
            const auto asked = m_usage.find(entry.mountPoint);
            if (asked == m_usage.end())
                return usage;
            if (asked->second->answered()) {
                usage.state = VolumeUsage::State::NoAnswer;
                return asked->second->answer().value_or(usage);
            }
            // Still asked: what the last look found, else offered until it answers.
            const auto known = earlier.find(entry.mountPoint);
            usage.state = VolumeUsage::State::Pending;
            return known != earlier.end() ? known->second : usage;
        },
        [&](const svl::MountEntry& entry) { return system.deviceLabel(entry.source); });
}

std::map<std::string, VolumeUsage> SourceProbe::answers() const {
    std::map<std::string, VolumeUsage> result;
    VolumeUsage silent;
    silent.state = VolumeUsage::State::NoAnswer;
    for (const auto& [point, question] : m_usage)
        if (question->answered())
            result[point] = question->answer().value_or(silent);
    return result;
}

std::vector<svl::SmbMountInfo> SourceProbe::shares() const {
    return m_shares->answer().value_or(std::vector<svl::SmbMountInfo>());
}

QString volumeLabel(const VolumeRecord& volume) {
    if (volume.name.isEmpty() || volume.name == volume.device)
        return isolatePath(volume.device);
    if (volume.device.isEmpty())
        return isolateText(volume.name);
    return QStringLiteral("%1 \u00B7 %2").arg(isolateText(volume.name), isolatePath(volume.device));
}

QString volumeItemText(const VolumeRecord& volume) {
    return QStringLiteral("%1 (%2)").arg(isolatePath(volume.rootPath), volumeLabel(volume));
}

QString smbItemText(const svl::SmbMountInfo& share) {
    return QStringLiteral("smb://%1/%2").arg(qs(share.server), qs(share.share));
}

QString percentText(uint64_t part, uint64_t whole) {
    const double percent = whole == 0 ? 0.0 : double(part) * 100.0 / double(whole);
    return QStringLiteral("(%1)").arg(formatPercent(percent));
}
