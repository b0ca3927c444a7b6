#include "app/SortArrowStyle.h"

#include <QAbstractSpinBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPainter>
#include <QPainterPath>
#include <QStyleOption>

#include <algorithm>

namespace {

bool isDark(const QStyleOption* option) { return option->palette.color(QPalette::Window).lightness() <= 127; }

// Text boxes proper; the editors inside spin boxes and combo boxes keep the base look.
bool isTextBox(const QWidget* widget) {
    if (!widget)
        return false;
    if (widget->property("svlTextBox").toBool())
        return true;
    if (!qobject_cast<const QLineEdit*>(widget))
        return false;
    const QObject* parent = widget->parent();
    return !qobject_cast<const QAbstractSpinBox*>(parent) && !qobject_cast<const QComboBox*>(parent);
}

void drawTextBoxFrame(const QStyleOption* option, QPainter* painter) {
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing, true);
    const bool focused = option->state & QStyle::State_HasFocus;
    painter->setPen(QPen(option->palette.color(focused ? QPalette::Highlight : QPalette::Mid), 1));
    painter->setBrush(option->palette.color(QPalette::AlternateBase));
    const QRectF r(option->rect.x() + 0.5, option->rect.y() + 0.5, option->rect.width() - 1, option->rect.height() - 1);
    painter->drawRoundedRect(r, 3, 3);
    painter->restore();
}

void drawFlatIndicator(const QStyleOption* option, QPainter* painter, bool radio) {
    const QPalette& pal = option->palette;
    QColor accent = pal.color(QPalette::Highlight);
    const QColor fill = pal.color(QPalette::AlternateBase);
    QColor outline = pal.color(QPalette::Mid);
    const bool enabled = option->state & QStyle::State_Enabled;
    if (enabled && (option->state & QStyle::State_MouseOver))
        outline = outline.lighter(130);
    if (!enabled) {
        accent.setAlphaF(0.4f);
        outline.setAlphaF(0.5f);
    }

    const QRect& rect = option->rect;
    const int s = std::min(rect.width(), rect.height()) - 1;
    const double d = s - 1;
    const QPointF topLeft = QPointF(rect.center()) - QPointF(s / 2.0, s / 2.0) + QPointF(0.5, 0.5);
    const QRectF square(topLeft, QSizeF(d, d));

    const bool checked = option->state & QStyle::State_On;
    const bool partial = !radio && (option->state & QStyle::State_NoChange);
    const bool filled = checked || partial;

    painter->save();
    painter->setRenderHint(QPainter::Antialiasing, true);
    painter->setPen(QPen(filled ? accent : outline, 1));
    painter->setBrush(filled ? accent : fill);
    if (radio)
        painter->drawEllipse(square);
    else
        painter->drawRoundedRect(square, 3, 3);

    QPen markPen(Qt::white, 1.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    if (radio && checked) {
        painter->setPen(Qt::NoPen);
        painter->setBrush(Qt::white);
        const double dot = 0.4 * d;
        painter->drawEllipse(QRectF(square.center() - QPointF(dot / 2, dot / 2), QSizeF(dot, dot)));
    } else if (!radio && checked) {
        painter->setPen(markPen);
        painter->setBrush(Qt::NoBrush);
        QPainterPath tick;
        tick.moveTo(topLeft + QPointF(0.25 * d, 0.52 * d));
        tick.lineTo(topLeft + QPointF(0.44 * d, 0.72 * d));
        tick.lineTo(topLeft + QPointF(0.76 * d, 0.30 * d));
        painter->drawPath(tick);
    } else if (partial) {
        painter->setPen(markPen);
        painter->setBrush(Qt::NoBrush);
        painter->drawLine(topLeft + QPointF(0.28 * d, 0.5 * d), topLeft + QPointF(d - 0.28 * d, 0.5 * d));
    }
    painter->restore();
}

}  // namespace

SortArrowStyle::SortArrowStyle(const QString& baseStyleName) : QProxyStyle(baseStyleName) {}

void SortArrowStyle::drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                                   const QWidget* widget) const {
    switch (element) {
    case PE_IndicatorHeaderArrow:
        if (const auto* header = qstyleoption_cast<const QStyleOptionHeader*>(option)) {
            QStyleOptionHeader swapped = *header;
            if (header->sortIndicator == QStyleOptionHeader::SortUp)
                swapped.sortIndicator = QStyleOptionHeader::SortDown;
            else if (header->sortIndicator == QStyleOptionHeader::SortDown)
                swapped.sortIndicator = QStyleOptionHeader::SortUp;
            QProxyStyle::drawPrimitive(element, &swapped, painter, widget);
            return;
        }
        break;
    case PE_PanelLineEdit:
        if (isTextBox(widget) && isDark(option)) {
            const auto* frame = qstyleoption_cast<const QStyleOptionFrame*>(option);
            if (!frame || frame->lineWidth >= 1) {
                drawTextBoxFrame(option, painter);
                return;
            }
        }
        break;
    case PE_IndicatorCheckBox:
    case PE_IndicatorRadioButton:
        if (isDark(option)) {
            drawFlatIndicator(option, painter, element == PE_IndicatorRadioButton);
            return;
        }
        break;
    default:
        break;
    }
    QProxyStyle::drawPrimitive(element, option, painter, widget);
}

int SortArrowStyle::styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                              QStyleHintReturn* returnData) const {
    if (hint == SH_ComboBox_Popup)
        return 0;
    return QProxyStyle::styleHint(hint, option, widget, returnData);
}
