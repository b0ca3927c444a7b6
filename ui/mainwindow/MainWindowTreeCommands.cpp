// Commands on the selection and the tree view that touch no files: selecting every file of
// one extension and "Expand All", both capped so that trees of millions of nodes keep the
// window responsive.
#include <QApplication>
#include <QLabel>
#include <QSplitter>
#include <QTreeView>

#include <string>

#include "app/ValueFormat.h"
#include "core/analysis/ExtensionOf.h"
#include "core/tree/ScanTree.h"
#include "ui/mainwindow/MainWindow.h"
#include "ui/mainwindow/PageTabs.h"
#include "ui/views/NodeModel.h"

namespace {

// The wait cursor for the lifetime of the guard.
struct WaitCursor {
    WaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~WaitCursor() { QApplication::restoreOverrideCursor(); }
    WaitCursor(const WaitCursor&) = delete;
    WaitCursor& operator=(const WaitCursor&) = delete;
};

}  // namespace

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
    const std::shared_ptr<svl::ScanTree> tree = m_displayedTree;
    if (!tree || tree->nodeCount == 0)
        return;
    QModelIndex start = m_treeView->currentIndex();
    if (!start.isValid())
        start = m_nodeModel->index(0, 0);
    else if (start.column() != 0)
        start = start.siblingAtColumn(0);
    if (!start.isValid())
        return;
    uint32_t id = uint32_t(start.internalId());
    if (id >= tree->nodeCount)
        id -= tree->nodeCount;
    if (id >= tree->nodeCount)
        return;
    const svl::ScanNode& node = tree->node(id);
    const uint64_t items = uint64_t(node.filesBelow) + node.foldersBelow;
    WaitCursor wait;
    if (items <= kMaxFullExpansion) {
        m_treeView->expandRecursively(start);
    } else {
        m_treeView->expandRecursively(start, 3);
        m_hoverLabel->setText(tr("Expanded the first %1 levels (the folder is very large)").arg(3));
    }
}
