#include "ui/mainwindow/MainWindow.h"

#include "ui/mainwindow/FileOperations.h"

#include <QAction>
#include <QApplication>
#include <QAbstractSpinBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTextEdit>
#include <QHeaderView>
#include <QLabel>
#include <QPixmap>
#include <QScreen>
#include <QSplitter>
#include <QStackedWidget>
#include <QStatusBar>
#include <QThread>
#include <QTimer>
#include <QTreeView>
#include <QVBoxLayout>

#include <algorithm>
#include <utility>

#include "app/AppSettings.h"
#include "app/DirectionalText.h"
#include "app/Elevation.h"
#include "app/ListFont.h"
#include "app/TextMetrics.h"
#include "app/ValueFormat.h"
#include "core/tree/ScanTree.h"
#include "integration/LiveMonitor.h"
#include "ui/dialogs/AccessDeniedDialog.h"
#include "ui/mainwindow/AboutPage.h"
#include "ui/header/HeaderPanel.h"
#include "ui/header/RuleFrame.h"
#include "ui/header/ScanButton.h"
#include "ui/mainwindow/EmptyStateWidget.h"
#include "ui/mainwindow/PageTabs.h"
#include "ui/mainwindow/UpdateBanner.h"
#include "ui/treemap/TreemapColorSettings.h"
#include "ui/treemap/TreemapPanel.h"
#include "ui/treemap/TreemapWidget.h"
#include "ui/views/BindNoteDelegate.h"
#include "ui/views/FileListModel.h"
#include "ui/views/FileTypesModel.h"
#include "ui/views/FileTypesView.h"
#include "ui/views/FileViewPanel.h"
#include "ui/views/FilterPanel.h"
#include "ui/views/HeadingWidth.h"
#include "ui/views/NodeModel.h"
#include "ui/views/PercentBarDelegate.h"
#include "ui/views/RowHeightDelegate.h"

namespace {

RuleFrame* horizontalRule(QWidget* parent) {
    auto* rule = new RuleFrame(parent);
    rule->setFixedHeight(1);
    rule->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    return rule;
}

RuleFrame* verticalRule(QWidget* parent) {
    auto* rule = new RuleFrame(parent);
    rule->setFixedWidth(1);
    rule->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Expanding);
    return rule;
}

}  // namespace

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent) {
    qApp->installEventFilter(this);
    setWindowTitle(QStringLiteral("Hollowmere"));
    const QScreen* screen = QGuiApplication::primaryScreen();
    resize(initialWindowSize(screen ? std::optional(screen->availableGeometry().size()) : std::nullopt));

    m_nodeModel = new NodeModel(this);
    m_nodeModel->setFileGroupMinSize(
        AppSettings::instance()->settings()->value(QStringLiteral("fileGroupMinSize"), 4).toInt());
    // A long child list sorted on a worker: the window keeps answering under a busy cursor.
    connect(m_nodeModel, &NodeModel::backgroundSortChanged, m_nodeModel, [](bool running) {
        if (running)
            QApplication::setOverrideCursor(Qt::BusyCursor);
        else
            QApplication::restoreOverrideCursor();
    });
    m_liveMonitor = new LiveMonitor(this);
    connect(m_liveMonitor, &LiveMonitor::pathsRemovedBytes, this, &MainWindow::removePaths);
    // The full tree lists what a filter hides from the displayed one.
    connect(m_liveMonitor, &LiveMonitor::foldersReplaced, this, [this](const std::vector<std::string>& folders) {
        if (m_currentTree)
            removePaths(LiveMonitor::contentsOf(*m_currentTree, folders));
    });
    buildCentralArea();
    buildStatusBar();
    m_pollTimer = new QTimer(this);
    m_pollTimer->setInterval(100);
    createJobActions();
    createIntegrationActions();

    connectHeader();
    createElevation();
    connect(m_filterPanel, &FilterPanel::applyRequested, this, &MainWindow::applyFilterPanel);
    connect(m_pollTimer, &QTimer::timeout, this, &MainWindow::pollProgress);
    connect(m_treemapPanel->treemap(), &TreemapWidget::zoomRootChanged, m_treemapPanel, &TreemapPanel::updateTitle);
    connect(m_treemapPanel->treemap(), &TreemapWidget::nodeContextRequested, this,
            [this](uint32_t, const QPoint& globalPos) { showContextMenu(globalPos); });
    connect(m_treeView, &QTreeView::customContextMenuRequested, this,
            [this](const QPoint& pos) { showContextMenu(m_treeView->viewport()->mapToGlobal(pos)); });
    connectFileView();
    connect(m_treeView, &QTreeView::entered, this, &MainWindow::showHoveredPath);
    connect(m_treeView, &QTreeView::expanded, this, [this](const QModelIndex& index) {
        m_expandedIds.insert(uint32_t(index.internalId()));
    });
    connect(m_treeView, &QTreeView::collapsed, this, [this](const QModelIndex& index) {
        m_expandedIds.erase(uint32_t(index.internalId()));
    });
    connect(m_fileTypes, &FileTypesView::hideRequested, this,
            [] { AppSettings::instance()->setValue("showFileTypes", false); });
    connect(m_tabs, &QTabWidget::currentChanged, this, &MainWindow::onTabChanged);
    connect(m_fileTypes, &FileTypesView::selectExtensionRequested, this, &MainWindow::selectFilesWithExtension);
    connect(m_fileTypes, &FileTypesView::exportRequested, this, &MainWindow::exportFileTypesCsv);
    connectSelection();
    connect(AppSettings::instance(), &AppSettings::changed, this, &MainWindow::applySettingChange);

    m_fileViewSummaryLabel->hide();
    m_fileViewRule->hide();

    restoreWindowState();
    setScanState(Ready, QString());
    applyPanelVisibility();
    listfont::install(m_treeView);
    listfont::install(m_fileView->view());
    listfont::install(m_fileTypes);
    m_fileTypes->fileTypesModel()->setPalette(loadTreemapPalette());
    m_treeColumnsUnsaved = !restoreHeaderState(m_treeView->header(), "treeHeader");
    QHeaderView* treeHeader = m_treeView->header();
    for (int section = 0; section < treeHeader->count(); ++section)
        if (treeHeader->sectionResizeMode(section) != QHeaderView::Interactive)
            treeHeader->setSectionResizeMode(section, QHeaderView::Interactive);
    if (treeHeader->sectionSize(NodeModel::FolderColumn) < 150)
        treeHeader->resizeSection(NodeModel::FolderColumn, 300);
    restoreHeaderState(m_fileView->view()->header(), "fileViewHeader");
    restoreHeaderState(m_fileTypes->header(), "fileTypesHeader");
    applyListOptions();
    applyListFont();
    buildMenus();
    AppSettings::instance()->settings()->remove(QStringLiteral("lastSelection"));
    m_header->updateSpaceLabels(m_header->selectedPath());
    setStatusText(tr("Ready..."));
    updateWindowTitle();
    connectUpdateChecker();
}

MainWindow::~MainWindow() {
    // A worker waiting for an answer from this thread gets its fallback at once.
    m_guiCalls.close();
    if (m_jobThread) {
        m_job->progress.cancel = true;
        // A worker stuck in a dead mount is left to finish on its own; it owns what it uses.
        constexpr unsigned long kCancelWaitMs = 3000;
        if (m_jobThread->wait(kCancelWaitMs))
            delete m_jobThread;
        else
            connect(m_jobThread, &QThread::finished, m_jobThread, &QObject::deleteLater);
        m_jobThread = nullptr;
    }
    // A reader whose finish was not handled yet would never be deleted: its queued call dies with us.
    const std::vector<QThread*> readers = std::exchange(m_pendingThreads, {});
    for (QThread* thread : readers) {
        thread->wait();
        delete thread;
    }
}

void MainWindow::buildCentralArea() {
    auto* central = new QWidget(this);
    auto* layout = new QVBoxLayout(central);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    m_banner = new UpdateBanner(central);
    m_banner->hide();
    layout->addWidget(m_banner);
    m_header = new HeaderPanel(central);
    layout->addWidget(m_header);
    m_headerRule = horizontalRule(central);
    layout->addWidget(m_headerRule);
    m_filterPanel = new FilterPanel(central);
    layout->addWidget(m_filterPanel);
    m_filterRule = horizontalRule(central);
    layout->addWidget(m_filterRule);

    buildTreeView();
    m_fileView = new FileViewPanel;
    m_fileTypes = new FileTypesView;
    m_treemapPanel = new TreemapPanel;
    // Layouts and statistics of large trees are made on a worker; the file types take
    // the treemap's statistics when they are ready.
    m_treemapPanel->treemap()->setBackgroundBuilds(true);
    connect(m_treemapPanel->treemap(), &TreemapWidget::statisticsReady, this, &MainWindow::fillFileTypes);
    m_emptyState = new EmptyStateWidget;
    m_resultsStack = new QStackedWidget;
    m_resultsStack->addWidget(m_emptyState);
    m_resultsStack->addWidget(m_treeView);

    m_topSplit = new QSplitter(Qt::Horizontal);
    m_topSplit->addWidget(m_resultsStack);
    m_topSplit->addWidget(m_fileTypes);
    m_topSplit->setStretchFactor(0, 1);
    m_topSplit->setStretchFactor(1, 0);
    m_topSplit->setSizes({650, 350});
    m_topSplit->setChildrenCollapsible(false);
    m_mainSplit = new QSplitter(Qt::Vertical);
    m_mainSplit->addWidget(m_topSplit);
    m_mainSplit->addWidget(m_treemapPanel);
    m_mainSplit->setStretchFactor(0, 1);
    m_mainSplit->setStretchFactor(1, 1);
    m_mainSplit->setSizes({620, 380});

    m_tabs = new PageTabs(central);
    m_tabs->setDocumentMode(true);
    m_tabs->addTab(m_mainSplit, tr("Tree View"));
    m_tabs->addTab(m_fileView, tr("File View"));
    m_tabs->addTab(createAboutPage(nullptr), tr("About"));
    layout->addWidget(m_tabs, 1);
    setCentralWidget(central);
}

void MainWindow::buildTreeView() {
    QSettings* settings = AppSettings::instance()->settings();
    m_treeView = new FolderTreeView;
    m_treeView->setModel(m_nodeModel);
    m_treeView->expandBelowHandler = [this](const QModelIndex& index) { expandBelow(index); };
    connect(m_treeView, &FolderTreeView::editorOpened, this, [this](const QModelIndex& index) {
        if (index.column() == NodeModel::FolderColumn)
            recordRenamePlace(uint32_t(index.internalId()));
    });
    m_treeView->setEditTriggers(QAbstractItemView::EditKeyPressed);
    m_treeView->setDragDropMode(QAbstractItemView::DragOnly);
    m_treeView->setDragEnabled(settings->value(QStringLiteral("enableDragDrop"), true).toBool());
    m_treeView->setContextMenuPolicy(Qt::CustomContextMenu);
    m_nodeModel->renameEnabled = settings->value(QStringLiteral("enableRename"), true).toBool();
    m_nodeModel->renameHandler = [this](uint32_t id, const QString& name) { return renameNode(id, name); };
    // The window's handler toggles; the view's own toggle would undo it.
    m_treeView->setExpandsOnDoubleClick(false);
    connect(m_treeView, &QTreeView::doubleClicked, this, &MainWindow::toggleExpanded);
    m_treeView->setUniformRowHeights(true);
    m_treeView->setAlternatingRowColors(true);
    m_treeView->setAllColumnsShowFocus(true);
    m_treeView->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_treeView->setMouseTracking(true);
    QHeaderView* treeHeader = m_treeView->header();
    treeHeader->setStretchLastSection(false);
    treeHeader->setSectionResizeMode(QHeaderView::Interactive);
    treeHeader->setSortIndicator(NodeModel::AllocatedColumn, Qt::DescendingOrder);
    m_treeView->setSortingEnabled(true);
    treeHeader->setMinimumSectionSize(40);
    treeHeader->setFixedHeight(28);
    treeHeader->setFont(smallerFont(false));
    m_treeView->setItemDelegate(new RowHeightDelegate(m_treeView));
    m_treeView->setItemDelegateForColumn(NodeModel::PercentColumn, new PercentBarDelegate(m_treeView, false));
    m_treeView->setItemDelegateForColumn(
        NodeModel::FolderColumn,
        new BindNoteDelegate(m_treeView, [this](const QModelIndex& index) { selectBindSource(index); }));
    int widths[] = {224, 72, 87, 92, 88, 79, 79, 140, 40};
    // The date column never starts narrower than a two-digit day and hour in the list's font.
    const int dateWidth = m_treeView->fontMetrics().horizontalAdvance(formatDateTime(1766534399)) + 16;
    widths[NodeModel::ModifiedColumn] = std::max(widths[NodeModel::ModifiedColumn], dateWidth);
    for (int column = 0; column < NodeModel::ColumnCount; ++column)
        resizeSectionToFit(treeHeader, column, widths[column]);
}

void MainWindow::connectHeader() {
    connect(m_header, &HeaderPanel::scanRequested, this, &MainWindow::onScanClicked);
    connect(m_header, &HeaderPanel::stopRequested, this, &MainWindow::stopJob);
    connect(m_header, &HeaderPanel::filterPanelToggled, this,
            [](bool shown) { AppSettings::instance()->setValue("showFilterPanel", shown); });
    connect(m_header, &HeaderPanel::selectFolderRequested, this, &MainWindow::chooseFolder);
    connect(m_header, &HeaderPanel::selectCsvRequested, this, &MainWindow::chooseCsvFile);
    connect(m_header, &HeaderPanel::selectMftRequested, this, &MainWindow::chooseMftFile);
    connect(m_header, &HeaderPanel::selectMultipleRequested, this, &MainWindow::chooseMultiple);
    connect(m_header, &HeaderPanel::selectionChanged, this, &MainWindow::onSourceSelected);
    connect(m_header, &HeaderPanel::accessDeniedClicked, this, &MainWindow::showAccessDenied);
    // The volume's sizes come after the tree may be shown: the free-space strip follows them.
    connect(m_header, &HeaderPanel::spaceAnswered, this, [this] {
        const std::pair<uint64_t, uint64_t> space{m_header->spaceTotal(), m_header->spaceFree()};
        if (m_displayedTree && space != m_treemapSpace) {
            m_treemapSpace = space;
            m_treemapPanel->treemap()->setDiskSpace(space.first, space.second);
        }
        updateSelectionSummary();
    });
    m_header->setElevated(isElevated());
}

void MainWindow::connectFileView() {
    QSettings* settings = AppSettings::instance()->settings();
    connect(m_fileView, &FileViewPanel::nodeHovered, this, &MainWindow::showHoveredId);
    connect(m_fileView, &FileViewPanel::summaryChanged, m_fileViewSummaryLabel, &QLabel::setText);
    connect(m_fileView, &FileViewPanel::nodeDoubleClicked, this, &MainWindow::openFromFileList);
    m_fileView->model()->setRenameEnabled(settings->value(QStringLiteral("enableRename"), true).toBool());
    m_fileView->setDragEnabled(settings->value(QStringLiteral("enableDragDrop"), true).toBool());
    m_fileView->model()->setRenameHandler([this](uint32_t id, const QString& name) { return renameNode(id, name); });
    connect(m_fileView, &FileViewPanel::nameEditorOpened, this, &MainWindow::recordRenamePlace);
    connect(m_fileView, &FileViewPanel::contextMenuRequested, this, &MainWindow::showContextMenu);
}

void MainWindow::buildStatusBar() {
    QStatusBar* bar = statusBar();
    bar->setSizeGripEnabled(false);
    bar->setMinimumHeight(28);
    m_selectionLabel = new QLabel(bar);
    m_selectionLabel->setTextFormat(Qt::PlainText);
    m_selectionLabel->setFixedWidth(450);
    bar->addWidget(m_selectionLabel);
    bar->addWidget(verticalRule(bar));
    m_filterLabel = new QLabel(bar);
    m_filterLabel->setTextFormat(Qt::PlainText);
    m_filterLabel->setMaximumWidth(400);
    m_filterLabel->hide();
    bar->addWidget(m_filterLabel);
    m_filterLabelRule = verticalRule(bar);
    m_filterLabelRule->hide();
    bar->addWidget(m_filterLabelRule);
    m_hoverLabel = new QLabel(bar);
    m_hoverLabel->setTextFormat(Qt::PlainText);
    bar->addWidget(m_hoverLabel, 1);
    m_fileViewRule = verticalRule(bar);
    bar->addWidget(m_fileViewRule);
    m_fileViewSummaryLabel = new QLabel(bar);
    m_fileViewSummaryLabel->setTextFormat(Qt::PlainText);
    m_fileViewSummaryLabel->setFixedWidth(400);
    bar->addWidget(m_fileViewSummaryLabel);
}

void MainWindow::createJobActions() {
    m_escapeAction = new QAction(tr("Cancel Scan"), this);
    m_escapeAction->setShortcut(QKeySequence(Qt::Key_Escape));
    m_escapeAction->setEnabled(false);
    connect(m_escapeAction, &QAction::triggered, this, [this] {
        if (m_jobThread)
            stopJob();
    });
    addAction(m_escapeAction);
}

void MainWindow::showHoveredPath(const QModelIndex& index) {
    if (!index.isValid() || !m_displayedTree) {
        m_hoverLabel->clear();
        return;
    }
    // A group row's label holds its folder's path isolated already.
    const uint32_t id = uint32_t(index.internalId());
    const QString path = m_nodeModel->pathOf(id);
    m_hoverLabel->setText(id < m_displayedTree->nodeCount ? isolatePath(path) : isolateText(path));
}

void MainWindow::showHoveredId(int64_t id) {
    if (id < 0 || !m_displayedTree || id >= int64_t(m_displayedTree->nodeCount)) {
        m_hoverLabel->clear();
        return;
    }
    m_hoverLabel->setText(isolatePath(QString::fromStdString(m_displayedTree->fullPath(uint32_t(id)))));
}

void MainWindow::openFromFileList(uint32_t id) {
    if (!m_displayedTree || id >= m_displayedTree->nodeCount
        || !AppSettings::instance()->settings()->value(QStringLiteral("enableDoubleClickOpen"), true).toBool())
        return;
    const svl::ScanNode& node = m_displayedTree->node(id);
    if (node.flags & svl::NodeFlag::Removed)
        return;
    const QString path = QString::fromStdString(m_displayedTree->fullPath(id));
    if (node.isFolder()) {
        if (fileActions.showInFileManager)
            fileActions.showInFileManager({path});
    } else if (fileActions.open) {
        fileActions.open(path);
    }
}

void MainWindow::toggleExpanded(const QModelIndex& index) {
    const QModelIndex first = index.siblingAtColumn(0);
    if (!first.isValid() || !m_nodeModel->hasChildren(first))
        return;
    m_treeView->setExpanded(first, !m_treeView->isExpanded(first));
}

void MainWindow::selectBindSource(const QModelIndex& index) {
    if (!m_displayedTree || !index.isValid())
        return;
    const auto source = m_displayedTree->bindSources.find(uint32_t(index.internalId()));
    if (source == m_displayedTree->bindSources.end())
        return;
    const int64_t id = m_displayedTree->findPath(source->second.data(), source->second.size());
    if (id < 0)
        return;
    const QModelIndex target = m_nodeModel->indexForId(uint32_t(id));
    if (!target.isValid())
        return;
    m_treeView->setCurrentIndex(target);
    m_treeView->scrollTo(target);
}

void MainWindow::showFileViewPage() {
    m_tabs->setCurrentWidget(m_fileView);
}

void MainWindow::showAccessDenied() {
    if (m_deniedFolders.isEmpty())
        return;
    AccessDeniedDialog dialog(m_deniedFolders, isElevated(), this);
    dialog.exec();
}

bool MainWindow::isEmptyPageShown() const {
    return m_resultsStack->currentWidget() == m_emptyState;
}

void MainWindow::scheduleGrab() {
    QTimer::singleShot(600, this, &MainWindow::grabWhenIdle);
}

void MainWindow::grabWhenIdle() {
    if (!m_pendingThreads.empty() || m_jobThread || m_fileView->isBusy()
        || m_treemapPanel->treemap()->resizePending() || m_treemapPanel->treemap()->buildPending()) {
        QTimer::singleShot(100, this, &MainWindow::grabWhenIdle);
        return;
    }
    QTimer::singleShot(400, this, [this] {
        if (!m_grabImagePath.isEmpty())
            grab().save(m_grabImagePath);
        quitApplication();
    });
}

void MainWindow::quitApplication() {
    if (quitHook)
        quitHook();
    else
        QApplication::quit();
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::KeyPress)
        return QMainWindow::eventFilter(watched, event);
    const auto* key = static_cast<QKeyEvent*>(event);
    QWidget* focus = QApplication::focusWidget();
    ReturnKeyContext context;
    context.windowActive = isActiveWindow();
    context.modalOpen = QApplication::activeModalWidget() != nullptr;
    context.key = key->key();
    context.autoRepeat = key->isAutoRepeat();
    context.modifiers = key->modifiers();
    context.watchedIsFocus = focus && watched == focus;
    context.focusIsEditor = qobject_cast<QLineEdit*>(focus) || qobject_cast<QAbstractButton*>(focus)
                            || qobject_cast<QComboBox*>(focus) || qobject_cast<QAbstractSpinBox*>(focus)
                            || qobject_cast<QTextEdit*>(focus) || qobject_cast<QPlainTextEdit*>(focus);
    const auto* combo = qobject_cast<QComboBox*>(focus);
    context.focusTakesText = qobject_cast<QLineEdit*>(focus) || (combo && combo->isEditable())
                             || qobject_cast<QAbstractSpinBox*>(focus) || qobject_cast<QTextEdit*>(focus)
                             || qobject_cast<QPlainTextEdit*>(focus);
    context.focusInWindow = focus && (focus == this || isAncestorOf(focus));
    context.focusOnResults = focus && (focus == m_treeView || focus == m_fileView->view()
                                       || focus == m_treemapPanel->treemap());
    context.hasSelection = !currentSelection().empty();
    context.jobRunning = m_jobThread != nullptr;
    context.scanButtonEnabled = m_header->scanButton()->isEnabled();
    switch (keypadCommand(context)) {
    case KeypadCommand::SelectParent:
        selectParent();
        return true;
    case KeypadCommand::ReselectChild:
        reselectChild();
        return true;
    case KeypadCommand::ZoomTreemap:
        zoomTreemapToSelection();
        return true;
    case KeypadCommand::UnzoomTreemap:
        m_treemapPanel->treemap()->zoomOut();
        return true;
    case KeypadCommand::None:
        break;
    }
    switch (returnKeyAction(context)) {
    case ReturnKeyAction::Open:
        openSelection();
        return true;
    case ReturnKeyAction::Scan:
        m_header->scanButton()->click();
        return true;
    case ReturnKeyAction::Swallow:
        return true;
    case ReturnKeyAction::Pass:
        break;
    }
    return QMainWindow::eventFilter(watched, event);
}

void MainWindow::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (m_topSplitUnsaved || m_mainSplitUnsaved || m_treeColumnsUnsaved)
        QTimer::singleShot(0, this, &MainWindow::applyDefaultSplitterSizes);
}

void MainWindow::moveEvent(QMoveEvent* event) {
    QMainWindow::moveEvent(event);
    if (m_stateSaveTimer)
        m_stateSaveTimer->start();
}

void MainWindow::resizeEvent(QResizeEvent* event) {
    QMainWindow::resizeEvent(event);
    if (m_stateSaveTimer)
        m_stateSaveTimer->start();
}

void MainWindow::closeEvent(QCloseEvent* event) {
    if (m_removal) {
        // The removal stops before its next item, and the window closes once it did.
        m_removal->cancel.store(true);
        m_closeAfterRemoval = true;
        event->ignore();
        return;
    }
    m_closeAfterRemoval = false;
    saveWindowState();
    m_guiCalls.close();
    // A job is given up, not waited for: its worker may wait in the kernel on a mount that
    // never answers, and the process must end all the same.
    if (m_jobThread) {
        m_pollTimer->stop();
        leaveJobThread();
    }
    QMainWindow::closeEvent(event);
}
