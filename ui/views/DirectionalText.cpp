#include "ui/views/DirectionalText.h"

#include "ui/views/ItemRoles.h"

QString isolatedCellText(const QString& text, const QModelIndex& index, Qt::LayoutDirection direction,
                         QList<qsizetype>* positions) {
    if (index.data(HoldsPathRole).toBool())
        return isolatePath(text, direction, positions);
    return isolateText(text, direction, positions);
}

void OwnDirectionDelegate::initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const {
    QStyledItemDelegate::initStyleOption(option, index);
    option->text = isolatedCellText(option->text, index, option->direction);
}
