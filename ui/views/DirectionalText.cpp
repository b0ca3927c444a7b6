#include "ui/views/DirectionalText.h"

void OwnDirectionDelegate::initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const {
    QStyledItemDelegate::initStyleOption(option, index);
    option->text = isolateText(option->text, option->direction);
}
