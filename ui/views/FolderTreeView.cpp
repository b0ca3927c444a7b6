#include "ui/views/FolderTreeView.h"

#include <QKeyEvent>

FolderTreeView::FolderTreeView(QWidget* parent) : QTreeView(parent) {}

void FolderTreeView::expandRows(const QModelIndexList& rows) {
    if (rows.isEmpty())
        return;
    // With a layout pending, expand() only records the row.
    scheduleDelayedItemsLayout();
    for (const QModelIndex& row : rows)
        expand(row);
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
