#include "ui/views/RowDrag.h"

#include <QCursor>
#include <QItemSelectionModel>
#include <QMimeData>
#include <QTreeView>

QPointer<QDrag> execRowDrag(QTreeView* view, QMimeData* mime, Qt::DropActions actions)
{
    QWidget* viewport = view->viewport();
    QRect shown;
    const QRect area = viewport->rect();
    for (QModelIndex row = view->indexAt(area.topLeft()); row.isValid(); row = view->indexBelow(row)) {
        const QRect rect = view->visualRect(row);
        if (rect.top() > area.bottom())
            break;
        if (view->selectionModel()->isSelected(row))
            shown |= QRect(area.left(), rect.top(), area.width(), rect.height());
    }
    auto* drag = new QDrag(view);
    drag->setMimeData(mime);
    if (shown.isValid()) {
        drag->setPixmap(viewport->grab(shown & area));
        drag->setHotSpot(viewport->mapFromGlobal(QCursor::pos()) - shown.topLeft());
    }
    const QPointer<QDrag> running(drag);
    drag->exec(actions, (actions & Qt::CopyAction) ? Qt::CopyAction : Qt::IgnoreAction);
    return running;
}
