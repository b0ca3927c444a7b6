// The proxy style against plain Fusion: header arrows swapped, dark-palette text-box
// frames and indicators drawn by the proxy, light palettes left to the base style.
#include "tests/app/ShellTestEnv.h"

#include "app/SortArrowStyle.h"

#include <QComboBox>
#include <QImage>
#include <QLineEdit>
#include <QPainter>
#include <QStyleFactory>
#include <QStyleOption>

#include <memory>

namespace {

QPalette darkTestPalette() {
    QPalette p;
    p.setColor(QPalette::Window, QColor(0x1F2628));
    p.setColor(QPalette::Base, QColor(0x1F2628));
    p.setColor(QPalette::AlternateBase, QColor(0x2A3032));
    p.setColor(QPalette::Mid, QColor(0x565D5F));
    p.setColor(QPalette::Highlight, QColor(0x006FFF));
    return p;
}

QPalette lightTestPalette() {
    QPalette p;
    p.setColor(QPalette::Window, QColor(0xEFEFEF));
    p.setColor(QPalette::Base, Qt::white);
    return p;
}

QImage drawn(const QStyle& style, QStyle::PrimitiveElement element, const QStyleOption& option,
             const QWidget* widget = nullptr) {
    QImage image(option.rect.size(), QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    style.drawPrimitive(element, &option, &painter, widget);
    return image;
}

class SortArrowStyleTest : public ::testing::Test {
protected:
    std::unique_ptr<QStyle> fusion{QStyleFactory::create(QStringLiteral("Fusion"))};
    SortArrowStyle proxy{QStringLiteral("Fusion")};
};

TEST_F(SortArrowStyleTest, HeaderArrowsPointTheOtherWay) {
    QStyleOptionHeader up;
    up.rect = QRect(0, 0, 16, 16);
    up.palette = lightTestPalette();
    up.state = QStyle::State_Enabled;
    up.sortIndicator = QStyleOptionHeader::SortUp;
    QStyleOptionHeader down = up;
    down.sortIndicator = QStyleOptionHeader::SortDown;

    const QImage proxyUp = drawn(proxy, QStyle::PE_IndicatorHeaderArrow, up);
    EXPECT_EQ(proxyUp, drawn(*fusion, QStyle::PE_IndicatorHeaderArrow, down));
    EXPECT_NE(proxyUp, drawn(*fusion, QStyle::PE_IndicatorHeaderArrow, up));
    EXPECT_EQ(drawn(proxy, QStyle::PE_IndicatorHeaderArrow, down), drawn(*fusion, QStyle::PE_IndicatorHeaderArrow, up));
    EXPECT_EQ(proxy.styleHint(QStyle::SH_ComboBox_Popup), 0);
}

TEST_F(SortArrowStyleTest, DarkTextBoxesGetARoundedFrameHighlightedWhileFocused) {
    QLineEdit standalone;
    QComboBox combo;
    combo.setEditable(true);
    QWidget plain;
    plain.setProperty("svlTextBox", true);

    QStyleOptionFrame frame;
    frame.rect = QRect(0, 0, 60, 24);
    frame.palette = darkTestPalette();
    frame.state = QStyle::State_Enabled;
    frame.lineWidth = 1;

    const QImage own = drawn(proxy, QStyle::PE_PanelLineEdit, frame, &standalone);
    EXPECT_NE(own, drawn(*fusion, QStyle::PE_PanelLineEdit, frame, &standalone));
    // The frame's top edge runs through the middle of its first row of pixels.
    EXPECT_EQ(QColor(own.pixel(30, 0)).rgb(), QColor(0x565D5F).rgb());
    EXPECT_EQ(QColor(own.pixel(30, 12)).rgb(), QColor(0x2A3032).rgb());
    EXPECT_EQ(own, drawn(proxy, QStyle::PE_PanelLineEdit, frame, &plain));

    QStyleOptionFrame focused = frame;
    focused.state |= QStyle::State_HasFocus;
    EXPECT_EQ(QColor(drawn(proxy, QStyle::PE_PanelLineEdit, focused, &standalone).pixel(30, 0)).rgb(),
              QColor(0x006FFF).rgb());

    // Editors inside combo boxes, frameless boxes and light palettes keep the base look.
    EXPECT_EQ(drawn(proxy, QStyle::PE_PanelLineEdit, frame, combo.lineEdit()),
              drawn(*fusion, QStyle::PE_PanelLineEdit, frame, combo.lineEdit()));
    QStyleOptionFrame frameless = frame;
    frameless.lineWidth = 0;
    EXPECT_EQ(drawn(proxy, QStyle::PE_PanelLineEdit, frameless, &standalone),
              drawn(*fusion, QStyle::PE_PanelLineEdit, frameless, &standalone));
    QStyleOptionFrame light = frame;
    light.palette = lightTestPalette();
    EXPECT_EQ(drawn(proxy, QStyle::PE_PanelLineEdit, light, &standalone),
              drawn(*fusion, QStyle::PE_PanelLineEdit, light, &standalone));
}

TEST_F(SortArrowStyleTest, IndicatorsAreFlatInDarkPalettesOnly) {
    QStyleOptionButton option;
    option.rect = QRect(0, 0, 21, 21);
    option.state = QStyle::State_Enabled | QStyle::State_On;

    for (const auto element : {QStyle::PE_IndicatorCheckBox, QStyle::PE_IndicatorRadioButton}) {
        SCOPED_TRACE(element);
        option.palette = lightTestPalette();
        EXPECT_EQ(drawn(proxy, element, option), drawn(*fusion, element, option));

        option.palette = darkTestPalette();
        const QImage checked = drawn(proxy, element, option);
        EXPECT_NE(checked, drawn(*fusion, element, option));
        // s = 20, d = 19: the square spans 0.5..19.5; filled with the accent, white mark.
        EXPECT_EQ(QColor(checked.pixel(10, 3)).rgb(), QColor(0x006FFF).rgb());
        // The white mark (antialiased): the dot's centre, or the tick's lower stroke.
        const QPoint mark = element == QStyle::PE_IndicatorRadioButton ? QPoint(10, 10) : QPoint(9, 14);
        EXPECT_GT(QColor(checked.pixel(mark)).red(), 120);

        QStyleOptionButton off = option;
        off.state = QStyle::State_Enabled | QStyle::State_Off;
        const QImage unchecked = drawn(proxy, element, off);
        EXPECT_EQ(QColor(unchecked.pixel(10, 10)).rgb(), QColor(0x2A3032).rgb()) << "no mark";
    }

    option.palette = darkTestPalette();
    option.state = QStyle::State_Enabled | QStyle::State_NoChange;
    const QImage partial = drawn(proxy, QStyle::PE_IndicatorCheckBox, option);
    EXPECT_GT(QColor(partial.pixel(10, 10)).red(), 150);
    EXPECT_EQ(QColor(partial.pixel(10, 13)).rgb(), QColor(0x006FFF).rgb()) << "a line, not a tick";
}

}  // namespace
