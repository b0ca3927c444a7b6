// The displayed tree: the full result or a filtered copy built on a filter thread, its
// installation into every view, and removals of nodes in place.
#include <QApplication>
#include <QEventLoop>
#include <QLabel>
#include <QStackedWidget>
#include <QThread>
#include <QTimer>
#include <QTreeView>

#include <optional>
#include <string_view>
#include <unordered_map>

#include "app/AppSettings.h"
#include "app/DirectionalText.h"
#include "app/PlainText.h"
#include "app/QtRegexMatcher.h"
#include "core/analysis/Filter.h"
#include "core/analysis/MatchBitmap.h"
#include "core/tree/ScanTree.h"
#include "ui/mainwindow/MainWindow.h"
#include "ui/treemap/TreemapPanel.h"
#include "ui/treemap/TreemapWidget.h"
#include "integration/LiveMonitor.h"
#include "ui/header/HeaderPanel.h"
#include "ui/header/RuleFrame.h"
#include "ui/views/FileTypesModel.h"
#include "ui/views/FileTypesView.h"
#include "ui/views/FileViewPanel.h"
#include "ui/views/FilterPanel.h"
#include "ui/views/NodeModel.h"

namespace {

std::shared_ptr<svl::Filter> decodeShared(const QString& text, bool entirePath) {
    const svl::RegexFactory factory = qtRegexFactory();
    return std::make_shared<svl::Filter>(svl::decodeFilterText(text.trimmed().toStdString(), entirePath, &factory));
}

// From this many paths on, a batch of removals looks its paths up through an index.
constexpr size_t kIndexedPaths = 64;
// Queued removals applied in one turn of the event loop.
constexpr size_t kQueuedPerSlice = 50000;

// Finds many paths of one tree: with `indexed`, a folder's children are indexed by name the
// first time a path in it is looked for, so that a million paths reported in one folder cost
// a million lookups rather than a million scans of its children; nothing is looked for below
// a folder already removed (-1). Only the tree's flags and totals may change while it is
// used, not its names.
class PathFinder {
public:
    PathFinder(const svl::ScanTree& tree, bool indexed) : m_tree(tree), m_indexed(indexed) {}
    int64_t find(const std::string& path) {
        const size_t slash = path.rfind('/');
        if (!m_indexed || slash == std::string::npos || slash == 0)
            return m_tree.findPath(path.data(), path.size());
        if (!m_last || m_last->first.size() != slash || path.compare(0, slash, m_last->first) != 0)
            m_last = &*folderOf(path.substr(0, slash));
        const Folder& folder = m_last->second;
        if (folder.id < 0)  // a scanned top of several, whose parent is no node
            return m_tree.findPath(path.data(), path.size());
        if (m_tree.node(uint32_t(folder.id)).flags & svl::NodeFlag::Removed)
            return -1;
        const auto child = folder.children.find(std::string_view(path).substr(slash + 1));
        return child == folder.children.end() ? -1 : int64_t(child->second);
    }

private:
    struct Folder {
        int64_t id = -1;
        std::unordered_map<std::string_view, uint32_t> children;  // the first child of each name
    };
    std::unordered_map<std::string, Folder>::iterator folderOf(const std::string& parent) {
        auto folder = m_folders.find(parent);
        if (folder == m_folders.end()) {
            Folder entry;
            entry.id = m_tree.findPath(parent.data(), parent.size());
            if (entry.id >= 0 && !(m_tree.node(uint32_t(entry.id)).flags & svl::NodeFlag::Removed)) {
                const svl::ScanNode& node = m_tree.node(uint32_t(entry.id));
                entry.children.reserve(node.childCount);
                for (uint32_t i = 0; i < node.childCount; ++i)
                    entry.children.emplace(m_tree.node(node.firstChild + i).nameView(), node.firstChild + i);
            }
            folder = m_folders.emplace(parent, std::move(entry)).first;
        }
        return folder;
    }
    const svl::ScanTree& m_tree;
    const bool m_indexed;
    std::unordered_map<std::string, Folder> m_folders;
    std::pair<const std::string, Folder>* m_last = nullptr;  // of the path looked for last
};

}  // namespace

bool MainWindow::isFilterPanelShown() const {
    return m_filterPanelForced
           || AppSettings::instance()->settings()->value(QStringLiteral("showFilterPanel"), false).toBool();
}

void MainWindow::applyFilterTexts(const QString& include, const QString& exclude, bool entirePath) {
    m_includeText = include;
    m_excludeText = exclude;
    m_matchEntirePath = entirePath;
    refreshDisplayedTree(false);
}

void MainWindow::applyFilterPanel() {
    applyFilterTexts(m_filterPanel->includeText(), m_filterPanel->excludeText(), m_filterPanel->matchEntirePath());
}

void MainWindow::setFilterTexts(const QString& include, const QString& exclude) {
    m_filterPanelForced = true;
    m_filterPanel->setTexts(include, exclude);
    applyPanelVisibility();
}

void MainWindow::refreshDisplayedTree(bool restore) {
    if (!m_currentTree)
        return;
    const bool active =
        isFilterPanelShown() && (!m_includeText.trimmed().isEmpty() || !m_excludeText.trimmed().isEmpty());
    updateFilterLabel();
    if (active) {
        startFilterThread(restore);
        return;
    }
    ++m_filterGeneration;
    if (m_displayedTree == m_currentTree && !restore)
        return;
    installTree(m_currentTree, restore);
}

void MainWindow::updateFilterLabel() {
    QStringList parts;
    if (isFilterPanelShown()) {
        if (!m_includeText.trimmed().isEmpty())
            parts.append(tr("Include Filter:", "status bar note") + QLatin1Char(' ')
                         + isolateLeftToRight(m_includeText.trimmed()));
        if (!m_excludeText.trimmed().isEmpty())
            parts.append(tr("Exclude Filter:", "status bar note") + QLatin1Char(' ')
                         + isolateLeftToRight(m_excludeText.trimmed()));
    }
    const QString text = parts.join(QStringLiteral("   "));
    m_filterLabel->setText(text);
    m_filterLabel->setToolTip(plainToolTip(text));
    m_filterLabel->setVisible(!text.isEmpty());
    m_filterLabelRule->setVisible(!text.isEmpty());
}

void MainWindow::startFilterThread(bool restore) {
    const int generation = ++m_filterGeneration;
    const std::shared_ptr<svl::Filter> include = decodeShared(m_includeText, m_matchEntirePath);
    const std::shared_ptr<svl::Filter> exclude = decodeShared(m_excludeText, m_matchEntirePath);
    const std::shared_ptr<svl::ScanTree> tree = m_currentTree;
    const QPointer<MainWindow> window(this);
    QThread* thread = QThread::create([tree, include, exclude, generation, restore, window] {
        std::shared_ptr<svl::ScanTree> shown;
        bool failed = false;
        try {
            std::shared_ptr<svl::ScanTree> filtered = svl::filterTree(*tree, include.get(), exclude.get());
            shown = filtered ? filtered : tree;
        } catch (const std::exception&) {
            failed = true;  // out of memory for the copy
        }
        QMetaObject::invokeMethod(
            qApp,
            [window, generation, restore, shown, failed] {
                if (!window || generation != window->m_filterGeneration || !window->m_currentTree)
                    return;
                if (failed) {
                    window->setStatusText(tr("There is not enough memory to apply the filter."));
                    window->setScanState(Failed, window->m_statusText);
                    return;
                }
                window->installTree(shown, restore);
            },
            Qt::QueuedConnection);
    });
    startTreeReader(thread);
}

void MainWindow::startTreeReader(QThread* thread) {
    m_pendingThreads.push_back(thread);
    connect(thread, &QThread::finished, this, [this, thread] { filterThreadFinished(thread); });
    if (m_pendingThreads.size() == 1)
        QApplication::setOverrideCursor(Qt::BusyCursor);
    thread->start();
}

void MainWindow::readTreesOffGui(const std::function<void()>& work) {
    // The trees stay alive for the worker whatever the window installs meanwhile.
    QThread* thread = QThread::create([&work, keep = m_displayedTree, keepFull = m_currentTree] { work(); });
    startTreeReader(thread);
    // Done once its finish was handled, so that the caller's removals are not queued behind it.
    while (std::find(m_pendingThreads.begin(), m_pendingThreads.end(), thread) != m_pendingThreads.end())
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents | QEventLoop::WaitForMoreEvents);
}

void MainWindow::filterThreadFinished(QThread* thread) {
    std::erase(m_pendingThreads, thread);
    thread->deleteLater();
    if (m_pendingThreads.empty()) {
        QApplication::restoreOverrideCursor();
        if (!m_removal)  // a removal's own items leave the tree first: see removeOffGui
            applyQueuedRemovals();
    }
}

void MainWindow::installTree(std::shared_ptr<svl::ScanTree> tree, bool restore) {
    m_treeSelection.clear();
    m_fileViewSelection.clear();
    m_expandedIds.clear();
    m_childHistory.clear();
    m_displayedTree = tree;
    m_nodeModel->setTree(tree);
    m_resultsStack->setCurrentWidget(m_treeView);
    m_resultsInstalled = true;
    applyPanelVisibility();
    m_treeView->expand(m_nodeModel->index(0, 0));
    if (m_treeColumnsUnsaved) {
        // The default columns are fitted once the tree's pane has its width.
        QTimer::singleShot(0, this, [this] {
            if (m_treeColumnsUnsaved && m_treeView->isVisible())
                fitTreeColumns();
        });
    }
    // The drive figures go in while the treemap holds no tree, so the new tree is laid
    // out once rather than twice.
    m_treemapPanel->setTree(nullptr);
    m_treemapSpace = {m_header->spaceTotal(), m_header->spaceFree()};
    m_treemapPanel->treemap()->setDiskSpace(m_treemapSpace.first, m_treemapSpace.second);
    m_treemapPanel->setTree(tree);
    restartMonitoring();
    if (!m_pendingSearchText.isEmpty())
        m_fileView->setSearchText(m_pendingSearchText);
    m_fileView->setTree(tree);
    if (restore)
        restoreViewState();
    updateSelectionSummary();
}

void MainWindow::restartMonitoring() {
    const bool wanted =
        AppSettings::instance()->settings()->value(QStringLiteral("monitorFileSystemForChanges"), true).toBool();
    if (wanted && m_displayedTree && m_displayedTree->nodeCount > 0 && m_header->importedFile().isEmpty()
        && !m_jobThread)
        m_liveMonitor->start(m_displayedTree);
    else
        m_liveMonitor->stop();
}

void MainWindow::removeNodes(const std::vector<uint32_t>& ids) {
    if (!m_displayedTree)
        return;
    if (!m_pendingThreads.empty()) {
        // A filter thread reads the current tree: take the nodes out once it is done, from
        // whichever tree is displayed then.
        for (uint32_t id : ids)
            if (id < m_displayedTree->nodeCount)
                m_queuedRemovals.push_back(m_displayedTree->fullPath(id));
        return;
    }
    m_fileView->stopSearches();  // searches read the flags being written
    m_treemapPanel->treemap()->waitForBuild();
    m_nodeModel->waitForSorting();
    // Each node leaves the unfiltered tree too, found there by its path.
    const bool filtered = m_currentTree && m_currentTree != m_displayedTree;
    PathFinder inFull(filtered ? *m_currentTree : *m_displayedTree, ids.size() >= kIndexedPaths);
    for (uint32_t id : ids) {
        if (id >= m_displayedTree->nodeCount)
            continue;
        (void)m_displayedTree->markRemoved(id);
        if (!filtered)
            continue;
        const int64_t there = inFull.find(m_displayedTree->fullPath(id));
        if (there > 0)
            (void)m_currentTree->markRemoved(uint32_t(there));
    }
    refreshAfterRemoval();
}

void MainWindow::refreshAfterRemoval() {
    m_nodeModel->clearGroupCache();
    m_treeView->viewport()->update();
    m_treemapPanel->treemap()->refresh();
    m_treemapPanel->updateTitle();
    m_fileView->refreshRows();
    m_header->updateSpaceLabels(m_scanPathText);
    updateSelectionSummary();
}

void MainWindow::fillFileTypes(bool recoloured) {
    // The treemap counts the displayed tree's extensions on its worker; after a removal
    // the rows change but the colours stay.
    const TreemapWidget* treemap = m_treemapPanel->treemap();
    FileTypesModel* model = m_fileTypes->fileTypesModel();
    if (!m_displayedTree) {
        model->setStats({}, {});
        return;
    }
    model->setStats(treemap->stats(), recoloured ? treemap->colorMap() : model->colorMap());
}

void MainWindow::onPathsRemoved(const QStringList& paths) {
    std::vector<std::string> bytes;
    bytes.reserve(paths.size());
    for (const QString& path : paths)
        bytes.push_back(path.toStdString());
    removePaths(bytes);
}

void MainWindow::removePaths(const std::vector<std::string>& paths) {
    if (!m_displayedTree || paths.empty())
        return;
    if (!m_pendingThreads.empty()) {
        m_queuedRemovals.insert(m_queuedRemovals.end(), paths.begin(), paths.end());
        return;
    }
    std::vector<uint32_t> ids;
    const bool many = paths.size() >= kIndexedPaths;
    PathFinder inShown(*m_displayedTree, many);
    std::optional<PathFinder> inFullTree;
    if (m_currentTree && m_currentTree != m_displayedTree)
        inFullTree.emplace(*m_currentTree, many);
    for (const std::string& path : paths) {
        const int64_t shown = inShown.find(path);
        if (shown > 0 && !(m_displayedTree->node(uint32_t(shown)).flags & svl::NodeFlag::Removed))
            ids.push_back(uint32_t(shown));
        if (inFullTree) {
            const int64_t inFull = inFullTree->find(path);
            if (inFull > 0)
                (void)m_currentTree->markRemoved(uint32_t(inFull));
        }
    }
    if (!ids.empty())
        removeNodes(ids);
}

void MainWindow::applyQueuedRemovals() {
    // A slice per turn of the event loop, the rest posted behind the window's own events.
    const auto end = m_queuedRemovals.begin() + std::ptrdiff_t(std::min(m_queuedRemovals.size(), kQueuedPerSlice));
    const std::vector<std::string> paths(std::make_move_iterator(m_queuedRemovals.begin()), std::make_move_iterator(end));
    m_queuedRemovals.erase(m_queuedRemovals.begin(), end);
    removePaths(paths);
    if (m_queuedRemovals.empty() || !m_pendingThreads.empty() || m_queuedSlicePosted)
        return;
    m_queuedSlicePosted = true;
    QTimer::singleShot(0, this, [this] {
        m_queuedSlicePosted = false;
        if (m_pendingThreads.empty())
            applyQueuedRemovals();
    });
}
