#include "ui/views/RowHeightDelegate.h"

#include "ui/views/DirectionalText.h"
#include "app/ListFont.h"

#include <QApplication>
#include <QPainter>

std::atomic<bool> gridLinesEnabled{false};

void drawGridLine(QPainter* painter, const QStyleOptionViewItem& option) {
    if (!gridLinesEnabled.load(std::memory_order_relaxed))
        return;
    painter->save();
    QColor color = option.palette.color(QPalette::Mid);
    color.setAlpha(120);
    painter->setPen(color);
    const QRect& r = option.rect;
    painter->drawLine(QPoint(r.left(), r.bottom()), QPoint(r.right(), r.bottom()));
    painter->restore();
}

QSize listRowSizeHint(const QStyledItemDelegate& delegate, const QStyleOptionViewItem& option,
                      const QModelIndex& index) {
    return QSize(delegate.QStyledItemDelegate::sizeHint(option, index).width(), listfont::rowHeight());
}

RowHeightDelegate::RowHeightDelegate(QObject* parent) : QStyledItemDelegate(parent) {}

void RowHeightDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const {
    QStyleOptionViewItem opt = option;
    initStyleOption(&opt, index);
    opt.text = isolatedCellText(opt.text, index, opt.direction);
    QStyle* style = opt.widget ? opt.widget->style() : QApplication::style();
    style->drawControl(QStyle::CE_ItemViewItem, &opt, painter, opt.widget);
    drawGridLine(painter, option);
}

QSize RowHeightDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const {
    return listRowSizeHint(*this, option, index);
}
