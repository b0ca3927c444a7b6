#pragma once

#include <QDrag>
#include <QPointer>

class QMimeData;
class QTreeView;

// Drags `mime` out of `view` with the selected rows on screen as its picture, and returns once
// the drop is over. The picture is taken from the visible rows only, so a selection of a
// million rows costs no more than one screen of them. The returned pointer is null when Qt
// has deleted the drag meanwhile.
QPointer<QDrag> execRowDrag(QTreeView* view, QMimeData* mime, Qt::DropActions actions);
