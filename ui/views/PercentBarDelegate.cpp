#include "ui/views/PercentBarDelegate.h"

#include "ui/views/ItemRoles.h"
#include "ui/views/RowHeightDelegate.h"

#include <QApplication>
#include <QLocale>
#include <QPainter>

#include <algorithm>

namespace {

constexpr QRgb kBarBaseColors[6] = {0xCDD4FF, 0xBBC9FF, 0xA9BEFF, 0x97B4FF, 0x85AAFF, 0x73A0FF};

// Read from PercentRole, else from the display text; limited to 0..100 (NaN counts as 0).
double percentOf(const QModelIndex& index, const QString& text) {
    const QVariant role = index.data(PercentRole);
    double value = 0;
    if (role.isValid()) {
        value = role.toDouble();
    } else {
        QString digits = text;
        digits.remove(QLatin1Char('%'));
        digits = digits.trimmed();
        // Written in the user's locale (75,4 in German); a plain C number is read too.
        bool ok = false;
        value = QLocale().toDouble(digits, &ok);
        if (!ok)
            value = digits.toDouble(&ok);
        if (!ok)
            value = 0;
    }
    if (!(value > 0))
        return 0;
    return std::min(value, 100.0);
}

}  // namespace

QColor barColor(int level, bool lightBase) {
    const QColor base(kBarBaseColors[((level % 6) + 6) % 6]);
    const QColor light(base.red() - 48, base.green() - 48, base.blue());
    if (lightBase)
        return light;
    const int luma = static_cast<int>(0.3 * light.red() + 0.6 * light.green() + 0.1 * light.blue() + 0.5);
    const int grey = static_cast<int>(luma * 0.7);
    return QColor(grey, grey, grey);
}

PercentBarDelegate::PercentBarDelegate(QObject* parent, bool flatBars)
    : QStyledItemDelegate(parent), m_flatBars(flatBars) {}

void PercentBarDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                               const QModelIndex& index) const {
    QStyleOptionViewItem opt = option;
    initStyleOption(&opt, index);
    const QString text = opt.text;
    opt.text.clear();
    QStyle* style = opt.widget ? opt.widget->style() : QApplication::style();
    style->drawControl(QStyle::CE_ItemViewItem, &opt, painter, opt.widget);

    const double percent = percentOf(index, text);
    const int level = index.data(BarLevelRole).toInt();
    const bool light = opt.palette.color(QPalette::Base).lightness() > 127;

    const QRect& r = opt.rect;
    const int width = r.right() - r.left() + 1;
    const int indent = (m_flatBars || level <= 0) ? 0 : std::min(level, 7) * (width / 12);
    const int left = r.left() + indent;
    const int areaWidth = width - indent;

    painter->save();
    if (!text.isEmpty()) {
        const int length = static_cast<int>(areaWidth * percent / 100.0);
        if (length > 0)
            painter->fillRect(QRect(QPoint(left, r.top()), QPoint(left + length - 1, r.bottom() - 1)),
                              barColor(m_flatBars ? 0 : level, light));
        painter->setPen(light ? QColor(224, 224, 224) : QColor(64, 64, 64));
        painter->setBrush(Qt::NoBrush);
        painter->drawRect(QRect(QPoint(left, r.top()), QPoint(r.right() - 1, r.bottom() - 2)));
    }
    painter->setFont(opt.font);
    painter->setPen(opt.palette.color((opt.state & QStyle::State_Selected) ? QPalette::HighlightedText
                                                                           : QPalette::Text));
    painter->drawText(QRect(QPoint(r.left() + 4, r.top()), QPoint(r.right() - 6, r.bottom())),
                      Qt::AlignRight | Qt::AlignVCenter, text);
    painter->restore();
    drawGridLine(painter, option);
}

QSize PercentBarDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const {
    return listRowSizeHint(*this, option, index);
}
