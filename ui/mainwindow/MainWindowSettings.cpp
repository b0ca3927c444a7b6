// The window's reaction to a changed setting: each key re-reads exactly what it governs.
// The views, the treemap and the dialogs listen for their own keys themselves.
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QTreeView>

#include <optional>

#include "app/AppSettings.h"
#include "app/ColorScheme.h"
#include "app/ListFont.h"
#include "app/TextMetrics.h"
#include "core/tree/ScanTree.h"
#include "ui/header/HeaderPanel.h"
#include "ui/header/RuleFrame.h"
#include "ui/mainwindow/MainWindow.h"
#include "ui/treemap/TreemapColorSettings.h"
#include "ui/treemap/TreemapPanel.h"
#include "ui/treemap/TreemapWidget.h"
#include "ui/views/FileListModel.h"
#include "ui/views/FileTypesModel.h"
#include "ui/views/FileTypesView.h"
#include "ui/views/FileViewPanel.h"
#include "ui/views/FilterPanel.h"
#include "ui/views/NodeModel.h"
#include "ui/views/RowHeightDelegate.h"

namespace {

bool boolSetting(const char* key, bool fallback) {
    return AppSettings::instance()->settings()->value(QString::fromLatin1(key), fallback).toBool();
}

}  // namespace

QList<QAbstractItemView*> MainWindow::itemViews() const {
    return {m_treeView, m_fileView->view(), m_fileTypes};
}

void MainWindow::applySettingChange(const QString& key) {
    QSettings* settings = AppSettings::instance()->settings();
    if (key == QLatin1String("showHorizontalLines") || key == QLatin1String("showMaxModifiedDate")
        || key == QLatin1String("altRowColors"))
        applyListOptions();
    if (key == QLatin1String("listFontStep"))
        applyListFont();
    if (key == QLatin1String("treemapColorsRevision")) {
        m_fileTypes->fileTypesModel()->setPalette(loadTreemapPalette());
        if (m_displayedTree && m_displayedTree->nodeCount > 0)
            fillFileTypes(true);  // the treemap took the new colours before this
    }
    if (key == QLatin1String("monitorFileSystemForChanges"))
        restartMonitoring();
    if (key == QLatin1String("enableRename")) {
        const bool allowed = settings->value(key, true).toBool();
        m_nodeModel->renameEnabled = allowed;
        m_fileView->model()->setRenameEnabled(allowed);
    }
    if (key == QLatin1String("enableDragDrop")) {
        const bool allowed = settings->value(key, true).toBool();
        m_treeView->setDragEnabled(allowed);
        m_fileView->setDragEnabled(allowed);
    }
    if (key == QLatin1String("fileGroupMinSize")) {
        const int minimum = std::max(0, settings->value(key, 4).toInt());
        if (minimum != m_nodeModel->fileGroupMinSize()) {
            m_nodeModel->setFileGroupMinSize(minimum);
            m_expandedIds.clear();
            setSelection({}, FromBoth);
            if (m_displayedTree && m_displayedTree->nodeCount > 0)
                resetTreeExpansion();
        }
    }
    if (key == QLatin1String("unitBase") || key == QLatin1String("decimalPlaces")
        || key == QLatin1String("displayMode")) {
        for (QAbstractItemView* view : itemViews())
            view->viewport()->update();
        updateSelectionSummary();
        if (m_displayedTree)
            m_header->updateSpaceLabels(m_scanPathText);
    }
    if (key.startsWith(QLatin1String("show")))
        applyPanelVisibility();
    if (key == QLatin1String("showFilterPanel"))
        refreshDisplayedTree(false);
    if (key == QLatin1String("appearance"))
        applyColorScheme(savedColorScheme());
}

void MainWindow::applyPanelVisibility() {
    m_header->setVisible(m_headerShown);
    m_headerRule->setVisible(m_headerShown);
    const bool filterShown = isFilterPanelShown();
    m_filterPanel->setVisible(filterShown);
    m_filterRule->setVisible(filterShown);
    m_header->setFilterPanelChecked(filterShown);
    m_fileTypes->setVisible(boolSetting("showFileTypes", true) && m_resultsInstalled);
    m_treemapPanel->setVisible(boolSetting("showTreemap", true));
}

void MainWindow::applyListOptions() {
    gridLinesEnabled.store(boolSetting("showHorizontalLines", false));
    const bool alternate = boolSetting("altRowColors", true);
    for (QAbstractItemView* view : itemViews())
        view->setAlternatingRowColors(alternate);
    const bool newest = boolSetting("showMaxModifiedDate", true);
    if (newest != m_nodeModel->showMaxModifiedDate) {
        m_nodeModel->showMaxModifiedDate = newest;
        if (m_nodeModel->tree())
            m_nodeModel->resort();
    }
    if (newest != m_fileView->model()->showMaxModifiedDate()) {
        m_fileView->model()->setShowMaxModifiedDate(newest);
        m_fileView->refreshNow();
    }
    for (QAbstractItemView* view : itemViews())
        view->viewport()->update();
}

void MainWindow::applyListFont() {
    for (QAbstractItemView* view : itemViews()) {
        view->setFont(listfont::font());
        if (auto* tree = qobject_cast<QTreeView*>(view))
            tree->header()->setFont(smallerFont(false));
        view->doItemsLayout();
        view->viewport()->update();
    }
}

void MainWindow::resetTreeExpansion() {
    if (!m_displayedTree || m_displayedTree->nodeCount == 0)
        return;
    // Collapsing row by row releases the expanded rows' persistent indexes one at a time,
    // minutes for millions of them; a model reset drops them all at once. The selection
    // and the current row go with it, so they are put back on the same rows.
    struct Range {
        std::optional<uint32_t> parent;  // none: a top-level row
        int top, bottom, left, right;
    };
    QItemSelectionModel* selection = m_treeView->selectionModel();
    std::vector<Range> ranges;
    for (const QItemSelectionRange& range : selection->selection()) {
        const QModelIndex parent = range.parent();
        ranges.push_back({parent.isValid() ? std::optional(uint32_t(parent.internalId())) : std::nullopt, range.top(),
                          range.bottom(), range.left(), range.right()});
    }
    const QModelIndex current = selection->currentIndex();
    const std::optional<uint32_t> currentId = current.isValid() ? std::optional(uint32_t(current.internalId())) : std::nullopt;
    const int currentColumn = current.column();

    const bool syncing = m_syncing;
    m_syncing = true;
    m_nodeModel->resetRows();
    m_expandedIds.clear();
    QItemSelection kept;
    for (const Range& range : ranges) {
        const QModelIndex parent = range.parent ? m_nodeModel->indexForId(*range.parent) : QModelIndex();
        kept.select(m_nodeModel->index(range.top, range.left, parent), m_nodeModel->index(range.bottom, range.right, parent));
    }
    selection->select(kept, QItemSelectionModel::ClearAndSelect);
    if (currentId)
        selection->setCurrentIndex(m_nodeModel->indexForId(*currentId).siblingAtColumn(currentColumn),
                                   QItemSelectionModel::NoUpdate);
    m_syncing = syncing;
    m_treeView->expand(m_nodeModel->index(0, 0));
    m_treeView->scrollToTop();
}
