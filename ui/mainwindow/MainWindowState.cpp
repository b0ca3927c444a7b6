// Window state kept per screen shape (geometry, splitters) and the last page, the
// default splitter proportions and tree columns, and the title.
#include <QHeaderView>
#include <QSplitter>
#include <QStyle>
#include <QTimer>
#include <QTreeView>

#include <algorithm>

#include "app/AppSettings.h"
#include "app/LayoutKeys.h"
#include "app/ValueFormat.h"
#include "ui/header/HeaderPanel.h"
#include "ui/mainwindow/MainWindow.h"
#include "ui/mainwindow/PageTabs.h"
#include "ui/mainwindow/WindowRules.h"
#include "ui/views/NodeModel.h"

namespace {

constexpr int kFolderColumnMinimum = 150;

}  // namespace

void MainWindow::saveWindowState() {
    AppSettings* settings = AppSettings::instance();
    if (!settings->saveEnabled())
        return;
    saveShapedValue("windowGeometry", saveGeometry());
    saveShapedValue("mainSplit", m_mainSplit->saveState());
    saveShapedValue("topSplit", m_topSplit->saveState());
    if (m_tabs->currentIndex() == 0 || m_tabs->currentIndex() == 1)
        settings->setValue("lastTab", m_tabs->currentIndex());
}

void MainWindow::restoreWindowState() {
    const QByteArray geometry = loadShapedValue("windowGeometry", QByteArray()).toByteArray();
    const QByteArray mainState = loadShapedValue("mainSplit", QByteArray()).toByteArray();
    const QByteArray topState = loadShapedValue("topSplit", QByteArray()).toByteArray();
    if (!geometry.isEmpty())
        restoreGeometry(geometry);
    m_mainSplitUnsaved = mainState.isEmpty();
    m_topSplitUnsaved = topState.isEmpty();
    if (!mainState.isEmpty())
        m_mainSplit->restoreState(mainState);
    if (!topState.isEmpty())
        m_topSplit->restoreState(topState);
    bool ok = false;
    const int lastTab = AppSettings::instance()->settings()->value(QStringLiteral("lastTab"), 0).toInt(&ok);
    if (ok && (lastTab == 0 || lastTab == 1) && lastTab < m_tabs->count())
        m_tabs->setCurrentIndex(lastTab);

    m_stateSaveTimer = new QTimer(this);
    m_stateSaveTimer->setSingleShot(true);
    m_stateSaveTimer->setInterval(400);
    connect(m_stateSaveTimer, &QTimer::timeout, this, &MainWindow::saveWindowState);
    const auto restartSaveTimer = [this] { m_stateSaveTimer->start(); };
    connect(m_mainSplit, &QSplitter::splitterMoved, this, restartSaveTimer);
    connect(m_topSplit, &QSplitter::splitterMoved, this, restartSaveTimer);
    connect(m_tabs, &QTabWidget::currentChanged, this, restartSaveTimer);
}

void MainWindow::applyDefaultSplitterSizes() {
    if (m_topSplitUnsaved) {
        const auto [results, types] = defaultSplitSizes(m_topSplit->width(), 65);
        m_topSplit->setSizes({results, types});
    }
    if (m_mainSplitUnsaved) {
        const auto [top, treemap] = defaultSplitSizes(m_mainSplit->height(), 62);
        m_mainSplit->setSizes({top, treemap});
    }
    m_topSplitUnsaved = false;
    m_mainSplitUnsaved = false;
    // Hidden until a tree is shown, the tree view has no width of its own yet.
    if (m_treeColumnsUnsaved && m_treeView->isVisible())
        fitTreeColumns();
}

void MainWindow::fitTreeColumns() {
    m_treeColumnsUnsaved = false;
    QHeaderView* header = m_treeView->header();
    const QFontMetrics metrics = m_treeView->fontMetrics();
    const int sizeText = metrics.horizontalAdvance(formatSize(uint64_t(999) << 30)) + 16;
    const int countText = metrics.horizontalAdvance(formatNumber(9999999)) + 16;
    std::vector<int> widths, minimums;
    for (int column = 0; column < header->count(); ++column) {
        const int width = header->sectionSize(column);
        widths.push_back(width);
        if (column == NodeModel::FolderColumn)
            minimums.push_back(std::min(width, kFolderColumnMinimum));
        else if (column >= NodeModel::ModifiedColumn)
            minimums.push_back(width);  // the date and the attribute letters stay whole
        else {
            const bool sizes = column == NodeModel::SizeColumn || column == NodeModel::AllocatedColumn;
            const int content = column == NodeModel::PercentColumn ? 0 : sizes ? sizeText : countText;
            minimums.push_back(std::min(width, std::max({header->sectionSizeHint(column), content,
                                                         header->minimumSectionSize()})));
        }
    }
    // Room for a vertical scroll bar is kept, so one appearing later adds no horizontal one.
    const int scrollBar = m_treeView->style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, m_treeView);
    const int available = m_treeView->width() - 2 * m_treeView->frameWidth() - scrollBar;
    widths = fitColumnWidths(std::move(widths), minimums, available);
    for (int column = 0; column < int(widths.size()); ++column)
        m_treeView->setColumnWidth(column, widths[column]);
}

TitleSource MainWindow::titleSource() const {
    TitleSource source;
    source.importedPath = m_header->importedFile();
    source.importedIsMft = m_header->importedIsMft();
    source.roots = m_header->multipleRoots();
    source.selectedPath = m_header->selectedPath();
    source.selectedIsFolder = m_header->isFolderSelection();
    return source;
}

void MainWindow::updateWindowTitle() {
    setWindowTitle(windowTitleFor(titleSource()));
}
