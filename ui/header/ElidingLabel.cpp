#include "ui/header/ElidingLabel.h"

#include "app/DirectionalText.h"

#include <QPainter>
#include <QStyle>

#include <algorithm>

ElidingLabel::ElidingLabel(QWidget* parent) : QLabel(parent) {
    setTextFormat(Qt::PlainText);
}

QString ElidingLabel::shownText() const {
    const int room = contentsRect().width() - 2 * margin() - 2 * std::max(indent(), 0);
    return fontMetrics().elidedText(text(), Qt::ElideMiddle, std::max(room, 0));
}

QString ElidingLabel::drawnText() const {
    return m_holdsPath ? isolatePath(shownText(), layoutDirection()) : isolateText(shownText(), layoutDirection());
}

void ElidingLabel::setHoldsPath(bool holdsPath) {
    m_holdsPath = holdsPath;
    update();
}

QSize ElidingLabel::minimumSizeHint() const {
    const QSize full = QLabel::minimumSizeHint();
    const QMargins m = contentsMargins();
    const int narrow = fontMetrics().horizontalAdvance(QStringLiteral("…")) + m.left() + m.right() + 2 * margin() +
                       2 * std::max(indent(), 0);
    return QSize(std::min(full.width(), narrow), full.height());
}

void ElidingLabel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    drawFrame(&painter);
    const QRect area = contentsRect().adjusted(margin(), margin(), -margin(), -margin());
    style()->drawItemText(&painter, area, int(alignment()), palette(), isEnabled(), drawnText(), foregroundRole());
}
