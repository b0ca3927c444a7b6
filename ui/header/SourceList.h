// The volumes the source combo offers: which mounts of the mount table are worth
// scanning, their labels and item texts. The rules are pure functions over mount
// records and size answers, so any mount list can be fed in; a SourceProbe feeds them
// the live system, every size query a watched task of its own (VolumeProbe). GUI thread
// for SourceProbe; the rest is pure.
#pragma once

#include "ui/header/VolumeProbe.h"

#include <QList>
#include <QPair>
#include <QString>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <vector>

// One offered volume.
struct VolumeRecord {
    QString rootPath;  // the mount point
    QString device;    // the mount source, e.g. "/dev/sda1" or "server:/export"
    QString name;      // the file-system label; empty when it has none
    QString fsType;
    VolumeUsage usage;  // NoAnswer: a network mount that does not answer, shown without sizes
};

// The mounts of the table that may be offered at all, before asking them for sizes:
// no pseudo folders (/proc, /sys, /dev, /snap, /run/user, /run/lock, /boot/efi and
// below), no squashfs or overlay, and a device outside /dev/ only for network, FUSE
// block and ZFS types. Of several lines with one mount point the last (visible) one.
std::vector<const svl::MountEntry*> candidateMounts(const std::vector<svl::MountEntry>& table);

// The volumes to offer, in table order: the candidates that answered with a size above
// 0 or are still being asked (Pending), network ones that do not answer, less all but one mount of each Btrfs or
// ZFS file system and less bind mounts of another offered volume. `usageOf` and
// `labelOf` are asked only about candidates.
QList<VolumeRecord> selectVolumes(const std::vector<svl::MountEntry>& table,
                                  const std::function<VolumeUsage(const svl::MountEntry&)>& usageOf,
                                  const std::function<QString(const svl::MountEntry&)>& labelOf);

// One look at the live mounts: the table through the hooks, then every candidate asked
// for its size and the gvfs shares listed, each on a watched task of its own, all at once.
// `changed` runs on the GUI thread once the last answer is in (unless `context` is gone or
// the probe was dropped). A mount the watch gives up answers NoAnswer.
class SourceProbe {
public:
    SourceProbe(QObject* context, std::function<void()> changed, bool withVolumes = true);
    SourceProbe(const SourceProbe&) = delete;
    SourceProbe& operator=(const SourceProbe&) = delete;
    const std::vector<svl::MountEntry>& table() const { return m_table; }
    bool settled() const;
    // Waits at most `grace` for the answers: the usual quick ones are then taken at once.
    bool waitBriefly(std::chrono::milliseconds grace);
    // The offered volumes by the answers so far: one still asked is Pending, or its answer
    // in `earlier` (by mount point) when it has one.
    QList<VolumeRecord> volumes(const std::map<std::string, VolumeUsage>& earlier = {}) const;
    // The answers in so far, by mount point.
    std::map<std::string, VolumeUsage> answers() const;
    // Empty until the listing answered.
    std::vector<svl::SmbMountInfo> shares() const;

private:
    std::vector<svl::MountEntry> m_table;
    std::map<std::string, std::shared_ptr<OffGuiQuestion<VolumeUsage>>> m_usage;  // by mount point
    std::shared_ptr<OffGuiQuestion<std::vector<svl::SmbMountInfo>>> m_shares;
    bool m_told = false;
};

// "name · device", or whichever of the two is there (the device when both are equal).
QString volumeLabel(const VolumeRecord& volume);
// "%1 (%2)": root path and label.
QString volumeItemText(const VolumeRecord& volume);
// "smb://server/share".
QString smbItemText(const svl::SmbMountInfo& share);
// "(45.3%)": part of whole with one decimal; 0 when whole is 0.
QString percentText(uint64_t part, uint64_t whole);
