#include "ui/views/BindNoteDelegate.h"

#include "ui/views/DirectionalText.h"
#include "ui/views/DimmedTextColor.h"
#include "ui/views/ItemRoles.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QMouseEvent>
#include <QPainter>

BindNoteDelegate::BindNoteDelegate(QAbstractItemView* view, NoteClickHandler handler)
    : RowHeightDelegate(view), m_view(view), m_viewport(view->viewport()), m_handler(std::move(handler)) {
    m_viewport->installEventFilter(this);
    // Without tracking the viewport sees no button-less moves, so the hand cursor never shows.
    m_viewport->setMouseTracking(true);
}

BindNoteDelegate::~BindNoteDelegate() {
    if (m_viewport)
        m_viewport->removeEventFilter(this);
}

QModelIndex BindNoteDelegate::noteAt(const QPoint& point) const {
    if (m_noteRects.isEmpty())
        return {};
    const QModelIndex index = m_view->indexAt(point);
    if (!index.isValid())
        return {};
    const auto found = m_noteRects.constFind(index.internalId());
    if (found == m_noteRects.constEnd() || index.data(NoteRole).toString().isEmpty())
        return {};
    const QRect rect = found->translated(m_view->visualRect(index).topLeft());
    return rect.contains(point) ? index : QModelIndex();
}

bool BindNoteDelegate::eventFilter(QObject* watched, QEvent* event) {
    if (watched != m_viewport)
        return QStyledItemDelegate::eventFilter(watched, event);
    switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick: {
        auto* mouse = static_cast<QMouseEvent*>(event);
        if (mouse->button() != Qt::LeftButton || mouse->modifiers() != Qt::NoModifier)
            return false;
        const QModelIndex note = noteAt(mouse->position().toPoint());
        if (!note.isValid())
            return false;
        if (event->type() == QEvent::MouseButtonPress)
            m_pressedNote = note;
        return true;
    }
    case QEvent::MouseButtonRelease: {
        auto* mouse = static_cast<QMouseEvent*>(event);
        if (mouse->button() != Qt::LeftButton || !m_pressedNote.isValid())
            return false;
        const QPersistentModelIndex pressed = m_pressedNote;
        m_pressedNote = QPersistentModelIndex();
        const QModelIndex note = noteAt(mouse->position().toPoint());
        if (note.isValid() && pressed == note && m_handler)
            m_handler(note);
        return true;
    }
    case QEvent::MouseMove: {
        auto* mouse = static_cast<QMouseEvent*>(event);
        if (noteAt(mouse->position().toPoint()).isValid())
            m_viewport->setCursor(Qt::PointingHandCursor);
        else
            m_viewport->unsetCursor();
        return false;
    }
    case QEvent::Leave:
        m_viewport->unsetCursor();
        return false;
    default:
        return false;
    }
}

void BindNoteDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const {
    const QString note = index.data(NoteRole).toString();
    if (note.isEmpty()) {
        m_noteRects.remove(index.internalId());
        RowHeightDelegate::paint(painter, option, index);
        return;
    }

    QStyleOptionViewItem opt = option;
    initStyleOption(&opt, index);
    const QString name = isolatedCellText(opt.text, index, opt.direction);
    QStyle* style = opt.widget ? opt.widget->style() : QApplication::style();
    const QRect textRect = style->subElementRect(QStyle::SE_ItemViewItemText, &opt, opt.widget);
    opt.text.clear();
    style->drawControl(QStyle::CE_ItemViewItem, &opt, painter, opt.widget);

    const bool selected = opt.state & QStyle::State_Selected;
    const QPalette::ColorGroup group = (opt.state & QStyle::State_Active) ? QPalette::Active : QPalette::Inactive;
    const QColor nameColor = opt.palette.color(group, selected ? QPalette::HighlightedText : QPalette::Text);
    QColor noteColor = nameColor;
    if (selected)
        noteColor.setAlpha(170);
    else
        noteColor = dimmedTextColor();

    const QFontMetrics metrics(opt.font);
    const int space = metrics.horizontalAdvance(QLatin1Char(' '));
    const int nameWidth = metrics.horizontalAdvance(name);
    const int available = textRect.width();
    QString drawnName = name;
    QString drawnNote;
    if (nameWidth < available) {
        const int room = available - nameWidth - space;
        if (metrics.horizontalAdvance(QChar(0x2026)) < room)
            drawnNote = metrics.elidedText(note, Qt::ElideRight, room);
    } else {
        drawnName = metrics.elidedText(name, Qt::ElideRight, available);
    }
    const int drawnNameWidth = metrics.horizontalAdvance(drawnName);
    const int noteX = textRect.left() + drawnNameWidth + space;

    const QRect& cell = opt.rect;
    if (!drawnNote.isEmpty()) {
        const int x0 = noteX - cell.left();
        m_noteRects.insert(index.internalId(),
                           QRect(QPoint(x0, textRect.top() - cell.top()),
                                 QPoint(x0 + metrics.horizontalAdvance(drawnNote) - 1, textRect.bottom() - cell.top())));
    } else {
        m_noteRects.remove(index.internalId());
    }

    painter->save();
    painter->setClipRect(textRect);
    painter->setFont(opt.font);
    const int baseline = textRect.top() + (textRect.height() - metrics.height()) / 2 + metrics.ascent();
    painter->setPen(nameColor);
    painter->drawText(QPoint(textRect.left(), baseline), drawnName);
    if (!drawnNote.isEmpty()) {
        painter->setPen(noteColor);
        painter->drawText(QPoint(noteX, baseline), drawnNote);
    }
    painter->restore();
    drawGridLine(painter, option);
}
