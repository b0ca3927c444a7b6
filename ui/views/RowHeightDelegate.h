// The default delegate of every result view: rows are as high as the list font step
// makes them (listfont::rowHeight) and get a horizontal grid line while
// gridLinesEnabled is set. GUI thread only.
#pragma once

#include <QStyledItemDelegate>

#include <atomic>

// Horizontal grid lines in the result views; the main window stores the setting
// showHorizontalLines into it, every delegate reads it on every paint.
extern std::atomic<bool> gridLinesEnabled;

// When gridLinesEnabled is set: one line in Mid (alpha 120) along the cell's bottom row.
void drawGridLine(QPainter* painter, const QStyleOptionViewItem& option);

// The base delegate's width and the list row height.
QSize listRowSizeHint(const QStyledItemDelegate& delegate, const QStyleOptionViewItem& option,
                      const QModelIndex& index);

class RowHeightDelegate : public QStyledItemDelegate {
    Q_OBJECT

public:
    explicit RowHeightDelegate(QObject* parent = nullptr);

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
};
