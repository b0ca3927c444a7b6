#include "ui/views/FolderTreeView.h"

#include "ui/views/FileUrlList.h"
#include "ui/views/NodeModel.h"
#include "ui/views/RowDrag.h"

#include <QCursor>
#include <QDrag>
#include <QItemSelection>
#include <QKeyEvent>
#include <QMimeData>
#include <QMouseEvent>
#include <QPointer>

#include <iterator>
#include <map>
#include <unordered_map>

FolderTreeView::FolderTreeView(QWidget* parent) : QTreeView(parent) {
    // The view fetches a row's children itself only when it lays the row out at once; a row
    // expanded while a layout is pending (or while hidden) would stay empty.
    connect(this, &QTreeView::expanded, this, [this](const QModelIndex& index) {
        if (model() && model()->canFetchMore(index))
            model()->fetchMore(index);
    });
}

void FolderTreeView::expandRows(const QModelIndexList& rows) {
    if (rows.isEmpty())
        return;
    // With a layout pending, expand() only records the row.
    scheduleDelayedItemsLayout();
    for (const QModelIndex& row : rows)
        expand(row);
}

bool FolderTreeView::edit(const QModelIndex& index, EditTrigger trigger, QEvent* event) {
    // Qt answers true also for events its delegate took without opening anything.
    const bool editing = state() == EditingState;
    if (!QTreeView::edit(index, trigger, event))
        return false;
    if (!editing && state() == EditingState)
        emit editorOpened(index);
    return true;
}

void FolderTreeView::selectAll() {
    QAbstractItemModel* rows = model();
    if (!rows || !selectionModel() || selectionMode() == SingleSelection || selectionMode() == NoSelection)
        return;
    // Qt's own Select All asks every shown row for its parent to build the ranges: one range
    // over all rows of each shown parent, added when the walk leaves that parent's rows, and
    // at the end the innermost open one, then the others from the outermost. The same ranges
    // in the same order come here from one look at each row.
    struct Level {
        QModelIndex parent;
        int count;
        int next;
    };
    std::vector<Level> levels;
    QItemSelection all;
    const auto add = [&](const Level& level) {
        all.append(QItemSelectionRange(rows->index(0, 0, level.parent),
                                       rows->index(level.count - 1, rows->columnCount(level.parent) - 1, level.parent)));
    };
    if (const int count = rows->rowCount(); count > 0)
        levels.push_back({QModelIndex(), count, 0});
    while (!levels.empty()) {
        Level& level = levels.back();
        QModelIndex opened;
        while (level.next < level.count && !opened.isValid()) {
            const QModelIndex child = rows->index(level.next++, 0, level.parent);
            if (isExpanded(child) && rows->rowCount(child) > 0)
                opened = child;
        }
        if (opened.isValid()) {
            levels.push_back({opened, rows->rowCount(opened), 0});
            continue;
        }
        size_t open = levels.size() - 1;
        while (open > 0 && levels[open - 1].next == levels[open - 1].count)
            --open;
        if (open == 0 && levels[0].next == levels[0].count) {
            add(levels.back());
            for (size_t i = 0; i + 1 < levels.size(); ++i)
                add(levels[i]);
            break;
        }
        while (levels.size() > open) {
            add(levels.back());
            levels.pop_back();
        }
    }
    // The ranges are whole rows already; asking the model to widen them to rows would merge
    // each into the others, a pass over all ranges per range.
    if (!all.isEmpty())
        selectionModel()->select(all, QItemSelectionModel::ClearAndSelect);
}

void FolderTreeView::forEachSelectedRow(const std::function<void(const QModelIndex& parent, int row)>& take) const {
    const QItemSelectionModel* selected = selectionModel();
    const QAbstractItemModel* rows = model();
    if (!selected || !rows)
        return;
    // Ranges of one parent may overlap: the rows an earlier range gave are skipped. A range
    // over every column is whole rows; a narrower one gives the rows that are wholly
    // selected with the help of other ranges.
    std::unordered_map<quintptr, std::map<int, int>> taken;  // parent -> disjoint runs first..last
    for (const QItemSelectionRange& range : selected->selection()) {
        const QModelIndex parent = range.parent();
        const bool wholeRows = range.left() == 0 && range.right() == rows->columnCount(parent) - 1;
        std::map<int, int>& runs = taken[parent.isValid() ? parent.internalId() : ~quintptr(0)];
        const auto give = [&](int first, int last) {
            for (int row = first; row <= last; ++row)
                if (wholeRows || selected->isRowSelected(row, parent))
                    take(parent, row);
        };
        int row = range.top();
        auto next = runs.upper_bound(row);
        if (next != runs.begin() && std::prev(next)->second >= row)
            row = std::prev(next)->second + 1;
        for (; row <= range.bottom(); ++next) {
            if (next == runs.end()) {
                give(row, range.bottom());
                break;
            }
            give(row, std::min(range.bottom(), next->first - 1));
            row = next->second + 1;
        }
        int first = range.top();
        int last = range.bottom();
        auto at = runs.upper_bound(first);
        if (at != runs.begin() && std::prev(at)->second >= first - 1)
            first = (--at)->first;
        while (at != runs.end() && at->first <= last + 1) {
            last = std::max(last, at->second);
            at = runs.erase(at);
        }
        runs[first] = last;
    }
}

std::vector<uint32_t> FolderTreeView::selectedRowIds() const {
    std::vector<uint32_t> ids;
    const QAbstractItemModel* rows = model();
    forEachSelectedRow([&](const QModelIndex& parent, int row) {
        ids.push_back(uint32_t(rows->index(row, 0, parent).internalId()));
    });
    return ids;
}

void FolderTreeView::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Asterisk) {
        const QModelIndex current = currentIndex();
        if (current.isValid() && expandBelowHandler)
            expandBelowHandler(current);
        event->accept();
        return;
    }
    QTreeView::keyPressEvent(event);
}

void FolderTreeView::mousePressEvent(QMouseEvent* event) {
    QTreeView::mousePressEvent(event);
    const QModelIndex pressed = indexAt(event->position().toPoint());
    m_pressedOnSelection = pressed.isValid() && selectionModel() && selectionModel()->isSelected(pressed);
}

void FolderTreeView::mouseMoveEvent(QMouseEvent* event) {
    // A move with the button held over a selected row arms the drag, as Qt's view does, but
    // without first listing every selected cell and asking each for its flags.
    if (m_pressedOnSelection && state() == NoState && dragEnabled() && event->buttons() != Qt::NoButton) {
        m_pressedOnSelection = false;
        setState(DraggingState);
        return;
    }
    QTreeView::mouseMoveEvent(event);
}

void FolderTreeView::startDrag(Qt::DropActions supportedActions) {
    // Qt's own drag lists every selected cell and measures each for the picture. Here the
    // model gets the selected rows' ids, and the picture shows the selected rows on screen.
    const auto* rows = qobject_cast<const NodeModel*>(model());
    QMimeData* mime = rows ? rows->mimeDataOfRows(selectedRowIds()) : nullptr;
    if (!mime)
        return;
    const QPointer<QDrag> running = execRowDrag(this, mime, supportedActions);
    // The platform may keep the data for late requests; its build must not read the tree
    // once the window may change it again.
    if (running)
        if (auto* urls = dynamic_cast<FileUrlMimeData*>(running->mimeData()))
            urls->stopBuilding();
}
