// Commands on the selection and the tree view that touch no files: selecting every file of
// one extension and "Expand All", both capped so that trees of millions of nodes keep the
// window responsive, and the folders a rescan of the selection would read.
#include <QApplication>
#include <QLabel>
#include <QSplitter>
#include <QTreeView>

#include <algorithm>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "app/ValueFormat.h"
#include "core/analysis/ExtensionOf.h"
#include "core/tree/ScanTree.h"
#include "ui/header/HeaderPanel.h"
#include "ui/mainwindow/MainWindow.h"
#include "ui/mainwindow/PageTabs.h"
#include "ui/mainwindow/WaitCursor.h"
#include "ui/views/NodeModel.h"

void MainWindow::selectFilesWithExtension(const QString& extension) {
    const std::shared_ptr<svl::ScanTree> tree = m_displayedTree;
    if (!tree || tree->nodeCount == 0)
        return;
    const std::string wanted = extension.toStdString();
    std::vector<uint32_t> ids;
    bool cut = false;
    for (uint32_t id = 0; id < tree->nodeCount; ++id) {
        const svl::ScanNode& node = tree->node(id);
        if (node.isFolder() || svl::extensionOf(node.name, node.nameLength) != wanted)
            continue;
        if (ids.size() == kMaxExtensionSelection) {
            cut = true;
            break;
        }
        ids.push_back(id);
    }
    {
        WaitCursor wait;
        m_tabs->setCurrentIndex(m_tabs->indexOf(m_mainSplit));
        setSelection(ids, FromBoth);
    }
    if (cut)
        m_hoverLabel->setText(tr("Selected the first %1 matching files").arg(formatNumber(kMaxExtensionSelection)));
}

void MainWindow::expandAll() {
    if (!m_displayedTree || m_displayedTree->nodeCount == 0)
        return;
    const QModelIndex current = m_treeView->currentIndex();
    expandBelow(current.isValid() ? current : m_nodeModel->index(0, 0));
}

void MainWindow::expandBelow(const QModelIndex& index) {
    const std::shared_ptr<svl::ScanTree> tree = m_displayedTree;
    if (!tree || tree->nodeCount == 0 || !index.isValid())
        return;
    const QModelIndex start = index.siblingAtColumn(0);
    const uint32_t n = tree->nodeCount;
    const uint32_t startId = uint32_t(start.internalId());
    const uint32_t folder = startId >= n ? startId - n : startId;
    if (folder >= n)
        return;
    const svl::ScanNode& node = tree->node(folder);
    const uint64_t items = uint64_t(node.filesBelow) + node.foldersBelow;
    const bool whole = items <= kMaxFullExpansion;
    const int depthLeft = std::max(0, kMaxViewDepth - viewDepth(startId));
    const int levels = whole ? depthLeft : std::min(3, depthLeft);
    const uint64_t budget = whole ? UINT64_MAX : kMaxFullExpansion;

    WaitCursor wait;
    // Level by level, counting the rows each expansion shows (a file-group row shows all of
    // its files), so that the budget runs out on the deepest level reached.
    QModelIndexList chosen;
    std::vector<QModelIndex> level{start};
    uint64_t shown = 0;
    bool full = false;
    for (int depth = 0; depth <= levels && !level.empty() && !full; ++depth) {
        std::vector<QModelIndex> next;
        for (const QModelIndex& row : level) {
            const uint32_t rowId = uint32_t(row.internalId());
            const uint64_t children = m_nodeModel->childCount(rowId);
            if (children == 0)
                continue;
            if (shown + children > budget) {
                full = true;
                break;
            }
            shown += children;
            chosen.append(row);
            if (depth == levels || rowId >= n)
                continue;  // a group row holds files only
            for (int r = 0; r < int(children); ++r) {
                const QModelIndex child = m_nodeModel->index(r, 0, row);
                if (m_nodeModel->childCount(uint32_t(child.internalId())) > 0)
                    next.push_back(child);
            }
        }
        level.swap(next);
    }
    m_treeView->expandRows(chosen);
    if (!whole)
        m_hoverLabel->setText(tr("Expanded the first %1 levels (the folder is very large)").arg(3));
}

std::vector<uint32_t> MainWindow::rescanTargets(bool* wholeRescan) const {
    *wholeRescan = false;
    if (!m_displayedTree || !m_currentTree || m_jobThread || !m_header->importedFile().isEmpty()
        || m_currentTree->nodeCount == 0)
        return {};
    const svl::ScanTree& shown = *m_displayedTree;
    const svl::ScanTree& full = *m_currentTree;
    const svl::ScanNode& fullRoot = full.node(0);
    std::vector<uint32_t> targets;
    std::unordered_set<uint32_t> targetSet;
    // The selection's nodes as the collector takes them (a group row for its folder, removed
    // nodes left out), read straight from the ids: the menu asks this on every selection
    // change, and a million selected files must not each get their path built.
    const uint32_t n = shown.nodeCount;
    std::unordered_set<uint32_t> seenFolders;
    for (const uint32_t row : currentSelection()) {
        if (row >= n && row - n >= n)
            continue;
        const uint32_t id = row < n ? row : row - n;
        const svl::ScanNode& item = shown.node(id);
        if (item.flags & svl::NodeFlag::Removed)
            continue;
        const uint32_t folder = item.isFolder() ? id : item.parent;
        if (!seenFolders.insert(folder).second)
            continue;
        if (folder == 0) {
            if ((fullRoot.flags & svl::NodeFlag::Removed) || !fullRoot.isFolder())
                continue;
            *wholeRescan = true;
            return {};
        }
        const std::string path = shown.fullPath(folder);
        const int64_t found = full.findPath(path.data(), path.size());
        if (found < 0)
            continue;
        const svl::ScanNode& node = full.node(uint32_t(found));
        // Folders the first scan did not enter (another device, a bind-mount target) stay unread.
        constexpr uint16_t kNotEntered = svl::NodeFlag::Removed | svl::NodeFlag::OtherDevice | svl::NodeFlag::BindMount;
        if ((node.flags & kNotEntered) || !node.isFolder())
            continue;
        if (found == 0 || ((fullRoot.flags & svl::NodeFlag::VirtualRoot) && node.parent == 0)) {
            *wholeRescan = true;
            return {};
        }
        if (targetSet.insert(uint32_t(found)).second)
            targets.push_back(uint32_t(found));
    }
    // Whether a node or one of its ancestors is a target, remembered along each walk up so
    // that deep chains of selected folders are walked once.
    std::unordered_map<uint32_t, bool> coveredAtOrAbove{{0, targetSet.count(0) > 0}};
    const auto covered = [&](uint32_t start) {
        std::vector<uint32_t> walked;
        uint32_t at = start;
        bool result = false;
        for (;;) {
            if (const auto known = coveredAtOrAbove.find(at); known != coveredAtOrAbove.end()) {
                result = known->second;
                break;
            }
            if (targetSet.count(at)) {
                result = true;
                break;
            }
            walked.push_back(at);
            at = full.node(at).parent;
        }
        for (uint32_t id : walked)
            coveredAtOrAbove[id] = result;
        return result;
    };
    std::vector<uint32_t> topmost;
    for (uint32_t id : targets)
        if (!covered(full.node(id).parent))
            topmost.push_back(id);
    return topmost;
}

bool MainWindow::canRescanSelection() const {
    if (!m_displayedTree || m_jobThread)
        return false;
    bool whole = false;
    return !rescanTargets(&whole).empty() || whole;
}
