// The one job slot: starting a scan or import on a worker thread, polling its progress,
// and taking its result back on the GUI thread.
#include <QAction>
#include <QCoreApplication>
#include <QLabel>
#include <QLoggingCategory>
#include <QMessageBox>
#include <QPushButton>
#include <QStackedWidget>
#include <QThread>
#include <QTimer>
#include <QTreeView>

#include "app/AppSettings.h"
#include "app/DirectionalText.h"
#include "app/PathText.h"
#include "app/PlainText.h"
#include "app/QtRegexMatcher.h"
#include "app/ValueFormat.h"
#include "core/analysis/Filter.h"
#include "core/tree/ScanTree.h"
#include "integration/LiveMonitor.h"
#include "ui/header/HeaderPanel.h"
#include "ui/mainwindow/EmptyStateWidget.h"
#include "ui/mainwindow/MainWindow.h"
#include "ui/smb/SmbLoginPrompter.h"
#include "ui/treemap/TreemapPanel.h"
#include "ui/treemap/TreemapWidget.h"
#include "ui/views/FileTypesModel.h"
#include "ui/views/FileTypesView.h"
#include "ui/views/FileViewPanel.h"
#include "ui/views/FilterPanel.h"
#include "ui/views/NodeModel.h"

namespace {

bool settingOn(const char* key, bool fallback) {
    return AppSettings::instance()->settings()->value(QLatin1String(key), fallback).toBool();
}

}  // namespace

void MainWindow::startJob(const QString& path, JobKind kind, const QStringList& roots) {
    if (m_jobThread || m_removal)  // a removal running reads the trees a job would replace
        return;
    m_scanPathText = path;
    m_jobKind = kind;
    if (kind == JobKind::CsvImport || kind == JobKind::MftLoad) {
        m_header->clearMultipleSources();
        m_header->showImportedFile(path, false, 0, 0, kind == JobKind::MftLoad);
    } else if (kind == JobKind::Multiple) {
        m_header->clearImportedSource();
        m_jobRoots = roots;
        m_header->showMultiple(roots);
    } else {
        m_header->clearImportedSource();
        m_header->clearMultipleSources();
        m_jobRoots.clear();
        if (m_header->selectedPath() != path)
            m_header->selectPath(path);
        m_header->updateSpaceLabels(path);
    }
    updateWindowTitle();

    m_liveMonitor->stop();
    m_deniedFolders.clear();
    m_header->setAccessDeniedVisible(false);
    m_header->setBusy(true);
    m_escapeAction->setEnabled(true);

    rememberViewState();
    emptyViews();
    setScanState(Scanning, QString());
    m_hoverLabel->clear();

    m_job = std::make_shared<JobState>();
    m_jobIsRescan = false;
    m_header->setProgress(0);
    pollProgress();
    m_pollTimer->start();

    m_scanFilter.reset();
    SmbLoginPrompter* prompter = smbPrompter();
    JobRequest request;
    request.kind = kind;
    request.path = pathBytes(path);
    for (const QString& root : roots)
        request.roots.push_back(pathBytes(root));
    request.options.threads = 0;
    request.options.rotational = -1;
    request.options.allowRaw = settingOn("fastDiskScan", true) ? 1 : 0;
    request.options.oneFileSystem = true;
    request.options.detectBindMounts = true;
    if (kind == JobKind::Folder || kind == JobKind::Multiple)
        request.options.provider = prompter;
    const QString exclude = m_filterPanel->excludeText().trimmed();
    if (kind != JobKind::CsvImport && isFilterPanelShown() && !exclude.isEmpty()) {
        const svl::RegexFactory factory = qtRegexFactory();
        m_scanFilter = std::make_shared<svl::Filter>(
            svl::decodeFilterText(exclude.toStdString(), m_filterPanel->matchEntirePath(), &factory));
        request.exclude = m_scanFilter;
        request.options.exclude = m_scanFilter.get();
    }

    // The worker asks the user through the gate, which answers "no" at once after the window closed.
    const GuiCallGate gate = m_guiCalls;
    const QPointer<MainWindow> window(this);
    const QString label = path;
    MemoryQuestion question = [gate, window, label](unsigned long needed, unsigned long available) {
        return gate.call<bool>(
            [window, label, needed, available] {
                if (!window)
                    return false;
                QMessageBox box(QMessageBox::Warning, tr("This import needs a lot of memory"),
                                tr("Importing %1 needs about %2 of memory and only %3 is free. The rest will use swap, "
                                   "so the import will be slow and the computer may become unresponsive.")
                                    .arg(isolatePath(label), isolateText(formatSize(needed)),
                                         isolateText(formatSize(available))),
                                QMessageBox::NoButton, window);
                QPushButton* go = box.addButton(tr("Import Anyway"), QMessageBox::AcceptRole);
                box.addButton(QMessageBox::Cancel);
                setPlainText(box);
                box.exec();
                return box.clickedButton() == go;
            },
            false);
    };
    startJobThread([job = m_job, request = std::move(request), question = std::move(question)] {
        job->result = runJob(request, job->progress, question);
    });
}

void MainWindow::startJobThread(std::function<void()> work) {
    const int generation = ++m_jobGeneration;
    m_jobClock.start();
    m_cancelAskedMs = -1;
    // The worker keeps what the job needs alive itself: a job given up on may outlive the window.
    const QPointer<MainWindow> window(this);
    std::shared_ptr<SmbLoginPrompter> prompter = m_smbPrompter;
    const std::shared_ptr<JobState> job = m_job;
    m_jobThread = QThread::create([window, generation, job, prompter, work = std::move(work)]() mutable {
        yieldToGuiThread();
        work();
        std::shared_ptr<svl::ScanTree> tree = job->result.tree;
        QCoreApplication* app = QCoreApplication::instance();
        if (!app)
            return;
        // Checked on the GUI thread: the window may be gone, or may have given this job up.
        QMetaObject::invokeMethod(
            app,
            [window, generation, tree, prompter = std::move(prompter)] {
                if (window && window->m_jobGeneration == generation && window->m_jobThread)
                    window->m_jobIsRescan ? window->takeRescanResult() : window->scanFinished(tree);
            },
            Qt::QueuedConnection);
    });
    m_jobThread->start(QThread::InheritPriority);
    updateRescanAction();
}

void MainWindow::stopJob() {
    m_job->progress.cancel = true;
    if (m_jobThread && m_cancelAskedMs < 0) {
        m_cancelAskedMs = m_jobClock.elapsed();
        m_progressMovedMs = m_cancelAskedMs;
    }
}

void MainWindow::pollProgress() {
    setStatusText(jobProgressText(m_jobKind, m_job->progress));
    m_header->setProgress(progressPercent(m_job->progress.fraction.load()));
    if (m_jobThread && m_cancelAskedMs >= 0)
        watchCancelledJob();
}

void MainWindow::watchCancelledJob() {
    // A worker that is winding down still moves its figures (a raw walk builds on for a
    // while after a cancel); one stuck in the kernel moves nothing.
    constexpr qint64 kStillMs = 500;
    constexpr qint64 kLongestWindDownMs = 4000;
    const svl::ScanProgress& p = m_job->progress;
    const std::array<double, 5> mark = {double(p.files.load()), double(p.folders.load()),
                                        double(p.allocatedBytes.load()), double(p.errorCount.load()),
                                        p.fraction.load()};
    const qint64 now = m_jobClock.elapsed();
    if (mark != m_progressMark) {
        m_progressMark = mark;
        m_progressMovedMs = now;
    }
    if (now - m_progressMovedMs >= kStillMs || now - m_cancelAskedMs >= kLongestWindDownMs)
        abandonJob();
}

void MainWindow::leaveJobThread() {
    m_job->progress.cancel = true;
    QThread* thread = m_jobThread;
    connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    if (thread->isFinished())
        thread->deleteLater();
    m_jobThread = nullptr;
    ++m_jobGeneration;
    // The worker still writes its own state; the window reads a fresh one from now on.
    m_job = std::make_shared<JobState>();
    m_job->progress.cancel = true;
}

void MainWindow::abandonJob() {
    leaveJobThread();
    const double seconds = double(m_jobClock.elapsed()) / 1000.0;
    if (m_jobIsRescan) {
        rescanFinished(nullptr, true, QString(), seconds);
        return;
    }
    endJobThread();
    setStatusText(tr("Scan canceled after %1 seconds").arg(QString::number(seconds, 'f', 2)));
    setScanState(Cancelled, QString());
    if (!m_grabImagePath.isEmpty())
        grabWhenIdle();
}

void MainWindow::endJobThread() {
    m_pollTimer->stop();
    if (m_jobThread) {
        m_jobThread->wait();
        delete m_jobThread;
        m_jobThread = nullptr;
    }
    m_header->setBusy(false);
    m_escapeAction->setEnabled(false);
    m_header->setProgress(100);
    updateRescanAction();
}

void MainWindow::scanFinished(std::shared_ptr<svl::ScanTree> tree) {
    endJobThread();
    const bool cancelled = m_job->progress.cancel.load();
    const JobResult& result = m_job->result;
    const bool isImport = m_jobKind == JobKind::CsvImport || m_jobKind == JobKind::MftLoad;
    if (isImport && !cancelled && tree && tree->nodeCount > 0)
        m_header->showImportedFile(m_scanPathText, result.driveKnown, result.driveCapacity, result.driveFree,
                                   m_jobKind == JobKind::MftLoad);
    const JobOutcome outcome = jobOutcome(tree.get(), cancelled, m_jobKind, m_scanPathText, result.error,
                                          result.unreachedRoots, result.failedFolders);
    setStatusText(outcome.statusText);
    if (outcome.page == JobOutcome::Failed) {
        setScanState(Failed, outcome.statusText);
    } else if (outcome.page == JobOutcome::Cancelled) {
        setScanState(Cancelled, QString());
    } else {
        qInfo("scan: %.3fs, %u entries (%u files, %u dirs), %llu errors", tree->seconds, tree->nodeCount,
              tree->node(0).filesBelow, tree->node(0).foldersBelow, static_cast<unsigned long long>(tree->errors));
        m_currentTree = tree;
        rebuildDeniedFolders(result.deniedIds);
        // The new result is filtered by what the panel shows, also when it was cleared.
        if (isFilterPanelShown()) {
            m_includeText = m_filterPanel->includeText();
            m_excludeText = m_filterPanel->excludeText();
            m_matchEntirePath = m_filterPanel->matchEntirePath();
        }
        refreshDisplayedTree(true);
    }
    if (!m_grabImagePath.isEmpty())
        grabWhenIdle();
}

void MainWindow::rebuildDeniedFolders(const std::vector<uint32_t>& ids) {
    m_deniedFolders.clear();
    for (uint32_t id : ids)
        if (m_currentTree && id < m_currentTree->nodeCount)
            m_deniedFolders.append(QString::fromStdString(m_currentTree->fullPath(id)));
    m_header->setAccessDeniedVisible(!m_deniedFolders.isEmpty());
}

void MainWindow::setScanState(int state, const QString& text) {
    switch (state) {
    case Scanning:
        m_emptyState->setContent(themeIconPixmap(QStringLiteral("system-search"), QStyle::SP_BrowserReload),
                                 tr("Scanning…"), {tr("This may take a moment for large volumes.")});
        break;
    case Cancelled:
        m_emptyState->setContent(themeIconPixmap(QStringLiteral("process-stop"), QStyle::SP_DialogCancelButton),
                                 tr("Scan Cancelled"), {tr("Click Scan to try again.")});
        break;
    case Failed:
        m_emptyState->setContent(themeIconPixmap(QStringLiteral("dialog-warning"), QStyle::SP_MessageBoxWarning),
                                 tr("Scan Failed"), {text});
        break;
    default:
        m_emptyState->setContent(EmptyStateWidget::logoPixmap(), tr("Ready to Scan"), EmptyStateWidget::hintText());
        break;
    }
    m_resultsStack->setCurrentWidget(m_emptyState);
}

void MainWindow::setStatusText(const QString& text) {
    m_statusText = text;
    m_header->setStatusText(text);
}

void MainWindow::rememberViewState() {
    m_savedExpandedPaths.clear();
    m_savedExpandedGroupPaths.clear();
    m_savedSelectedPaths.clear();
    m_savedSelectedGroupPaths.clear();
    m_savedZoomPath.clear();
    if (!m_displayedTree)
        return;
    const uint32_t n = m_displayedTree->nodeCount;
    const auto sortInto = [&](uint32_t id, QStringList& nodes, QStringList& groups) {
        if (id < n)
            nodes.append(QString::fromStdString(m_displayedTree->fullPath(id)));
        else if (id - n < n)
            groups.append(QString::fromStdString(m_displayedTree->fullPath(id - n)));
    };
    for (uint32_t id : m_expandedIds)
        sortInto(id, m_savedExpandedPaths, m_savedExpandedGroupPaths);
    for (uint32_t id : m_treeSelection)
        sortInto(id, m_savedSelectedPaths, m_savedSelectedGroupPaths);
    const uint32_t zoomRoot = m_treemapPanel->treemap()->zoomRoot();
    m_savedZoomPath = zoomRoot > 0 && zoomRoot < n ? QString::fromStdString(m_displayedTree->fullPath(zoomRoot)) : QString();
}

void MainWindow::emptyViews() {
    m_expandedIds.clear();
    m_currentTree.reset();
    m_displayedTree.reset();
    m_queuedRemovals.clear();
    ++m_filterGeneration;
    m_treeSelection.clear();
    m_fileViewSelection.clear();
    m_nodeModel->setTree(nullptr);
    m_treemapPanel->setTree(nullptr);
    m_fileView->setTree(nullptr);
    m_fileTypes->fileTypesModel()->setStats({}, {});
    updateSelectionSummary();
}
