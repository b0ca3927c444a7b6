// The start-up font-size match and the smaller secondary font.
#include "tests/app/ShellTestEnv.h"

#include "app/AppSettings.h"
#include "app/TextMetrics.h"

#include <QApplication>
#include <QFontMetricsF>

namespace {

class TextMetricsTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_saved = QApplication::font();
        AppSettings::instance()->settings()->clear();
    }
    void TearDown() override { QApplication::setFont(m_saved); }
    QFont m_saved;
};

TEST_F(TextMetricsTest, FactorBringsTheSampleToTheReferenceWidthButOnlyShrinksByAFifth) {
    const struct {
        double width;
        double factor;
    } cases[] = {{486.16, 1.0}, {300, 1.0}, {500, 0.97232}, {488, 0.99623}, {700, 0.8}, {0, 1.0}, {-5, 1.0}};
    for (const auto& c : cases)
        EXPECT_NEAR(scaleFactorForSampleWidth(c.width), c.factor, 5e-6) << c.width;
}

TEST_F(TextMetricsTest, MatchShrinksLargeFontsAndLeavesSmallOnes) {
    QFont large(QStringLiteral("DejaVu Sans"));
    large.setPointSizeF(40);
    QApplication::setFont(large);
    ASSERT_GT(QFontMetricsF(large).horizontalAdvance(QStringLiteral("The quick brown fox")), 0);
    EXPECT_DOUBLE_EQ(applyTextSizeMatch(), 0.8);
    EXPECT_NEAR(QApplication::font().pointSizeF(), 32.0, 1e-9);

    QFont small = large;
    small.setPointSizeF(5);
    QApplication::setFont(small);
    EXPECT_DOUBLE_EQ(applyTextSizeMatch(), 1.0);
    EXPECT_EQ(QApplication::font().pointSizeF(), 5.0);

    // A pixel-sized font and a switched-off match change nothing.
    QFont pixels = large;
    pixels.setPixelSize(60);
    QApplication::setFont(pixels);
    EXPECT_DOUBLE_EQ(applyTextSizeMatch(), 1.0);
    EXPECT_EQ(QApplication::font().pixelSize(), 60);

    QApplication::setFont(large);
    AppSettings::instance()->setValue("matchMacTextSize", false);
    EXPECT_DOUBLE_EQ(applyTextSizeMatch(), 1.0);
    EXPECT_EQ(QApplication::font().pointSizeF(), 40.0);
}

TEST_F(TextMetricsTest, SmallerFontIsEightyEightPercentInTheAskedWeight) {
    QFont ten = QApplication::font();
    ten.setPointSizeF(10);
    QApplication::setFont(ten);
    const QFont bold = smallerFont(true);
    EXPECT_NEAR(bold.pointSizeF(), 8.8, 1e-9);
    EXPECT_EQ(bold.weight(), QFont::Bold);
    EXPECT_EQ(smallerFont(false).weight(), QFont::Normal);

    QFont pixels = ten;
    pixels.setPixelSize(14);
    QApplication::setFont(pixels);
    EXPECT_EQ(smallerFont(false).pixelSize(), 14);
}

}  // namespace
