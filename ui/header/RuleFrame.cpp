#include "ui/header/RuleFrame.h"

#include <QPainter>

RuleFrame::RuleFrame(QWidget* parent) : QFrame(parent) {}

void RuleFrame::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), palette().color(QPalette::Mid));
}
