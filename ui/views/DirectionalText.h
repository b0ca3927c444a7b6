// Cells of lists of paths outside the result views, isolated as every other text of the
// file system the program shows.
#pragma once

#include "app/DirectionalText.h"

#include <QStyledItemDelegate>

// The text of the cell at `index` (or the part of it that fits) as the delegates draw it: as
// isolatePath makes it where the model marks the cell as a path (HoldsPathRole), else as
// isolateText does. `positions` as there.
QString isolatedCellText(const QString& text, const QModelIndex& index, Qt::LayoutDirection direction,
                         QList<qsizetype>* positions = nullptr);

// The plain item delegate with every cell's text isolated as isolatedCellText does.
class OwnDirectionDelegate : public QStyledItemDelegate {
    Q_OBJECT

public:
    using QStyledItemDelegate::QStyledItemDelegate;

protected:
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override;
};
