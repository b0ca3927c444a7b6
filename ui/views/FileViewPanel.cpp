#include "ui/views/FileViewPanel.h"

#include "app/AppSettings.h"
#include "app/DirectionalText.h"
#include "app/QtRegexMatcher.h"
#include "app/TextMetrics.h"
#include "app/ValueFormat.h"
#include "core/analysis/Filter.h"
#include "core/tree/ScanTree.h"
#include "core/tree/SelectionTotals.h"
#include "ui/mainwindow/EmptyStateWidget.h"
#include "ui/views/FileListModel.h"
#include "ui/views/FileUrlList.h"
#include "ui/views/FilterField.h"
#include "ui/views/HeadingWidth.h"
#include "ui/views/HighlightDelegate.h"
#include "ui/views/PercentBarDelegate.h"
#include "ui/views/RowDrag.h"
#include "ui/views/WrappingRow.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCursor>
#include <QDrag>
#include <QEvent>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelection>
#include <QLabel>
#include <QMimeData>
#include <QMouseEvent>
#include <QRadioButton>
#include <QStackedWidget>
#include <QThread>
#include <QTimer>
#include <QTreeView>

#include <exception>
#include <unordered_set>

namespace {

constexpr int kColumnWidths[FileListModel::ColumnCount] = {309, 488, 63, 100, 100, 140, 40, 80, 90};
constexpr int kMaxFilesChoices[] = {100, 1000, 10000, 100000};

QSettings* store() { return AppSettings::instance()->settings(); }

// Drawn in the palette's role rather than a copied colour, so a scheme switch reaches it.
QLabel* placeholderLabel(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setForegroundRole(QPalette::PlaceholderText);
    return label;
}

// The list view with Select All and a drag that stay quick for a million rows. Qt's own
// Select All walks every shown row to build its ranges; here it is one range of the top-level
// rows plus one per expanded duplicate row. Qt's own drag lists every selected cell, asks each
// for its flags and measures each for the drag picture, which holds the window for seconds;
// here the URLs come from the panel's selected rows and the picture from the selected rows on
// screen.
class FileListView : public QTreeView {
public:
    explicit FileListView(FileViewPanel* panel) : QTreeView(panel), m_panel(panel) {}

    void selectAll() override {
        auto* list = static_cast<FileListModel*>(model());
        const int rows = list->rowCount();
        if (selectionMode() == SingleSelection || selectionMode() == NoSelection || rows == 0)
            return;
        const int last = FileListModel::ColumnCount - 1;
        QItemSelection all(list->index(0, 0), list->index(rows - 1, last));
        if (list->duplicates()) {
            const std::vector<uint32_t>& ids = list->ids();
            for (int row = 0; row < rows; ++row) {
                if (list->duplicateCount(ids[size_t(row)]) == 0)
                    continue;
                const QModelIndex parent = list->index(row, 0);
                if (isExpanded(parent))
                    all.append(QItemSelectionRange(list->index(0, 0, parent),
                                                   list->index(list->rowCount(parent) - 1, last, parent)));
            }
        }
        selectionModel()->select(all, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    }

protected:
    bool edit(const QModelIndex& index, EditTrigger trigger, QEvent* event) override {
        // Qt answers true also for events its delegate took without opening anything.
        const bool editing = state() == EditingState;
        if (!QTreeView::edit(index, trigger, event))
            return false;
        if (!editing && state() == EditingState && index.column() == FileListModel::NameColumn)
            emit m_panel->nameEditorOpened(static_cast<FileListModel*>(model())->nodeId(index));
        return true;
    }
    void mousePressEvent(QMouseEvent* event) override {
        QTreeView::mousePressEvent(event);
        const QModelIndex pressed = indexAt(event->position().toPoint());
        m_pressedOnSelection = pressed.isValid() && selectionModel()->isSelected(pressed);
    }
    // A move with the button held over a selected row arms the drag, as Qt's view does, but
    // without first listing every selected cell to learn that the selection is not empty.
    void mouseMoveEvent(QMouseEvent* event) override {
        if (m_pressedOnSelection && state() == NoState && dragEnabled() && event->buttons() != Qt::NoButton) {
            m_pressedOnSelection = false;
            setState(DraggingState);
            return;
        }
        QTreeView::mouseMoveEvent(event);
    }
    void startDrag(Qt::DropActions supportedActions) override {
        QMimeData* mime = m_panel->dragMimeData();
        if (!mime)
            return;
        execRowDrag(this, mime, supportedActions);
    }

private:
    FileViewPanel* m_panel;
    bool m_pressedOnSelection = false;
};

}  // namespace

// What a finished run hands to the GUI thread.
struct FileViewPanel::Delivery {
    std::shared_ptr<svl::ScanTree> tree;
    int generation = 0;
    SearchResult result;
    int dupMethod = 0;
    std::shared_ptr<const svl::Filter> filter;  // decoded for this request; carries its full-path flag
    QString refusedPattern;                     // a regular expression that did not compile, or null
};

FileViewPanel::FileViewPanel(QWidget* parent)
    : QWidget(parent), m_generation(std::make_shared<std::atomic<int>>(0)), m_runner(runSearch) {
    m_fileNameOnlyRadio = new QRadioButton(tr("Match file name only"), this);
    m_entirePathRadio = new QRadioButton(tr("Match entire path"), this);
    // Not the tree's column of folder counts, which some languages call "Subfolders".
    m_foldersCheck = new QCheckBox(tr("Folders", "file list option: folders are listed too"), this);
    m_maxFilesCombo = new QComboBox(this);
    m_maxFilesCombo->setObjectName(QStringLiteral("maxFilesCombo"));
    m_maxFilesCombo->addItem(tr("ALL"), 0);
    for (int n : kMaxFilesChoices)
        m_maxFilesCombo->addItem(formatNumber(uint64_t(n)), n);
    m_dupMethodCombo = new QComboBox(this);
    m_dupMethodCombo->setObjectName(QStringLiteral("dupMethodCombo"));
    m_dupMethodCombo->addItem(tr("Don't locate duplicates"), 0);
    m_dupMethodCombo->addItem(tr("Locate by Name, Size"), 1);
    m_dupMethodCombo->addItem(tr("Locate by Name, Size, Date"), 2);
    m_dupsOnlyCheck = new QCheckBox(tr("Duplicates only"), this);
    m_locatingLabel = placeholderLabel(tr("Locating duplicates\u2026"), this);
    m_locatingLabel->hide();
    m_fileNameOnlyRadio->setChecked(true);
    m_foldersCheck->setChecked(true);
    m_maxFilesCombo->setCurrentIndex(2);
    m_dupMethodCombo->setCurrentIndex(2);

    // Search options, then the duplicate options, which go to a second line when narrow.
    auto* searchGroup = new QWidget(this);
    auto* search = new QHBoxLayout(searchGroup);
    search->setContentsMargins(0, 0, 0, 0);
    search->addWidget(m_fileNameOnlyRadio);
    search->addWidget(m_entirePathRadio);
    search->addWidget(m_foldersCheck);
    search->addSpacing(12);
    search->addWidget(placeholderLabel(tr("Max files:"), searchGroup));
    search->addWidget(m_maxFilesCombo);
    auto* duplicateGroup = new QWidget(this);
    auto* duplicates = new QHBoxLayout(duplicateGroup);
    duplicates->setContentsMargins(0, 0, 0, 0);
    duplicates->addWidget(placeholderLabel(tr("Duplicate Files:"), duplicateGroup));
    duplicates->addWidget(m_dupMethodCombo);
    duplicates->addWidget(m_dupsOnlyCheck);
    duplicates->addStretch();
    duplicates->addWidget(m_locatingLabel);
    auto* options = new WrappingRow(searchGroup, duplicateGroup, this);

    m_searchField = new FilterField("fileSearchHistoryJSON", this, FilterFieldStyle::Rounded);
    m_model = new FileListModel(this);
    m_model->setBeforeTreeEdit([this] { stopSearches(); });
    m_view = new FileListView(this);
    m_view->setModel(m_model);
    m_view->setRootIsDecorated(false);
    m_view->setUniformRowHeights(true);
    m_view->setAlternatingRowColors(true);
    m_view->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_view->setEditTriggers(QAbstractItemView::EditKeyPressed);
    m_view->setDragDropMode(QAbstractItemView::DragOnly);
    m_view->setContextMenuPolicy(Qt::CustomContextMenu);
    m_view->setMouseTracking(true);
    m_view->viewport()->installEventFilter(this);
    QHeaderView* header = m_view->header();
    // At each paint the header asks whether its columns are wholly selected, which reads
    // every row's flags: seconds with millions of rows selected. It marks no columns, so it
    // gets a selection of its own that stays empty.
    header->setSelectionModel(new QItemSelectionModel(m_model, header));
    header->setSectionsClickable(true);
    header->setSortIndicatorShown(true);
    header->setSortIndicator(FileListModel::AllocatedColumn, Qt::DescendingOrder);
    header->setStretchLastSection(false);
    header->setMinimumSectionSize(40);
    header->setFixedHeight(28);
    header->setFont(smallerFont(false));
    for (int column = 0; column < FileListModel::ColumnCount; ++column)
        resizeSectionToFit(header, column, kColumnWidths[column]);
    m_view->setItemDelegate(new RowHeightDelegate(m_view));
    auto* highlight = new HighlightDelegate([this](const QModelIndex& index) { return highlightSpans(index); }, m_view);
    m_view->setItemDelegateForColumn(FileListModel::NameColumn, highlight);
    m_view->setItemDelegateForColumn(FileListModel::PathColumn, highlight);
    m_view->setItemDelegateForColumn(FileListModel::PercentColumn, new PercentBarDelegate(m_view, true));

    m_emptyPage = new EmptyStateWidget(this);
    m_emptyPage->setContent(EmptyStateWidget::logoPixmap(), tr("No Scan Results"), EmptyStateWidget::hintText());
    m_pages = new QStackedWidget(this);
    m_pages->addWidget(m_emptyPage);
    m_pages->addWidget(m_view);
    m_pages->setCurrentWidget(m_emptyPage);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(4, 4, 4, 4);
    layout->addWidget(options);
    layout->addWidget(m_searchField);
    layout->addWidget(m_pages, 1);

    m_debounceTimer = new QTimer(this);
    m_debounceTimer->setSingleShot(true);
    m_debounceTimer->setInterval(250);

    restoreSettings();
    applyDuplicateControls();
    m_model->setSortColumn(header->sortIndicatorSection());

    connect(m_debounceTimer, &QTimer::timeout, this, &FileViewPanel::refreshNow);
    connect(m_searchField, &FilterField::textChanged, this, [this] {
        m_busy = true;
        m_debounceTimer->start();
    });
    connect(m_searchField, &FilterField::submitted, this, &FileViewPanel::refreshNow);
    connect(m_fileNameOnlyRadio, &QRadioButton::toggled, this, &FileViewPanel::refreshNow);
    connect(m_foldersCheck, &QCheckBox::toggled, this, &FileViewPanel::refreshNow);
    connect(m_maxFilesCombo, &QComboBox::currentIndexChanged, this, &FileViewPanel::refreshNow);
    connect(m_dupsOnlyCheck, &QCheckBox::toggled, this, &FileViewPanel::refreshNow);
    connect(m_dupMethodCombo, &QComboBox::currentIndexChanged, this, [this] {
        applyDuplicateControls();
        refreshNow();
    });
    connect(m_entirePathRadio, &QRadioButton::toggled, this, &FileViewPanel::saveSettings);
    connect(m_foldersCheck, &QCheckBox::toggled, this, &FileViewPanel::saveSettings);
    connect(m_maxFilesCombo, &QComboBox::currentIndexChanged, this, &FileViewPanel::saveSettings);
    connect(m_dupMethodCombo, &QComboBox::currentIndexChanged, this, &FileViewPanel::saveSettings);
    connect(m_dupsOnlyCheck, &QCheckBox::toggled, this, &FileViewPanel::saveSettings);
    connect(header, &QHeaderView::sortIndicatorChanged, this, [this](int section) {
        refreshNow();
        m_model->setSortColumn(section);
    });
    connect(m_view, &QTreeView::doubleClicked, this, [this](const QModelIndex& index) {
        if (!index.isValid() || !rowsBelongToTree())
            return;
        emit nodeDoubleClicked(m_model->nodeId(index));
        const QModelIndex first = index.siblingAtColumn(0);
        if (index.column() != 0 && m_model->hasChildren(first))
            m_view->setExpanded(first, !m_view->isExpanded(first));
    });
    connect(m_view, &QTreeView::customContextMenuRequested, this,
            [this](const QPoint& pos) { emit contextMenuRequested(m_view->viewport()->mapToGlobal(pos)); });
    connect(m_view, &QTreeView::entered, this, [this](const QModelIndex& index) {
        m_lastHovered = index.isValid() && rowsBelongToTree() ? int64_t(m_model->nodeId(index)) : -1;
        emit nodeHovered(m_lastHovered);
    });
    connect(m_view->selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] {
        emit selectionChanged(selectedIds());
        const QModelIndex current = m_view->currentIndex();
        if (current.isValid() && rowsBelongToTree())
            emit nodeSelected(m_model->nodeId(current));
    });
    connect(m_model, &FileListModel::modelReset, this, [this] { emit selectionChanged(selectedIds()); });
    connect(AppSettings::instance(), &AppSettings::changed, this, [this](const QString& key) {
        if (key == QLatin1String("displayMode") || key == QLatin1String("unitBase") ||
            key == QLatin1String("decimalPlaces"))
            m_view->viewport()->update();
    });
}

FileViewPanel::~FileViewPanel() {
    m_generation->fetch_add(1);
    waitForThreads();
}

void FileViewPanel::restoreSettings() {
    const QSettings* s = store();
    (s->value(QStringLiteral("fileViewMatchPath"), false).toBool() ? m_entirePathRadio : m_fileNameOnlyRadio)
        ->setChecked(true);
    m_foldersCheck->setChecked(s->value(QStringLiteral("fileViewFolders"), true).toBool());
    const int maxFiles = s->value(QStringLiteral("fileViewMaxFiles"), 1000).toInt();
    int maxIndex = 0;
    if (maxFiles > 0)
        for (int i = 1; i < m_maxFilesCombo->count(); ++i)
            if (m_maxFilesCombo->itemData(i).toInt() >= maxFiles) {
                maxIndex = i;
                break;
            }
    m_maxFilesCombo->setCurrentIndex(maxIndex);
    m_dupMethodCombo->setCurrentIndex(std::clamp(s->value(QStringLiteral("fileViewDupMethod"), 2).toInt(), 0, 2));
    m_dupsOnlyCheck->setChecked(s->value(QStringLiteral("fileViewDupsOnly"), false).toBool());
    setDragEnabled(s->value(QStringLiteral("enableDragDrop"), true).toBool());
}

void FileViewPanel::saveSettings() {
    AppSettings* settings = AppSettings::instance();
    if (!settings->saveEnabled())
        return;
    settings->setValue("fileViewMatchPath", m_entirePathRadio->isChecked());
    settings->setValue("fileViewFolders", m_foldersCheck->isChecked());
    settings->setValue("fileViewMaxFiles", m_maxFilesCombo->currentData().toInt());
    settings->setValue("fileViewDupMethod", m_dupMethodCombo->currentIndex());
    settings->setValue("fileViewDupsOnly", m_dupsOnlyCheck->isChecked());
}

void FileViewPanel::applyDuplicateControls() {
    const bool locate = m_dupMethodCombo->currentData().toInt() != 0;
    m_dupsOnlyCheck->setEnabled(locate);
    m_view->setColumnHidden(FileListModel::DupCountColumn, !locate);
    m_view->setColumnHidden(FileListModel::DupSizeColumn, !locate);
}

bool FileViewPanel::rowsBelongToTree() const { return m_model->tree() && m_model->tree() == m_tree; }

void FileViewPanel::setTree(std::shared_ptr<svl::ScanTree> tree) {
    m_tree = std::move(tree);
    m_cachedDuplicates.reset();
    m_cachedTree.reset();
    // Rows of the old tree must never be shown or acted on against the new one.
    m_model->setResult(nullptr, {}, nullptr);
    m_view->setRootIsDecorated(false);
    if (m_tree && m_tree->nodeCount > 0) {
        m_pages->setCurrentWidget(m_view);
        refreshNow();
        return;
    }
    m_pages->setCurrentWidget(m_emptyPage);
    m_debounceTimer->stop();
    m_generation->fetch_add(1);
    m_busy = false;
    m_showingTotals = false;
    m_locatingLabel->hide();
    emit summaryChanged(QString());
}

void FileViewPanel::refreshNow() {
    m_debounceTimer->stop();
    if (!m_tree || m_tree->nodeCount == 0)
        return;
    SearchParams params;
    params.text = m_searchField->text().trimmed().toStdString();
    params.matchEntirePath = m_entirePathRadio->isChecked();
    QString refused;
    if (!params.text.empty()) {
        // Notes the first pattern that does not compile, for the summary line.
        const svl::RegexFactory factory = [&refused, plain = qtRegexFactory()](const std::u16string& pattern) {
            std::shared_ptr<svl::RegexMatcher> matcher = plain(pattern);
            if (!matcher && refused.isNull())
                refused = QString::fromStdU16String(pattern);
            return matcher;
        };
        auto filter = std::make_shared<const svl::Filter>(
            svl::decodeFilterText(params.text, params.matchEntirePath, &factory));
        m_requestFilter = std::move(filter);
    } else {
        m_requestFilter.reset();
    }
    params.folders = m_foldersCheck->isChecked();
    params.maxFiles = m_maxFilesCombo->currentData().toLongLong();
    if (params.maxFiles < 1)
        params.maxFiles = -1;
    const QHeaderView* header = m_view->header();
    params.sortColumn = header->sortIndicatorSection();
    params.sortOrder = header->sortIndicatorOrder() == Qt::DescendingOrder ? 1 : 0;
    params.showMaxModifiedDate = store()->value(QStringLiteral("showMaxModifiedDate"), true).toBool();
    params.dupMethod = m_dupMethodCombo->currentData().toInt();
    params.dupsOnly = m_dupsOnlyCheck->isEnabled() && m_dupsOnlyCheck->isChecked();
    if (params.dupMethod != 0 && m_cachedDuplicates && m_cachedMethod == params.dupMethod && m_cachedTree == m_tree)
        params.cachedDuplicates = m_cachedDuplicates;
    m_locatingLabel->setVisible(params.dupMethod != 0 && !params.cachedDuplicates);

    const int generation = m_generation->fetch_add(1) + 1;
    m_busy = true;
    m_showingTotals = false;
    emit summaryChanged(tr("Searching..."));

    auto job = [this, tree = m_tree, counter = m_generation, generation, params = std::move(params),
                runner = m_runner, filter = m_requestFilter, refused]() {
        auto delivery = std::make_shared<Delivery>();
        QString failure;
        try {
            if (!runner(*tree, params, *counter, generation, delivery->result))
                return;
        } catch (const std::exception& e) {
            failure = QString::fromUtf8(e.what());
        } catch (...) {
            failure = QStringLiteral("unknown error");
        }
        if (!failure.isEmpty()) {
            QMetaObject::invokeMethod(this, [this, generation, failure] { applyFailure(generation, failure); },
                                      Qt::QueuedConnection);
            return;
        }
        delivery->tree = tree;
        delivery->generation = generation;
        delivery->dupMethod = params.dupMethod;
        delivery->filter = filter;
        delivery->refusedPattern = refused;
        QMetaObject::invokeMethod(this, [this, delivery] { applyResult(*delivery); }, Qt::QueuedConnection);
    };
    QThread* thread = QThread::create(std::move(job));
    connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    std::erase_if(m_threads, [](const QPointer<QThread>& t) { return t.isNull(); });
    m_threads.emplace_back(thread);
    thread->start(QThread::InheritPriority);
}

void FileViewPanel::applyResult(Delivery& delivery) {
    if (m_generation->load() != delivery.generation || delivery.tree != m_tree)
        return;
    if (delivery.result.duplicatesComputed) {
        m_cachedDuplicates = delivery.result.duplicates;
        m_cachedMethod = delivery.dupMethod;
        m_cachedTree = delivery.tree;
    }
    m_highlightFilter = delivery.filter;
    const std::shared_ptr<const svl::DuplicateIndex>& duplicates = delivery.result.duplicates;
    const size_t listed = delivery.result.ids.size();
    m_model->setResult(delivery.tree, std::move(delivery.result.ids), duplicates);
    m_view->setRootIsDecorated(duplicates && !duplicates->groups.empty());
    m_locatingLabel->hide();
    m_busy = false;
    if (!delivery.refusedPattern.isNull()) {
        const QString pattern = isolateLeftToRight(delivery.refusedPattern);
        emit summaryChanged(tr("(Not a valid regular expression: %1)").arg(pattern));
        return;
    }
    emitTotals(listed, delivery.result.totalSize, delivery.result.totalAllocated);
}

void FileViewPanel::emitTotals(size_t listed, uint64_t size, uint64_t allocated) {
    m_showingTotals = true;
    emit summaryChanged(tr("(%1 %2  Total Size: %3  Allocated: %4)")
                            .arg(formatNumber(listed), m_foldersCheck->isChecked() ? tr("items") : tr("files"),
                                 isolateText(formatSize(size)), isolateText(formatSize(allocated))));
}

void FileViewPanel::applyFailure(int generation, const QString& reason) {
    if (m_generation->load() != generation)
        return;
    m_locatingLabel->hide();
    m_busy = false;
    m_showingTotals = false;
    emit summaryChanged(tr("(Search failed: %1)").arg(reason));
}

void FileViewPanel::waitForThreads() {
    for (const QPointer<QThread>& thread : m_threads)
        if (thread)
            thread->wait();
    m_threads.clear();
}

void FileViewPanel::stopSearches() {
    bool running = false;
    for (const QPointer<QThread>& thread : m_threads)
        running = running || (thread && thread->isRunning());
    if (!running)
        return;
    m_generation->fetch_add(1);
    waitForThreads();
    // The stopped search's request still stands; run it again once the edit is done.
    QTimer::singleShot(0, this, [this] {
        if (m_busy && !m_debounceTimer->isActive())
            refreshNow();
    });
}

void FileViewPanel::refreshRows() {
    m_cachedDuplicates.reset();
    m_cachedTree.reset();
    const int rows = m_model->rowCount();
    if (rows > 0)
        emit m_model->dataChanged(m_model->index(0, 0), m_model->index(rows - 1, FileListModel::ColumnCount - 1));
    m_view->viewport()->update();
    // Removed rows stay listed but no longer count: the totals are taken again.
    if (m_showingTotals && !m_busy && rowsBelongToTree()) {
        const svl::SelectionTotals totals = svl::selectionTotals(*m_tree, m_model->ids());
        emitTotals(m_model->ids().size(), totals.size, totals.allocated);
    }
}

void FileViewPanel::setSearchText(const QString& text) { m_searchField->setText(text); }

std::vector<uint32_t> FileViewPanel::listedIds() const {
    if (!rowsBelongToTree())
        return {};
    return m_model->ids();
}

std::vector<uint32_t> FileViewPanel::selectedIds() const {
    std::vector<uint32_t> ids;
    if (!rowsBelongToTree())
        return ids;
    // The rows of selectedRows(0), read straight from the ranges: a range over every column
    // is whole rows, so Ctrl+A over millions of rows costs one pass without lookups.
    const QItemSelectionModel* model = m_view->selectionModel();
    const QItemSelection selection = model->selection();
    const bool mayOverlap = selection.size() > 1;
    std::unordered_set<uint64_t> seen;
    for (const QItemSelectionRange& range : selection) {
        const QModelIndex parent = range.parent();
        const uint64_t parentKey = parent.isValid() ? uint64_t(parent.row()) + 1 : 0;
        const bool wholeRows = range.left() == 0 && range.right() == FileListModel::ColumnCount - 1;
        if (wholeRows && !mayOverlap && !parent.isValid()) {
            const std::vector<uint32_t>& listed = m_model->ids();
            ids.insert(ids.end(), listed.begin() + range.top(), listed.begin() + range.bottom() + 1);
            continue;
        }
        for (int row = range.top(); row <= range.bottom(); ++row) {
            if (mayOverlap && !seen.insert(parentKey << 32 | uint64_t(row)).second)
                continue;
            if (!wholeRows && !model->isRowSelected(row, parent))
                continue;
            ids.push_back(m_model->nodeId(m_model->index(row, 0, parent)));
        }
    }
    return ids;
}

QMimeData* FileViewPanel::dragMimeData() const {
    const std::vector<uint32_t> ids = selectedIds();
    return ids.empty() ? nullptr : fileUrlMimeData(*m_tree, ids);
}

void FileViewPanel::renameId(uint32_t id) {
    if (!rowsBelongToTree())
        return;
    const std::vector<uint32_t>& ids = m_model->ids();
    const auto found = std::find(ids.begin(), ids.end(), id);
    if (found == ids.end())
        return;
    const QModelIndex index = m_model->index(int(found - ids.begin()), 0);
    m_view->setCurrentIndex(index);
    m_view->edit(index);
}

void FileViewPanel::selectIds(const std::vector<uint32_t>& wanted) {
    if (!rowsBelongToTree())
        return;
    const std::unordered_set<uint32_t> set(wanted.begin(), wanted.end());
    const std::vector<uint32_t>& ids = m_model->ids();
    // Consecutive rows become one range, so selecting everything is one range.
    QItemSelection selection;
    const int last = FileListModel::ColumnCount - 1;
    for (size_t row = 0; row < ids.size();) {
        if (!set.count(ids[row])) {
            ++row;
            continue;
        }
        const size_t first = row;
        while (row < ids.size() && set.count(ids[row]))
            ++row;
        selection.append(QItemSelectionRange(m_model->index(int(first), 0), m_model->index(int(row - 1), last)));
    }
    QItemSelectionModel* model = m_view->selectionModel();
    const QSignalBlocker blocker(model);
    model->select(selection, QItemSelectionModel::ClearAndSelect);
    m_view->viewport()->update();
}

void FileViewPanel::setCurrentRow(int row) { m_view->setCurrentIndex(m_model->index(row, 0)); }

void FileViewPanel::setDragEnabled(bool enabled) {
    m_view->setDragEnabled(enabled);
    m_view->setDragDropMode(enabled ? QAbstractItemView::DragOnly : QAbstractItemView::NoDragDrop);
}

void FileViewPanel::showEmptyState() {
    if (m_emptyPage->text() == tr("No Scan Results"))
        m_emptyPage->setContent(EmptyStateWidget::logoPixmap(), tr("No Scan Results"), EmptyStateWidget::hintText());
}

bool FileViewPanel::isShowingEmptyState() const { return m_pages->currentWidget() == m_emptyPage; }

QList<QPair<int, int>> FileViewPanel::highlightSpans(const QModelIndex& index) const {
    if (!m_highlightFilter || m_highlightFilter->empty() || !index.isValid() || index.internalId() != 0 ||
        index.column() > 1)
        return {};
    const QString name = index.siblingAtColumn(0).data().toString();
    const QString path = index.siblingAtColumn(1).data().toString();
    return highlightSpansFor(m_highlightFilter.get(), name, path, index.column());
}

bool FileViewPanel::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_view->viewport() && m_lastHovered != -1) {
        const bool left = event->type() == QEvent::Leave;
        const bool offRows = event->type() == QEvent::MouseMove &&
                             !m_view->indexAt(static_cast<QMouseEvent*>(event)->position().toPoint()).isValid();
        if (left || offRows) {
            m_lastHovered = -1;
            emit nodeHovered(-1);
        }
    }
    return QWidget::eventFilter(watched, event);
}
