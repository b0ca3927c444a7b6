#include "ui/views/DirectionalText.h"

QString keepOwnDirection(const QString& text, Qt::LayoutDirection context) {
    if (context != Qt::RightToLeft || text.isEmpty() || text.isRightToLeft())
        return text;
    bool strong = false;
    for (const QChar c : text) {
        const QChar::Direction d = c.direction();
        if (d == QChar::DirL || d == QChar::DirR || d == QChar::DirAL) {
            strong = true;
            break;
        }
    }
    // Digits alone ("12.5%") read the same either way; only texts with letters are embedded.
    if (!strong)
        return text;
    // A left-to-right mark on each side makes the slashes, dots and digits at the ends take the
    // direction of the letters between them.
    return QChar(0x200E) + text + QChar(0x200E);
}

void OwnDirectionDelegate::initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const {
    QStyledItemDelegate::initStyleOption(option, index);
    option->text = keepOwnDirection(option->text, option->direction);
}
