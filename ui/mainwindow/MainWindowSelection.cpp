// One selection shown three ways: the folder tree and the treemap share the Tree View
// side's selection, the file list keeps its own. A selection is carried from the view that
// made it to the others under the syncing flag, so the views' own change signals do not
// feed it back. The status bar sums up the selection of the page in front.
#include <QItemSelection>
#include <QItemSelectionModel>
#include <QLabel>
#include <QSplitter>
#include <QTreeView>

#include <algorithm>
#include <unordered_set>

#include "app/DirectionalText.h"
#include "app/ValueFormat.h"
#include "core/tree/ScanTree.h"
#include "core/tree/SelectionTotals.h"
#include "ui/header/HeaderPanel.h"
#include "ui/header/RuleFrame.h"
#include "ui/mainwindow/MainWindow.h"
#include "ui/mainwindow/PageTabs.h"
#include "ui/treemap/TreemapPanel.h"
#include "ui/treemap/TreemapWidget.h"
#include "ui/views/FileViewPanel.h"
#include "ui/views/FilterField.h"
#include "ui/views/NodeModel.h"

namespace {

// The treemap's id of its free-space strip.
constexpr int64_t kFreeSpaceId = 4294967294LL;

}  // namespace

void MainWindow::connectSelection() {
    connect(m_treeView->selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] {
        if (m_syncing)
            return;
        setSelection(m_treeView->selectedRowIds(), FromTree);
    });
    TreemapWidget* treemap = m_treemapPanel->treemap();
    connect(treemap, &TreemapWidget::nodeClicked, this, [this, treemap] {
        if (m_syncing)
            return;
        setSelection(treemap->selection(), FromTreemap);
    });
    connect(treemap, &TreemapWidget::hoverChanged, this, &MainWindow::showHoverText);
    connect(m_fileView, &FileViewPanel::selectionChanged, this, [this](const std::vector<uint32_t>& ids) {
        if (!m_syncing)
            setSelection(ids, FromFileView);
    });
}

void MainWindow::setSelection(const std::vector<uint32_t>& ids, SelectionSource source) {
    if (m_syncing)
        return;
    if (source == FromFileView) {
        if (&ids != &m_fileViewSelection)
            m_fileViewSelection = ids;
        updateSelectionSummary();
        return;
    }
    m_syncing = true;
    if (&ids != &m_treeSelection)
        m_treeSelection = ids;
    m_childHistory.clear();
    if (source != FromTreemap)
        m_treemapPanel->treemap()->setSelection(m_treeSelection);
    if (source != FromTree && !m_treeSelection.empty())
        selectInTreeView(m_treeSelection);
    m_syncing = false;
    updateSelectionSummary();
}

void MainWindow::selectInTreeView(const std::vector<uint32_t>& ids) {
    QModelIndex first;
    std::unordered_set<uint32_t> wanted;
    std::unordered_set<uint32_t> opened;  // ancestors already expanded by this call
    for (uint32_t id : ids) {
        if (viewDepth(id) > kMaxViewDepth)
            continue;
        const QModelIndex index = m_nodeModel->indexForId(id);
        if (!index.isValid())
            continue;
        if (!first.isValid())
            first = index;
        wanted.insert(id);
        for (QModelIndex up = index.parent(); up.isValid(); up = up.parent()) {
            if (!opened.insert(uint32_t(up.internalId())).second)
                break;
            m_treeView->expand(up);
        }
    }
    // The ranges go in view order, consecutive rows merged: the view finds each range's
    // rows from the previous one's, where a scattered order searches all rows each time.
    QItemSelection selection;
    QModelIndex runStart, runEnd;
    const auto closeRun = [&] {
        if (runStart.isValid())
            selection.select(runStart, runEnd.siblingAtColumn(NodeModel::ColumnCount - 1));
        runStart = runEnd = QModelIndex();
    };
    size_t found = 0;
    for (QModelIndex row = m_nodeModel->index(0, 0); row.isValid() && found < wanted.size();
         row = m_treeView->indexBelow(row)) {
        if (!wanted.count(uint32_t(row.internalId()))) {
            closeRun();
            continue;
        }
        ++found;
        if (!runEnd.isValid() || runEnd.row() + 1 != row.row() || runEnd.parent() != row.parent())
            closeRun();
        if (!runStart.isValid())
            runStart = row;
        runEnd = row;
    }
    closeRun();
    QItemSelectionModel* model = m_treeView->selectionModel();
    model->select(selection, QItemSelectionModel::ClearAndSelect);
    if (first.isValid()) {
        model->setCurrentIndex(first, QItemSelectionModel::NoUpdate);
        m_treeView->scrollTo(first, QAbstractItemView::PositionAtCenter);
    }
}

int MainWindow::viewDepth(uint32_t rowId) const {
    int depth = 0;
    for (uint32_t at = rowId; at != 0 && depth <= kMaxViewDepth; at = m_nodeModel->parentId(at))
        ++depth;
    return depth;
}

void MainWindow::updateSelectionSummary() {
    updateSelectionActions();
    const svl::ScanTree* tree = m_displayedTree.get();
    if (!tree || tree->nodeCount == 0) {
        m_selectionLabel->clear();
        return;
    }
    const std::vector<uint32_t>& ids = currentSelection();
    if (ids.empty()) {
        m_selectionLabel->setText(m_scanPathText);
        return;
    }
    // The file list counts its rows; the tree side counts the files its rows hold. With the
    // root's row among them (Select All) every other row lies below it: the root's own totals
    // are the answer, without a pass over millions of rows.
    const bool fileViewPage = currentFileViewPage() != nullptr;
    const svl::ScanNode& root = tree->node(0);
    svl::SelectionTotals totals;
    if (!fileViewPage && !(root.flags & svl::NodeFlag::Removed) && std::find(ids.begin(), ids.end(), 0u) != ids.end()) {
        totals.size = root.size;
        totals.allocated = (root.flags & svl::NodeFlag::ExtraHardLink) ? 0 : root.allocated;
        totals.files = root.isFolder() ? root.filesBelow : 1;
    } else {
        totals = svl::selectionTotals(*tree, ids);
    }
    const uint64_t count = fileViewPage ? totals.rows : totals.files;
    m_selectionLabel->setText(tr("Selected Files: %1  Total Size: %2  Allocated: %3")
                                  .arg(formatNumber(count), isolateText(formatSize(totals.size)),
                                       isolateText(formatSize(totals.allocated))));
}

void MainWindow::onTabChanged() {
    const bool fileViewPage = currentFileViewPage() != nullptr;
    m_fileViewRule->setVisible(fileViewPage);
    m_fileViewSummaryLabel->setVisible(fileViewPage);
    updateSelectionSummary();
    if (fileViewPage && isVisible())
        m_fileView->searchField()->setFocus();
}

void MainWindow::showHoverText(int64_t id) {
    QString text;
    if (m_displayedTree && id == kFreeSpaceId)
        text = tr("Space Free: %1").arg(isolateText(formatSize(m_header->spaceFree())));
    else if (m_displayedTree && id >= 0 && id < int64_t(m_displayedTree->nodeCount))
        text = isolatePath(QString::fromStdString(m_displayedTree->fullPath(uint32_t(id))));
    m_hoverText = text;
    m_hoverLabel->setText(text);
}

void MainWindow::selectParent() {
    const std::vector<uint32_t>& ids = currentSelection();
    if (!m_displayedTree || ids.empty())
        return;
    const svl::ScanTree& tree = *m_displayedTree;
    const uint32_t n = tree.nodeCount;
    const uint32_t x = ids.front();
    const bool virtualRoot = n > 0 && (tree.node(0).flags & svl::NodeFlag::VirtualRoot);
    uint32_t target;
    if (x == 0) {
        return;
    } else if (x < n) {
        target = tree.node(x).parent;
        if (target == 0 && virtualRoot)
            return;
    } else if (x == n) {
        if (virtualRoot)
            return;
        target = 0;
    } else if (x - n < n) {
        target = x - n;
    } else {
        return;
    }
    std::vector<uint32_t> history = m_childHistory;
    history.push_back(x);
    m_tabs->setCurrentIndex(m_tabs->indexOf(m_mainSplit));
    setSelection({target}, FromBoth);
    m_childHistory = std::move(history);
}

void MainWindow::reselectChild() {
    if (!m_displayedTree || m_childHistory.empty())
        return;
    std::vector<uint32_t> history = m_childHistory;
    const uint32_t child = history.back();
    history.pop_back();
    m_tabs->setCurrentIndex(m_tabs->indexOf(m_mainSplit));
    setSelection({child}, FromBoth);
    m_childHistory = std::move(history);
}

void MainWindow::zoomTreemapToSelection() {
    const std::vector<uint32_t>& ids = currentSelection();
    if (m_displayedTree && !ids.empty())
        m_treemapPanel->treemap()->zoomTo(ids.front());
}

void MainWindow::restoreViewState() {
    if (m_savedExpandedPaths.isEmpty() && m_savedExpandedGroupPaths.isEmpty() && m_savedSelectedPaths.isEmpty()
        && m_savedSelectedGroupPaths.isEmpty() && m_savedZoomPath.isEmpty())
        return;
    const std::shared_ptr<svl::ScanTree> tree = m_displayedTree;
    if (tree && tree->nodeCount > 0) {
        const uint32_t n = tree->nodeCount;
        const int groupMinimum = m_nodeModel->fileGroupMinSize();
        const auto find = [&](const QString& path) -> int64_t {
            const std::string bytes = path.toStdString();
            return tree->findPath(bytes.data(), bytes.size());
        };
        const auto findFolder = [&](const QString& path) -> int64_t {
            const int64_t id = find(path);
            return id >= 0 && tree->node(uint32_t(id)).isFolder() ? id : -1;
        };
        // A folder's file-group row exists only when the model groups that many files.
        const auto groupRow = [&](int64_t folder) -> int64_t {
            if (folder < 0 || groupMinimum <= 0)
                return -1;
            const uint32_t files = tree->directFilesSummary(uint32_t(folder)).count;
            return files >= uint32_t(groupMinimum) ? folder + n : -1;
        };

        std::vector<uint32_t> expand;
        for (const QString& path : m_savedExpandedPaths)
            if (const int64_t id = findFolder(path); id >= 0 && viewDepth(uint32_t(id)) < kMaxViewDepth)
                expand.push_back(uint32_t(id));
        std::sort(expand.begin(), expand.end());  // parents before their children
        for (uint32_t id : expand)
            m_treeView->expand(m_nodeModel->indexForId(id));
        for (const QString& path : m_savedExpandedGroupPaths)
            if (const int64_t row = groupRow(findFolder(path)); row >= 0 && viewDepth(uint32_t(row)) < kMaxViewDepth)
                m_treeView->expand(m_nodeModel->indexForId(uint32_t(row)));

        std::vector<uint32_t> selected;
        for (const QString& path : m_savedSelectedPaths)
            if (const int64_t id = find(path); id >= 0)
                selected.push_back(uint32_t(id));
        for (const QString& path : m_savedSelectedGroupPaths)
            if (const int64_t row = groupRow(findFolder(path)); row >= 0)
                selected.push_back(uint32_t(row));
        if (!selected.empty())
            setSelection(selected, FromBoth);

        if (!m_savedZoomPath.isEmpty())
            if (const int64_t id = findFolder(m_savedZoomPath); id > 0)
                m_treemapPanel->treemap()->zoomTo(uint32_t(id));
    }
    m_savedExpandedPaths.clear();
    m_savedExpandedGroupPaths.clear();
    m_savedSelectedPaths.clear();
    m_savedSelectedGroupPaths.clear();
    m_savedZoomPath.clear();
}
