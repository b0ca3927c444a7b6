// Cells of lists of paths outside the result views, isolated as every other text of the
// file system the program shows.
#pragma once

#include "app/DirectionalText.h"

#include <QStyledItemDelegate>

// The plain item delegate with isolateText applied to every cell's text.
class OwnDirectionDelegate : public QStyledItemDelegate {
    Q_OBJECT

public:
    using QStyledItemDelegate::QStyledItemDelegate;

protected:
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override;
};
