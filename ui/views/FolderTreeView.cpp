#include "ui/views/FolderTreeView.h"

#include <QKeyEvent>

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
