// The proxy style every widget is drawn through: header sort arrows point the other
// way from Qt's default, and in dark palettes text boxes get a rounded frame and check
// boxes and radio buttons flat rounded indicators; combo boxes open as drop-down lists.
// GUI thread only; once installed with QApplication::setStyle the application owns it.
#pragma once

#include <QProxyStyle>
#include <QString>

class SortArrowStyle : public QProxyStyle {
    Q_OBJECT

public:
    // `baseStyleName`: "Fusion" or the platform's own style, by its factory key.
    explicit SortArrowStyle(const QString& baseStyleName);

    void drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                       const QWidget* widget = nullptr) const override;
    int styleHint(StyleHint hint, const QStyleOption* option = nullptr, const QWidget* widget = nullptr,
                  QStyleHintReturn* returnData = nullptr) const override;
};
