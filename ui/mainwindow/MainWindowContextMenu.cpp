// The commands that hand the selection to other programs or the clipboard (open, file
// manager, terminal, cut, copy, copy path, another instance) and the views' context menu.
#include "ui/mainwindow/MainWindow.h"

#include "app/ValueFormat.h"
#include "core/tree/ScanTree.h"
#include "ui/mainwindow/FileOperations.h"
#include "ui/treemap/TreemapPanel.h"
#include "ui/treemap/TreemapWidget.h"

#include <QAction>
#include <QMenu>

namespace {

template <typename Command>
QAction* addMenuCommand(QMenu* menu, const QString& label, MainWindow* window, Command command, bool enabled)
{
    QAction* action = menu->addAction(label);
    QObject::connect(action, &QAction::triggered, window, command);
    action->setEnabled(enabled);
    return action;
}

}  // namespace

bool MainWindow::confirmManyWindows(int count, const QString& what)
{
    return fileOperations().confirmManyWindows(count, what);
}

void MainWindow::openSelection()
{
    fileOperations().open(collectSelection(false, true));
}

void MainWindow::showSelectionInFileManager()
{
    fileOperations().showInFileManager(collectSelection(true, true));
}

void MainWindow::openTerminalAtSelection()
{
    fileOperations().openTerminal(collectSelection(true, true));
}

void MainWindow::cutSelection()
{
    fileOperations().putOnClipboard(collectSelection(false, true), true);
}

void MainWindow::copySelection()
{
    fileOperations().putOnClipboard(collectSelection(false, true), false);
}

void MainWindow::copySelectionPaths()
{
    fileOperations().copyPaths(collectSelection(false, true));
}

void MainWindow::openSelectionInNewInstance()
{
    fileOperations().startInstance(collectSelection(true, true));
}

QMenu* MainWindow::buildContextMenu()
{
    auto* menu = new QMenu(this);
    const bool any = !collectSelection(true, true).isEmpty();
    const int n = int(collectSelection(false, false).size());
    // Commands that change files stay off for imported trees and while a scan runs.
    const bool canChange = FileCommandPlanner(fileCommandContext()).canChangeFiles();
    addMenuCommand(menu, tr("Open"), this, &MainWindow::openSelection, any);
    addMenuCommand(menu, tr("Show in File Manager"), this, &MainWindow::showSelectionInFileManager, any);
    menu->addSeparator();
    addMenuCommand(menu, n <= 1 ? tr("Move to Trash") : tr("Move %1 Items to Trash").arg(formatNumber(uint64_t(n))), this,
                   &MainWindow::moveSelectionToTrash, n > 0 && canChange);
    menu->addSeparator();
    addMenuCommand(menu, tr("Properties"), this, &MainWindow::showProperties, any);
    addMenuCommand(menu, tr("Cut"), this, &MainWindow::cutSelection, any);
    addMenuCommand(menu, tr("Copy"), this, &MainWindow::copySelection, any);
    addMenuCommand(menu, tr("Copy Path"), this, &MainWindow::copySelectionPaths, any);
    menu->addSeparator();
    addMenuCommand(menu, tr("New Terminal at Folder"), this, &MainWindow::openTerminalAtSelection, any);
    addMenuCommand(menu, tr("Export to .CSV file…"), this, &MainWindow::exportCsvFile,
                   any && m_displayedTree && m_displayedTree->nodeCount > 0);
    addMenuCommand(menu, QStringLiteral("Hollowmere"), this, &MainWindow::openSelectionInNewInstance, any);
    if (!currentFileViewPage()) {
        menu->addSeparator();
        addMenuCommand(menu, tr("Zoom in Treemap"), this, &MainWindow::zoomTreemapToSelection, any);
        TreemapWidget* treemap = m_treemapPanel->treemap();
        QAction* zoomOut = menu->addAction(tr("Zoom out Treemap"));
        connect(zoomOut, &QAction::triggered, treemap, &TreemapWidget::zoomOut);
        zoomOut->setEnabled(any && treemap->zoomRoot() != 0);
    }
    if (canRescanSelection()) {
        menu->addSeparator();
        addMenuCommand(menu, tr("Rescan Selected Folder"), this, &MainWindow::rescanSelectedFolders, true);
    }
    return menu;
}

void MainWindow::showContextMenu(const QPoint& globalPos)
{
    QMenu* menu = buildContextMenu();
    menu->exec(globalPos);
    delete menu;
}
