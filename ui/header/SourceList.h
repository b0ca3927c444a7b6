// The volumes the source combo offers: which mounts of the mount table are worth
// scanning, their labels and item texts. The rules are pure functions over mount
// records and size answers, so any mount list can be fed in; `listVolumes` feeds them
// the live system with every size query under a time limit (VolumeProbe). GUI thread
// for `listVolumes` (it waits at most the longest limit); the rest is pure.
#pragma once

#include "ui/header/VolumeProbe.h"

#include <QList>
#include <QPair>
#include <QString>

#include <functional>
#include <vector>

// One offered volume.
struct VolumeRecord {
    QString rootPath;  // the mount point
    QString device;    // the mount source, e.g. "/dev/sda1" or "server:/export"
    QString name;      // the file-system label; empty when it has none
    QString fsType;
    VolumeUsage usage;  // NoAnswer: a network mount that did not answer in time, shown without sizes
};

// The mounts of the table that may be offered at all, before asking them for sizes:
// no pseudo folders (/proc, /sys, /dev, /snap, /run/user, /run/lock, /boot/efi and
// below), no squashfs or overlay, and a device outside /dev/ only for network, FUSE
// block and ZFS types. Of several lines with one mount point the last (visible) one.
std::vector<const svl::MountEntry*> candidateMounts(const std::vector<svl::MountEntry>& table);

// The volumes to offer, in table order: the candidates that answered with a size above
// 0, network ones that did not answer at all, less all but one mount of each Btrfs or
// ZFS file system and less bind mounts of another offered volume. `usageOf` and
// `labelOf` are asked only about candidates.
QList<VolumeRecord> selectVolumes(const std::vector<svl::MountEntry>& table,
                                  const std::function<VolumeUsage(const svl::MountEntry&)>& usageOf,
                                  const std::function<QString(const svl::MountEntry&)>& labelOf);

// The live list: the mount table through the hooks, every candidate asked for its size
// at once, waiting for each at most its limit.
QList<VolumeRecord> listVolumes(const std::vector<svl::MountEntry>& table);

// "name · device", or whichever of the two is there (the device when both are equal).
QString volumeLabel(const VolumeRecord& volume);
// "%1 (%2)": root path and label.
QString volumeItemText(const VolumeRecord& volume);
// "smb://server/share".
QString smbItemText(const svl::SmbMountInfo& share);
// "(45.3%)": part of whole with one decimal; 0 when whole is 0.
QString percentText(uint64_t part, uint64_t whole);
