#include "ui/mainwindow/PageTabs.h"

#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

RestingTabBar::RestingTabBar(QWidget* parent) : QTabBar(parent) {
    setDrawBase(false);
    setExpanding(false);
    setMouseTracking(true);
}

void RestingTabBar::mouseMoveEvent(QMouseEvent* event) {
    const int index = tabAt(event->position().toPoint());
    if (index != m_hoverIndex) {
        m_hoverIndex = index;
        update();
    }
    QTabBar::mouseMoveEvent(event);
}

void RestingTabBar::leaveEvent(QEvent* event) {
    m_hoverIndex = -1;
    update();
    QTabBar::leaveEvent(event);
}

void RestingTabBar::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing, true);
    for (int i = 0; i < count(); ++i) {
        const QRect r = tabRect(i).adjusted(2, 7, -2, 0);
        if (i == currentIndex()) {
            painter.save();
            painter.setClipRect(r);
            QPainterPath path;
            path.addRoundedRect(QRectF(r.left(), r.top(), r.width(), r.height() + 6), 6, 6);
            painter.fillPath(path, QColor(128, 128, 128, 55));
            painter.restore();
        }
        const bool lit = i == currentIndex() || i == m_hoverIndex;
        painter.setPen(palette().color(QPalette::Current, lit ? QPalette::WindowText : QPalette::PlaceholderText));
        painter.drawText(r, Qt::AlignCenter, tabText(i));
    }
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.setPen(palette().color(QPalette::Current, QPalette::Mid));
    painter.drawLine(0, height() - 1, width(), height() - 1);
}

QSize RestingTabBar::tabSizeHint(int index) const {
    const QFontMetrics metrics(font());
    return QSize(metrics.horizontalAdvance(tabText(index)) + 32, metrics.height() + 17);
}

QSize RestingTabBar::minimumTabSizeHint(int index) const {
    return tabSizeHint(index);
}

PageTabs::PageTabs(QWidget* parent) : QTabWidget(parent), m_bar(new RestingTabBar(this)) {
    setTabBar(m_bar);
}
