#include "ui/views/DimmedTextColor.h"

#include <QGuiApplication>
#include <QPalette>

QColor dimmedTextColor() {
    const QPalette palette = QGuiApplication::palette();
    const QColor text = palette.color(QPalette::Text);
    const QColor base = palette.color(QPalette::Base);
    return QColor((6 * text.red() + 4 * base.red()) / 10, (6 * text.green() + 4 * base.green()) / 10,
                  (6 * text.blue() + 4 * base.blue()) / 10);
}
