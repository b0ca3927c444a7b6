#include "ui/header/FunnelButton.h"

#include <QPainter>
#include <QPainterPath>

FunnelButton::FunnelButton(QWidget* parent) : QToolButton(parent) {}

void FunnelButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QPalette::ColorGroup group = isEnabled() ? QPalette::Active : QPalette::Disabled;
    QColor background = palette().color(group, isChecked() ? QPalette::Highlight : QPalette::Button);
    if (isDown())
        background = background.darker(115);
    else if (underMouse())
        background = background.lighter(112);
    painter.setPen(Qt::NoPen);
    painter.setBrush(background);
    painter.drawRoundedRect(QRectF(0.5, 0.5, width() - 1, height() - 1), 5, 5);

    // The funnel in a 16-unit design space, centred and drawn at three quarters.
    QPainterPath funnel;
    funnel.moveTo(0, 1);
    for (const QPointF& p : {QPointF(16, 1), QPointF(16, 3), QPointF(10, 9), QPointF(10, 13), QPointF(8, 15),
                             QPointF(6, 13), QPointF(6, 9), QPointF(0, 3)})
        funnel.lineTo(p);
    funnel.closeSubpath();
    QTransform transform;
    transform.translate(width() / 2.0 - 6, height() / 2.0 - 6);
    transform.scale(0.75, 0.75);
    painter.setTransform(transform);
    painter.setBrush(palette().color(group, isChecked() ? QPalette::HighlightedText : QPalette::ButtonText));
    painter.drawPath(funnel);
}
