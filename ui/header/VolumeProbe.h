// Sizes and listings of mounted volumes that never let a dead mount stall the caller.
// Every query that may touch a file system runs on a detached thread of its own and the
// caller waits at most a time limit: short for network and FUSE file systems, whose
// servers may never answer. While an earlier query on the same path is still stuck, no
// second one is started; the caller gets "no answer" at once. The system calls sit
// behind replaceable hooks (`volumeSystem`) so tests can stand in a mount that blocks.
// Callers: any thread (the header calls from the GUI thread); hooks run on the query threads.
#pragma once

#include "core/scan/MountTable.h"
#include "core/scan/RemoteSource.h"
#include "core/scan/TimedCall.h"

#include <QString>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// What one size query of a volume found.
struct VolumeUsage {
    enum class State { Failed, Answered, NoAnswer };
    State state = State::Failed;
    uint64_t total = 0;      // bytes
    uint64_t available = 0;  // bytes the user may still write
};

// The outside world of the source list and the space labels. The size query and the
// share listing may block; the header calls both only through a time limit.
struct VolumeSystem {
    std::function<std::vector<svl::MountEntry>()> readMounts;
    std::function<VolumeUsage(const std::string& path)> queryUsage;
    std::function<std::vector<svl::SmbMountInfo>()> listShares;
    // The file-system label of a device path ("/dev/sda1"); empty when it has none.
    std::function<QString(const std::string& device)> deviceLabel;
};

// The hooks in use; the real system until a test replaces them. GUI thread.
VolumeSystem& volumeSystem();
// Puts the real system back.
void resetVolumeSystem();

using svl::isNetworkFsType;
using svl::kLocalAnswerLimit;
using svl::kNetworkAnswerLimit;
using svl::PathCallLimit;
using svl::TimedCall;

// Usage of the volume that holds `path`, waiting at most the limit of the type of the
// mount that covers it in `table` (by text). Queries of all paths on one mount share one
// key, so a dead mount holds one thread however many of its folders are asked about.
VolumeUsage queryUsageOf(const std::vector<svl::MountEntry>& table, const std::string& path);
// The gvfs shares, or an empty list when the listing does not answer in the network limit.
std::vector<svl::SmbMountInfo> listSharesWithinLimit();

// The key and the deadline of a question `what` about `path` asked through TimedCall: the
// limit is that of the type of the mount that covers the path (by text), and questions of
// one kind about paths on one mount share a key, so a dead mount holds one thread.
PathCallLimit pathCallLimit(const std::string& what, const std::string& path);

// What the window asks of a path it was given: whether it is a regular file or a folder, its
// canonical path (empty when it does not exist) and the device that holds it (when `stat` succeeds).
struct PathFacts {
    bool isFile = false;
    bool isFolder = false;
    QString canonical;
    std::optional<uint64_t> device;
};
// The facts of `path`, asked on a thread of its own and waited for at most the limit of the
// type of the mount that covers it (by text); nothing when they do not come in time.
std::optional<PathFacts> pathFactsWithinLimit(const QString& path);
// The folder a file chooser opens in: `folder` when asking about it is answered within the
// limit (even that it is gone), else the home folder; a chooser listing a dead mount freezes.
QString chooserStartFolder(const QString& folder);

// statvfs of a path: total and available bytes; Failed when the call fails.
VolumeUsage statVolume(const std::string& path);
// The name of the link in `labelFolder` that leads to `device`, with udev's \xNN escapes
// undone; empty when none does or the device is no /dev/ path.
QString labelOfDevice(const std::string& device, const QString& labelFolder = QStringLiteral("/dev/disk/by-label"));
