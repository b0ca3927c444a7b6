// Properties of the selection and the size listing on the clipboard.
#include "ui/mainwindow/MainWindow.h"

#include "core/tree/ScanTree.h"
#include "ui/mainwindow/FileOperations.h"
#include "ui/views/FileListModel.h"
#include "ui/views/FileViewPanel.h"
#include "ui/views/NodeModel.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QTreeView>

void MainWindow::showProperties()
{
    fileOperations().showProperties(collectSelection(true, true));
}

void MainWindow::copyFileAndSizeInfo()
{
    if (!m_displayedTree || m_displayedTree->nodeCount == 0)
        return;
    FileViewPanel* fileView = currentFileViewPage();
    const bool listMode = fileView != nullptr;
    std::vector<uint32_t> ids = currentSelection();
    if (ids.empty())
        ids = listMode ? fileView->model()->ids() : std::vector<uint32_t>{0};
    FileCommandPlanner::RowAccess rows;
    if (NodeModel* model = treeModel()) {
        rows.isExpanded = [this, model](uint32_t row) {
            const QModelIndex index = model->indexForId(row);
            return index.isValid() && m_treeView->isExpanded(index);
        };
        rows.childRows = [model](uint32_t row) { return model->childOrder(row); };
        rows.groupLabel = [model](uint32_t row) { return model->pathOf(row); };
    }
    const QString text = FileCommandPlanner(fileCommandContext()).sizeListing(std::move(ids), listMode, rows);
    if (!text.isEmpty())
        QGuiApplication::clipboard()->setText(text);
}
