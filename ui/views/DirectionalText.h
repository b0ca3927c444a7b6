// Texts of the file system (paths, names, sizes, dates) keep their own reading order in a
// right-to-left window.
#pragma once

#include <QString>

// In a right-to-left context a text whose first strong character reads left to right is
// framed by left-to-right marks (U+200E), so "/tmp/a", ".h", "9 Dec 2026" and "2.0 MB" are
// not reordered around their slashes, dots and digits; any other text comes back as it is.
QString keepOwnDirection(const QString& text, Qt::LayoutDirection context);

#include <QStyledItemDelegate>

// The plain item delegate with keepOwnDirection applied to every cell's text, for lists of
// paths outside the result views.
class OwnDirectionDelegate : public QStyledItemDelegate {
    Q_OBJECT

public:
    using QStyledItemDelegate::QStyledItemDelegate;

protected:
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override;
};
