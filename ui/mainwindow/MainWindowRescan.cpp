// Rescan of the selected folders on the job slot: the views keep the old tree until the
// spliced one is ready.
#include "ui/mainwindow/MainWindow.h"

#include <QAction>
#include <QThread>
#include <QTimer>

#include "app/ValueFormat.h"
#include "core/tree/ScanTree.h"
#include "integration/LiveMonitor.h"
#include "ui/header/HeaderPanel.h"
#include "ui/mainwindow/PageTabs.h"
#include "ui/mainwindow/RescanJob.h"
#include "ui/smb/SmbLoginPrompter.h"

void MainWindow::rescanSelectedFolders() {
    if (!canRescanSelection() || m_removal)
        return;
    bool whole = false;
    const std::vector<uint32_t> ids = rescanTargets(&whole);
    if (whole) {
        scanRequested();
        return;
    }
    if (ids.empty())
        return;
    std::vector<RescanTarget> targets;
    for (uint32_t id : ids)
        targets.push_back({id, m_currentTree->fullPath(id)});

    rememberViewState();
    m_liveMonitor->stop();
    m_header->setBusy(true);
    m_escapeAction->setEnabled(true);
    // The views hold the tree being rescanned; the menus stay, their commands refuse what a
    // running job forbids, and Quit must work whatever the rescan waits on.
    m_tabs->setEnabled(false);
    m_job = std::make_shared<JobState>();
    m_jobIsRescan = true;
    m_header->setProgress(0);
    pollProgress();
    m_pollTimer->start();

    svl::ScanOptions options;
    options.threads = 0;
    options.rotational = -1;
    options.allowRaw = 1;
    options.oneFileSystem = true;
    options.detectBindMounts = true;
    options.exclude = m_scanFilter.get();
    options.provider = smbPrompter();
    std::shared_ptr<const svl::Filter> filter = m_scanFilter;
    std::shared_ptr<const svl::ScanTree> full = m_currentTree;
    startJobThread([job = m_job, targets = std::move(targets), options, filter, full] {
        RescanOutcome outcome = runRescan(*full, targets, options, job->progress);
        job->result.tree = std::move(outcome.tree);
        job->result.error = outcome.error;
        job->rescanCancelled = outcome.cancelled;
        job->rescanSeconds = outcome.seconds;
        job->result.failedFolders = std::move(outcome.failedFolders);
    });
}

void MainWindow::takeRescanResult() {
    const JobState& job = *m_job;
    rescanFinished(job.result.tree, job.rescanCancelled, job.result.error, job.rescanSeconds);
}

void MainWindow::rescanFinished(std::shared_ptr<svl::ScanTree> tree, bool cancelled, QString error, double seconds) {
    endJobThread();
    m_tabs->setEnabled(true);
    const QString secondsText = formatDecimal(seconds, 2);
    if (tree) {
        m_currentTree = tree;
        rebuildDeniedFolders(deniedFolderIds(*tree));
        if (m_header->multipleRoots().isEmpty() && !m_scanPathText.isEmpty())
            m_header->updateSpaceLabels(m_scanPathText);
        setStatusText(!error.isEmpty() ? error
                                       : tr("Scan complete in %1 seconds").arg(secondsText)
                                             + unreadSuffix({}, m_job->result.failedFolders));
        refreshDisplayedTree(true);
        return;
    }
    m_savedExpandedPaths.clear();
    m_savedExpandedGroupPaths.clear();
    m_savedSelectedPaths.clear();
    m_savedSelectedGroupPaths.clear();
    m_savedZoomPath.clear();
    if (cancelled)
        setStatusText(tr("Scan canceled after %1 seconds").arg(secondsText));
    else if (!error.isEmpty())
        setStatusText(error);
    restartMonitoring();
}
