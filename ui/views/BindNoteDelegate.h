// The folder tree's name column: after the name it draws the row's note (NoteRole) in a
// dimmed colour, and a left click on the note calls the owner's handler instead of
// selecting or expanding. GUI thread only.
#pragma once

#include "ui/views/RowHeightDelegate.h"

#include <QHash>
#include <QPersistentModelIndex>
#include <QPointer>
#include <QRect>

#include <functional>

class QAbstractItemView;

using NoteClickHandler = std::function<void(const QModelIndex&)>;

class BindNoteDelegate : public RowHeightDelegate {
    Q_OBJECT

public:
    // `view` is also the parent; the delegate filters the events of its viewport.
    BindNoteDelegate(QAbstractItemView* view, NoteClickHandler handler);
    ~BindNoteDelegate() override;

    // The index whose painted note contains the viewport point, or an invalid index.
    QModelIndex noteAt(const QPoint& point) const;

    bool eventFilter(QObject* watched, QEvent* event) override;
    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;

private:
    QAbstractItemView* m_view;
    QPointer<QWidget> m_viewport;
    NoteClickHandler m_handler;
    QPersistentModelIndex m_pressedNote;
    // Where each row's note was last painted, relative to its cell, by internal id.
    mutable QHash<quintptr, QRect> m_noteRects;
};
