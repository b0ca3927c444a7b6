#include "ui/mainwindow/ScanJob.h"

#include <QCoreApplication>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <exception>
#include <new>

#include "app/DirectionalText.h"
#include "app/PathText.h"
#include "app/ValueFormat.h"
#include "core/exchange/CsvImport.h"
#include "core/rawindex/MftDump.h"
#include "core/tree/ScanTree.h"

namespace {

QString tr(const char* text) {
    return QCoreApplication::translate("MainWindow", text);
}

bool isImport(JobKind kind) {
    return kind == JobKind::CsvImport || kind == JobKind::MftLoad;
}

JobResult importFile(const JobRequest& request, svl::ScanProgress& progress, const MemoryQuestion& question) {
    JobResult out;
    svl::CsvImportResult result = svl::importCsv(request.path, &progress, question);
    if (result.declined)
        progress.cancel = true;
    if (result.memoryNeeded != 0)
        out.error = tr("Not enough memory to import %1: it needs about %2, and this computer can offer about %3 "
                       "including swap.")
                        .arg(isolatePath(QString::fromStdString(request.path)),
                             isolateText(formatSize(result.memoryNeeded)),
                             isolateText(formatSize(result.memoryAvailable)));
    else if (!result.error.empty())
        out.error = translateCoreMessage(result.error);
    out.driveKnown = result.hasDriveInfo;
    out.driveCapacity = result.driveCapacity;
    out.driveFree = result.driveFree;
    out.tree = std::move(result.tree);
    return out;
}

JobResult work(const JobRequest& request, svl::ScanProgress& progress, const MemoryQuestion& question) {
    JobResult out;
    if (!request.roots.empty()) {
        out.tree = svl::scanMultiple(request.roots, request.options, &progress);
        // A root that cannot be reached costs only itself: the others are shown, it is named.
        // With none reached, the scan fails as a single start folder that is not there does.
        for (const auto& [id, reach] : out.tree->unreachedRoots)
            out.unreachedRoots.push_back({pathText(out.tree->node(id).nameView()), reach});
        if (!out.unreachedRoots.empty() && out.unreachedRoots.size() == out.tree->node(0).childCount)
            out.tree.reset();
        else
            out.failedFolders = failedFoldersOf(*out.tree);
    } else if (request.kind == JobKind::MftLoad) {
        svl::MftFileInfo info;
        std::string error;
        out.tree = svl::loadMftFile(request.path, request.options, &progress, &info, &error);
        out.error = QString::fromStdString(error);
        out.driveKnown = info.hasVolumeData && info.totalBytes != 0;
        out.driveCapacity = info.totalBytes;
        out.driveFree = info.freeBytes;
    } else if (request.kind == JobKind::CsvImport) {
        out = importFile(request, progress, question);
    } else {
        out.tree = svl::scanSingle(request.path, request.options, &progress);
        for (const auto& [id, reach] : out.tree->unreachedRoots)
            out.unreachedRoots.push_back({pathText(request.path), reach});
        out.failedFolders = failedFoldersOf(*out.tree);
    }
    return out;
}

}  // namespace

void yieldToGuiThread() {
    // Linux keeps a nice value per thread, and new threads take their creator's.
    constexpr int kJobNiceness = 10;
    const int current = getpriority(PRIO_PROCESS, 0);
    (void)setpriority(PRIO_PROCESS, pid_t(gettid()), std::min(current + kJobNiceness, 19));
}

std::vector<FailedFolder> failedFoldersOf(const svl::ScanTree& tree) {
    std::vector<svl::ScanTree::FailedFolder> records = tree.failedFolders;
    std::sort(records.begin(), records.end(), [](const auto& a, const auto& b) { return a.id < b.id; });
    std::vector<FailedFolder> result;
    for (const auto& record : records)
        if (record.id < tree.nodeCount)
            result.push_back({pathText(tree.fullPath(record.id)), record.error});
    return result;
}

std::vector<uint32_t> deniedFolderIds(const svl::ScanTree& tree) {
    std::vector<uint32_t> ids;
    for (uint32_t id = 0; id < tree.nodeCount; ++id) {
        const uint16_t flags = tree.node(id).flags;
        if ((flags & svl::NodeFlag::AccessDenied) && !(flags & svl::NodeFlag::Removed))
            ids.push_back(id);
    }
    return ids;
}

JobResult runJob(const JobRequest& request, svl::ScanProgress& progress, const MemoryQuestion& memoryQuestion) {
    try {
        JobResult result = work(request, progress, memoryQuestion);
        // A walk of every node: done here rather than on the GUI thread.
        if (result.tree)
            result.deniedIds = deniedFolderIds(*result.tree);
        return result;
    } catch (const std::bad_alloc&) {
        JobResult failed;
        failed.error = tr("There is not enough memory to hold the result.");
        return failed;
    } catch (const std::exception& e) {
        JobResult failed;
        failed.error = QString::fromLocal8Bit(e.what());
        return failed;
    }
}

QString jobProgressText(JobKind kind, const svl::ScanProgress& progress) {
    const QString counts = tr("(Folders: %1  Files: %2)")
                               .arg(formatNumber(progress.folders.load()), formatNumber(progress.files.load()));
    const int phase = std::atomic_ref<int32_t>(const_cast<int32_t&>(progress.phase)).load(std::memory_order_relaxed);
    if (isImport(kind) && phase == 1) {
        const int percent = std::atomic_ref<int32_t>(const_cast<int32_t&>(progress.percent)).load(std::memory_order_relaxed);
        return tr("Building tree... %1% %2").arg(formatNumber(uint64_t(percent)), counts);
    }
    if (isImport(kind) && phase == 2)
        return tr("Totaling sizes... %1").arg(counts);
    if (kind == JobKind::MftLoad)
        return tr("Reading MFT... %1").arg(counts);
    if (kind == JobKind::CsvImport)
        return tr("Importing... %1").arg(counts);
    return tr("Scanning... %1").arg(counts);
}

int progressPercent(double fraction) {
    if (!(fraction > 0))
        return 0;
    return fraction > 1 ? 100 : int(std::trunc(fraction * 100));
}

QString reachText(svl::RootReach reach) {
    switch (reach) {
    case svl::RootReach::Missing:
        return tr("does not exist");
    case svl::RootReach::Denied:
        return tr("permission denied");
    case svl::RootReach::NoAnswer:
        return tr("does not answer");
    case svl::RootReach::Reached:
        break;
    }
    return QString();
}

QString failureText(int error) {
    switch (error) {
    case ETIMEDOUT:
        return reachText(svl::RootReach::NoAnswer);
    case ENOENT:
        return reachText(svl::RootReach::Missing);
    case EACCES:
    case EPERM:
        return reachText(svl::RootReach::Denied);
    default:
        return QString::fromLocal8Bit(std::strerror(error));
    }
}

namespace {

// Each root that could not be reached, with its reason, then the first failed folders.
QStringList unreadReasons(const std::vector<UnreachedRoot>& unreached, const std::vector<FailedFolder>& failed) {
    constexpr size_t kNamedFolders = 3;
    QStringList reasons;
    for (const UnreachedRoot& root : unreached)
        reasons.append(isolatePath(root.path) + QStringLiteral(": ") + reachText(root.reach));
    for (size_t i = 0; i < failed.size() && i < kNamedFolders; ++i)
        reasons.append(isolatePath(failed[i].path) + QStringLiteral(": ") + failureText(failed[i].error));
    if (failed.size() > kNamedFolders)
        reasons.append(QStringLiteral("\u2026"));
    return reasons;
}

}  // namespace

QString unreadSuffix(const std::vector<UnreachedRoot>& unreached, const std::vector<FailedFolder>& failed) {
    const QStringList reasons = unreadReasons(unreached, failed);
    return reasons.isEmpty() ? QString()
                             : QStringLiteral(" - ") + tr("Could not read %1").arg(reasons.join(QStringLiteral("; ")));
}

JobOutcome jobOutcome(const svl::ScanTree* tree, bool cancelled, JobKind kind, const QString& label,
                      const QString& error, const std::vector<UnreachedRoot>& unreached,
                      const std::vector<FailedFolder>& failed) {
    const uint32_t n = tree ? tree->nodeCount : 0;
    const QString seconds = formatDecimal(tree ? tree->seconds : 0.0, 2);
    QStringList reasons;
    for (const UnreachedRoot& root : unreached)
        reasons.append(isolatePath(root.path) + QStringLiteral(": ") + reachText(root.reach));
    const QString unreachedText = tr("Could not read %1").arg(reasons.join(QStringLiteral("; ")));
    // A job that failed outright (no tree at all, with a reason) is a failure even when the
    // user had asked to cancel meanwhile.
    if ((n == 0 && !cancelled) || (!tree && !error.isEmpty())) {
        if (error.isEmpty())
            return {JobOutcome::Failed, reasons.isEmpty() ? tr("Could not read %1").arg(isolatePath(label)) : unreachedText};
        const QString text = isImport(kind) ? tr("Could not import %1").arg(isolatePath(label))
                                             : tr("Could not read %1").arg(isolatePath(label));
        return {JobOutcome::Failed, text + QStringLiteral(": ") + error};
    }
    // Roots that could not be reached, then folders that could not be read, are named after
    // the outcome of the others.
    const QString missing = unreadSuffix(unreached, failed);
    if (cancelled)
        return {n <= 1 ? JobOutcome::Cancelled : JobOutcome::Results,
                tr("Scan canceled after %1 seconds").arg(seconds) + missing};
    return {JobOutcome::Results, (isImport(kind) ? tr("Import complete in %1 seconds").arg(seconds)
                                                 : tr("Scan complete in %1 seconds").arg(seconds)) +
                                     missing};
}
