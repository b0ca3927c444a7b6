#include "ui/mainwindow/RescanJob.h"

#include <QCoreApplication>

#include <chrono>
#include <new>

#include "app/DirectionalText.h"
#include "core/scan/RescanFolder.h"
#include "core/tree/GraftRescans.h"
#include "core/tree/ScanTree.h"

namespace {

QString tr(const char* text) { return QCoreApplication::translate("MainWindow", text); }

}  // namespace

RescanOutcome runRescan(const svl::ScanTree& full, const std::vector<RescanTarget>& targets,
                        const svl::ScanOptions& options, svl::ScanProgress& progress) {
    const auto started = std::chrono::steady_clock::now();
    const auto secondsSince = [&] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    };
    RescanOutcome outcome;
    // The full scan's roots, as it was given them: they decide which bind mounts count.
    std::vector<std::string> roots;
    if (full.nodeCount > 0 && (full.node(0).flags & svl::NodeFlag::VirtualRoot)) {
        for (uint32_t i = 0; i < full.node(0).childCount; ++i)
            roots.push_back(full.fullPath(full.node(0).firstChild + i));
    } else if (full.nodeCount > 0) {
        roots.push_back(full.fullPath(0));
    }
    try {
        std::vector<svl::RescanRecord> records;
        bool cancelled = false;
        for (const RescanTarget& target : targets) {
            if (progress.cancel.load()) {
                cancelled = true;
                break;
            }
            std::shared_ptr<const svl::ScanTree> fresh = svl::rescanFolder(target.path, roots, options, &progress);
            if (fresh) {
                std::vector<FailedFolder> failed = failedFoldersOf(*fresh);
                outcome.failedFolders.insert(outcome.failedFolders.end(), failed.begin(), failed.end());
            }
            if (!fresh)
                records.push_back({target.id, nullptr});
            else if (fresh->nodeCount > 0)
                records.push_back({target.id, std::move(fresh)});
            else if (outcome.error.isEmpty())
                outcome.error = tr("Could not read %1").arg(isolatePath(QString::fromStdString(target.path)));
            if (progress.cancel.load()) {
                cancelled = true;
                break;
            }
        }
        if (cancelled) {
            outcome.cancelled = true;
        } else if (!records.empty()) {
            outcome.tree = svl::graftRescans(full, records);
            outcome.tree->seconds = secondsSince();
        }
    } catch (const std::bad_alloc&) {
        outcome.tree.reset();
        outcome.error = tr("There is not enough memory to hold the result.");
    }
    outcome.seconds = secondsSince();
    return outcome;
}
