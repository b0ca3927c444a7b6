// Percentage cells: a coloured bar behind a right-aligned text. The bar is indented and
// coloured by the row's BarLevelRole unless flatBars is set. GUI thread only.
#pragma once

#include <QColor>
#include <QStyledItemDelegate>

// The bar colour of a nesting level (level modulo 6, negative levels counted from the
// end) over a light or a dark base.
QColor barColor(int level, bool lightBase);

class PercentBarDelegate : public QStyledItemDelegate {
    Q_OBJECT

public:
    PercentBarDelegate(QObject* parent, bool flatBars);

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;

private:
    bool m_flatBars;
};
