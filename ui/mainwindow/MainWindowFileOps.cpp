// The window's file commands: the selected-item collector, its question and error boxes,
// trash, deletion (immediately or as administrator) and rename. The decisions are made
// by FileOperations; this file connects them to the window's trees, views and boxes.
#include "ui/mainwindow/MainWindow.h"

#include "app/AppSettings.h"
#include "app/Elevation.h"
#include "app/PathText.h"
#include "app/PlainText.h"
#include "core/scan/MountTable.h"
#include "core/tree/ScanTree.h"
#include "integration/LiveMonitor.h"
#include "ui/header/HeaderPanel.h"
#include "ui/mainwindow/FileOperations.h"
#include "ui/mainwindow/PageTabs.h"
#include "ui/treemap/TreemapPanel.h"
#include "ui/treemap/TreemapWidget.h"
#include "ui/views/FileViewPanel.h"
#include "ui/views/NodeModel.h"

#include <QApplication>
#include <QCloseEvent>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QProgressDialog>
#include <QPushButton>
#include <QSettings>
#include <QSplitter>
#include <QThread>
#include <QTreeView>

#include <algorithm>
#include <climits>
#include <limits>
#include <utility>

NodeModel* MainWindow::treeModel() const { return m_nodeModel; }

FileViewPanel* MainWindow::currentFileViewPage() const
{
    return m_fileView && m_tabs->currentWidget() == m_fileView ? m_fileView : nullptr;
}

const std::vector<uint32_t>& MainWindow::currentSelection() const
{
    return currentFileViewPage() ? m_fileViewSelection : m_treeSelection;
}

FileCommandContext MainWindow::fileCommandContext() const
{
    FileCommandContext context;
    context.displayed = m_displayedTree.get();
    context.full = m_currentTree ? m_currentTree.get() : m_displayedTree.get();
    // A CSV/TSV or MFT dump describes another machine's files; the views are emptied at
    // every job start, so the kind of the last job is the kind of the shown tree.
    context.imported = m_jobKind == JobKind::CsvImport || m_jobKind == JobKind::MftLoad;
    context.jobRunning = isJobRunning();
    return context;
}

namespace {

// A removal shorter than this shows no progress dialog.
constexpr int kRemovalProgressDelayMs = 400;
// From this many entries on, live monitoring pauses while a removal runs: it would check each
// removed entry on this thread as the removal goes, taking as long again as the removal, and
// the removal takes its own entries out of the tree.
constexpr uint64_t kMonitorPausedFrom = 20000;

// A removal's progress. Cancel, Escape or closing the box asks the worker to stop; the box
// stays, saying so, until the worker has stopped, so the window is never idle-looking while
// it ignores input.
class RemovalProgressDialog : public QProgressDialog {
public:
    RemovalProgressDialog(const QString& label, int steps, QWidget* parent, std::atomic<bool>* cancel)
        : QProgressDialog(label, QString(), 0, steps, parent), m_cancel(cancel), m_button(new QPushButton(MainWindow::tr("Cancel")))
    {
        setCancelButton(m_button);  // the dialog owns it now
        // Its own handling hides the box at once: this one stays up.
        disconnect(this, &QProgressDialog::canceled, this, &QProgressDialog::cancel);
        connect(this, &QProgressDialog::canceled, this, [this] { stop(); });
    }
    void reject() override { stop(); }
    bool stopping() const { return m_cancel->load(); }

protected:
    void closeEvent(QCloseEvent* event) override
    {
        event->ignore();
        stop();
    }

private:
    void stop()
    {
        if (m_cancel->exchange(true))
            return;
        setLabelText(MainWindow::tr("Stopping…"));
        m_button->setEnabled(false);
    }
    std::atomic<bool>* m_cancel;
    QPushButton* m_button;
};

}  // namespace

FileOperations MainWindow::fileOperations()
{
    // The trees the command starts on live as long as it: while a removal runs, a filter
    // thread started before it may install another tree.
    const std::shared_ptr<svl::ScanTree> shown = m_displayedTree;
    const std::shared_ptr<svl::ScanTree> full = m_currentTree;
    FileOperationHooks hooks;
    // Once the window was closed during a removal, nothing more is asked or shown.
    hooks.ask = [this](const QString& q, const QString& d, const QString& a, const QString& c) {
        return !m_closeAfterRemoval && askConfirmation(q, d, a, c);
    };
    hooks.showError = [this](const QString& text, const QString& detail) {
        if (!m_closeAfterRemoval)
            showError(text, detail);
    };
    hooks.showInformation = [this](const QString& title, const QString& text) {
        showPlainInformation(this, title, text);
    };
    hooks.removeNodes = [this, shown, full](const std::vector<uint32_t>& ids) {
        if (shown == m_displayedTree) {
            removeNodes(ids);
            return;
        }
        // Another tree is shown now: the items leave it by their paths.
        std::vector<std::string> paths;
        for (uint32_t id : ids)
            paths.push_back(shown->fullPath(id));
        removePaths(paths);
    };
    hooks.refreshAfterRename = [this] { refreshAfterRemoval(); };
    hooks.renamed = [this](const std::string& oldPath, const std::string& newPath) {
        m_liveMonitor->renamePath(oldPath, newPath);
        followRenamedRoots(oldPath, newPath);
    };
    hooks.watchFolder = [this](const QString& folder, bool subfolders) { m_liveMonitor->watchFolder(folder, subfolders, 2000); };
    hooks.readOffGui = [this](const std::function<void()>& work) { readTreesOffGui(work); };
    hooks.removeOffGui = [this](const QString& label, RemovalProgress& progress, const std::function<void()>& work) {
        removeOffGui(label, progress, work);
    };
    return FileOperations(shown.get(), full ? full.get() : shown.get(), fileCommandContext(), fileActions, hooks,
                          isElevated());
}

void MainWindow::removeOffGui(const QString& label, RemovalProgress& progress, const std::function<void()>& work)
{
    // The trees stay alive for the worker, and removals reported meanwhile wait for it.
    QThread* thread = QThread::create([&work, keep = m_displayedTree, keepFull = m_currentTree] { work(); });
    m_removal = &progress;
    const bool counted = progress.total > 1;
    const int steps = int(std::min<uint64_t>(progress.total, INT_MAX));
    RemovalProgressDialog dialog(label, counted ? steps : 0, this, &progress.cancel);
    dialog.setWindowModality(Qt::WindowModal);
    dialog.setAutoReset(false);  // so reaching the total neither resets nor hides it
    dialog.setAutoClose(false);
    dialog.setMinimumDuration(std::numeric_limits<int>::max());  // shown by the timer below
    // Until the dialog shows, the window takes no input: the cursor says it is busy.
    QApplication::setOverrideCursor(Qt::BusyCursor);
    bool busyCursor = true;
    const auto showDialog = [&] {
        dialog.show();
        if (std::exchange(busyCursor, false))
            QApplication::restoreOverrideCursor();
    };
    QElapsedTimer clock;
    clock.start();
    QTimer tick;
    connect(&tick, &QTimer::timeout, this, [&] {
        if (!dialog.isVisible() && clock.elapsed() >= kRemovalProgressDelayMs)
            showDialog();
        if (counted && dialog.isVisible() && !progress.cancel.load())
            dialog.setValue(int(std::min<uint64_t>(progress.done.load(), uint64_t(steps))));
    });
    tick.start(100);
    const bool monitorPaused = progress.total >= kMonitorPausedFrom && m_liveMonitor->mode() != LiveMonitor::Mode::Idle;
    if (monitorPaused)
        m_liveMonitor->stop();
    startTreeReader(thread);
    // Until the dialog takes the window's input, the user's input waits: no other command
    // starts meanwhile. Done once the worker's finish was handled, as in readTreesOffGui.
    while (std::find(m_pendingThreads.begin(), m_pendingThreads.end(), thread) != m_pendingThreads.end())
        QCoreApplication::processEvents((dialog.isVisible() ? QEventLoop::AllEvents : QEventLoop::ExcludeUserInputEvents)
                                        | QEventLoop::WaitForMoreEvents);
    tick.stop();
    dialog.hide();
    if (busyCursor)
        QApplication::restoreOverrideCursor();
    m_removal = nullptr;
    // What others reported removed meanwhile (the live monitor sees this very removal) is
    // taken out after the command's own items left the tree, which is quicker.
    // Monitoring comes back once the command's own items left the tree.
    QTimer::singleShot(0, this, [this, monitorPaused] {
        if (monitorPaused && !m_closeAfterRemoval)
            restartMonitoring();
        if (m_pendingThreads.empty())
            applyQueuedRemovals();
    });
    if (m_closeAfterRemoval)
        QTimer::singleShot(0, this, &QWidget::close);
}

void MainWindow::followRenamedRoots(const std::string& oldPath, const std::string& newPath)
{
    const auto renamed = [&](QStringList roots) {
        for (QString& root : roots) {
            const std::string bytes = pathBytes(root);
            if (svl::isPathWithin(bytes, oldPath))
                root = pathText(newPath + bytes.substr(oldPath.size()));
        }
        return roots;
    };
    m_jobRoots = renamed(m_jobRoots);
    const QStringList shown = renamed(m_header->multipleRoots());
    if (shown == m_header->multipleRoots())
        return;
    // Shows the new paths and asks their volumes for the space figures.
    m_header->showMultiple(shown);
    m_scanPathText = m_header->multipleRoots().join(QStringLiteral("; "));
    updateWindowTitle();
}

QList<SelectedItem> MainWindow::collectSelection(bool includeGroupRows, bool includeRoot) const
{
    return FileCommandPlanner(fileCommandContext()).collect(currentSelection(), includeGroupRows, includeRoot);
}

bool MainWindow::askConfirmation(const QString& question, const QString& detail, const QString& acceptLabel,
                                 const QString& cancelLabel)
{
    QMessageBox box(QMessageBox::Warning, QString(), question, QMessageBox::NoButton, this);
    box.setInformativeText(detail);
    QPushButton* accept = box.addButton(acceptLabel, QMessageBox::AcceptRole);
    box.addButton(cancelLabel.isEmpty() ? tr("Cancel") : cancelLabel, QMessageBox::RejectRole);
    box.setDefaultButton(accept);
    setPlainText(box);
    box.exec();
    return box.clickedButton() == accept;
}

void MainWindow::showError(const QString& text, const QString& detail)
{
    QMessageBox box(QMessageBox::Warning, QString(), text, QMessageBox::Ok, this);
    box.setInformativeText(detail);
    setPlainText(box);
    box.exec();
}

QList<SelectedItem> MainWindow::collectSelectionOffGui(bool includeGroupRows, bool includeRoot)
{
    const FileOperations operations = fileOperations();
    const std::vector<uint32_t> ids = currentSelection();
    QList<SelectedItem> items;
    operations.readOffGui(qsizetype(ids.size()),
                          [&] { items = operations.planner().collect(ids, includeGroupRows, includeRoot); });
    return items;
}

namespace {

// A million items take a while to free: the list is let go on a thread of its own.
void releaseOffGui(QList<SelectedItem>&& items)
{
    QThread* release = QThread::create([doomed = std::move(items)] {});
    QObject::connect(release, &QThread::finished, release, &QObject::deleteLater);
    release->start();
}

}  // namespace

void MainWindow::moveSelectionToTrash()
{
    if (m_removal)
        return;  // one removal at a time
    QList<SelectedItem> items = collectSelectionOffGui(false, false);
    fileOperations().moveToTrash(items);
    releaseOffGui(std::move(items));
}

void MainWindow::deleteSelectionImmediately()
{
    if (m_removal)
        return;
    QList<SelectedItem> items = collectSelectionOffGui(false, false);
    fileOperations().deleteImmediately(items);
    releaseOffGui(std::move(items));
}

void MainWindow::collectVanished(uint32_t folder, std::vector<uint32_t>* out)
{
    if (m_displayedTree && folder < m_displayedTree->nodeCount)
        fileOperations().collectVanished(folder, out);
}

bool MainWindow::renameNode(uint32_t id, const QString& newName)
{
    if (!m_displayedTree || m_removal)
        return false;
    m_fileView->stopSearches();  // a search must never read a half-written name
    m_treemapPanel->treemap()->waitForBuild();
    m_nodeModel->waitForSorting();
    const std::shared_ptr<const RenamePlace> recorded = std::exchange(m_renamePlace, nullptr);
    return fileOperations().rename(id, newName, recorded.get());
}

void MainWindow::recordRenamePlace(uint32_t id)
{
    m_renamePlace = m_displayedTree ? std::make_shared<const RenamePlace>(fileOperations().placeForRename(id)) : nullptr;
}

void MainWindow::startRename()
{
    if (!m_displayedTree || !AppSettings::instance()->settings()->value("enableRename", true).toBool())
        return;
    const QList<SelectedItem> items = collectSelection(false, false);
    if (items.size() != 1)
        return;
    if (FileViewPanel* fileView = currentFileViewPage()) {
        fileView->renameId(items.first().id);
        return;
    }
    if (m_tabs->currentWidget() != static_cast<QWidget*>(m_mainSplit))
        return;
    if (NodeModel* model = treeModel()) {
        const QModelIndex index = model->indexForId(items.first().id);
        if (!index.isValid())
            return;
        m_treeView->setCurrentIndex(index);
        m_treeView->edit(index);
    }
}
