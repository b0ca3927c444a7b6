#include "ui/header/ScanButton.h"

#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

namespace {

const QColor kAccentBlue(0x00, 0x6f, 0xff);
const QColor kBadgeOrange(0xff, 0x95, 0x00);

}  // namespace

ScanButton::ScanButton(const QString& text, QWidget* parent) : QPushButton(text, parent) {
    setMouseTracking(true);
    setCursor(Qt::ArrowCursor);
    setFocusPolicy(Qt::TabFocus);
    QFont f = font();
    f.setWeight(QFont::Weight(600));
    setFont(f);
}

void ScanButton::setElevated(bool elevated) {
    m_elevated = elevated;
    setToolTip(elevated ? tr("Running as Administrator") : QString());
    update();
}

void ScanButton::setMenuEnabled(bool enabled) {
    m_menuEnabled = enabled;
    update();
}

bool ScanButton::inArrowZone(const QPointF& position) const {
    return qRound(position.x()) >= width() - kArrowZone;
}

void ScanButton::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && isEnabled() && inArrowZone(event->position())) {
        // The body never goes down for an arrow press, so no click can follow it.
        m_arrowPressed = true;
        if (m_menuEnabled)
            openMenu();
        event->accept();
        return;
    }
    QPushButton::mousePressEvent(event);
}

void ScanButton::mouseReleaseEvent(QMouseEvent* event) {
    if (m_arrowPressed) {
        m_arrowPressed = false;
        event->accept();
        return;
    }
    QPushButton::mouseReleaseEvent(event);
}

void ScanButton::mouseMoveEvent(QMouseEvent* event) {
    const bool hovered = inArrowZone(event->position());
    if (hovered != m_arrowHovered) {
        m_arrowHovered = hovered;
        update();
    }
    QPushButton::mouseMoveEvent(event);
}

void ScanButton::leaveEvent(QEvent* event) {
    m_arrowHovered = false;
    QPushButton::leaveEvent(event);
}

void ScanButton::openMenu() {
    auto* menu = new QMenu(this);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->setMinimumWidth(width());
    if (m_elevated) {
        menu->addAction(tr("Scan as Non-Admin"), this, &ScanButton::scanAsNonAdminRequested);
    } else {
        QAction* action = menu->addAction(QIcon(adminBadge(16)), tr("Scan as Admin"));
        connect(action, &QAction::triggered, this, &ScanButton::scanAsAdminRequested);
    }
    menu->popup(mapToGlobal(QPoint(0, height() - 1 + 5)));
}

void ScanButton::paintEvent(QPaintEvent*) {
    const int w = width();
    const int h = height();
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);

    QColor body = kAccentBlue;
    if (!isEnabled())
        body = QColor(0x8a, 0x8a, 0x8a);
    else if (isDown() && !m_arrowPressed)
        body = body.darker(120);
    else if (underMouse() && !m_arrowHovered)
        body = body.lighter(112);
    painter.setPen(Qt::NoPen);
    painter.setBrush(body);
    painter.drawRoundedRect(QRectF(0.5, 0.5, w - 1, h - 1), 5, 5);

    const QColor textColor = isEnabled() ? QColor(Qt::white) : QColor(0xe1, 0xe1, 0xe1);
    const int advance = fontMetrics().horizontalAdvance(text());
    const int contentWidth = m_elevated ? advance + 18 : advance;
    const int x0 = (w - kArrowZone - contentWidth) / 2;
    painter.setFont(font());
    painter.setPen(textColor);
    painter.drawText(QRect(x0, 0, advance, h), Qt::AlignLeft | Qt::AlignVCenter, text());
    if (m_elevated)
        painter.drawPixmap(x0 + advance + 4, (h - 14) / 2, adminBadge(14));

    QColor divider = textColor;
    divider.setAlpha(110);
    painter.setPen(divider);
    painter.drawLine(QPointF(w - kArrowZone, (h - 14) / 2), QPointF(w - kArrowZone, (h + 14) / 2));

    QColor chevronColor = textColor;
    if (!m_menuEnabled)
        chevronColor.setAlpha(100);
    QPen chevron(chevronColor, 1.7, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    painter.setPen(chevron);
    painter.setBrush(Qt::NoBrush);
    const double cx = w - kArrowZone + 10.5;
    const double cy = h / 2 + 0.5;
    const QPointF points[] = {{cx - 4, cy - 2}, {cx, cy + 2}, {cx + 4, cy - 2}};
    painter.drawPolyline(points, 3);
}

QPixmap ScanButton::adminBadge(int size) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(size / 16.0, size / 16.0);

    QPainterPath shield;
    shield.moveTo(8, 1);
    shield.lineTo(14, 3.2);
    shield.lineTo(14, 8);
    shield.cubicTo(14, 11.5, 11.5, 14, 8, 15);
    shield.cubicTo(4.5, 14, 2, 11.5, 2, 8);
    shield.lineTo(2, 3.2);
    shield.closeSubpath();
    painter.setPen(Qt::NoPen);
    painter.setBrush(kBadgeOrange);
    painter.drawPath(shield);

    painter.setBrush(Qt::white);
    painter.drawRoundedRect(QRectF(5.4, 7.2, 5.2, 4.2), 0.8, 0.8);

    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(Qt::white, 1.1, Qt::SolidLine, Qt::SquareCap, Qt::BevelJoin));
    painter.drawArc(QRectF(6.3, 4.6, 3.4, 4.4), 0, 180 * 16);
    return pixmap;
}

QIcon ScanButton::elevatedWindowIcon() {
    QPixmap icon;
    if (!icon.load(QStringLiteral(":/sorvale.png")))
        return QIcon();
    const int badge = icon.width() * 5 / 12;
    QPainter painter(&icon);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.drawPixmap(icon.width() - badge, icon.height() - badge, adminBadge(badge));
    painter.end();
    return QIcon(icon);
}
