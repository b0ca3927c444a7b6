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
        const bool answered = usage.state == VolumeUsage::State::Answered && usage.total > 0;
        const bool silentNetwork = usage.state == VolumeUsage::State::NoAnswer && isNetworkFsType(entry->fsType);
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

QList<VolumeRecord> listVolumes(const std::vector<svl::MountEntry>& table) {
    const VolumeSystem& system = volumeSystem();
    const auto start = std::chrono::steady_clock::now();
    // Every candidate is asked at once, so a dead mount costs one limit, not one per mount.
    std::vector<std::pair<const svl::MountEntry*, std::unique_ptr<TimedCall<VolumeUsage>>>> calls;
    for (const svl::MountEntry* entry : candidateMounts(table)) {
        auto call = std::make_unique<TimedCall<VolumeUsage>>(
            "usage:" + entry->mountPoint, [query = system.queryUsage, path = entry->mountPoint] { return query(path); });
        calls.emplace_back(entry, std::move(call));
    }
    std::map<const svl::MountEntry*, VolumeUsage> answers;
    for (auto& [entry, call] : calls) {
        const auto limit = isNetworkFsType(entry->fsType) ? kNetworkAnswerLimit : kLocalAnswerLimit;
        const std::optional<VolumeUsage> usage = call->wait(start + limit);
        VolumeUsage answer;
        if (usage)
            answer = *usage;
        else
            answer.state = VolumeUsage::State::NoAnswer;
        answers[entry] = answer;
    }
    return selectVolumes(
        table, [&](const svl::MountEntry& entry) { return answers[&entry]; },
        [&](const svl::MountEntry& entry) { return system.deviceLabel(entry.source); });
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
