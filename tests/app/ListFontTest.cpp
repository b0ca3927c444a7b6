// List font steps: limits, the stepped font and row height, and Ctrl+wheel stepping
// over a real view, including the 16 ms pacing of bursts.
#include "tests/app/ShellTestEnv.h"

#include "app/AppSettings.h"
#include "app/ListFont.h"

#include <QApplication>
#include <QFontMetricsF>
#include <QScrollBar>
#include <QStandardItemModel>
#include <QTest>
#include <QTreeView>
#include <QWheelEvent>

namespace {

QFont pixelFont(int pixels) {
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(pixels);
    return font;
}

class ListFontTest : public ::testing::Test {
protected:
    void SetUp() override {
        // The module captures the application font once: make it a 12-pixel font first.
        static const bool captured = [] {
            QApplication::setFont(pixelFont(12));
            return listfont::font().pixelSize() == 12;
        }();
        ASSERT_TRUE(captured);
        AppSettings::instance()->settings()->clear();
        listfont::resetStep();
    }
};

TEST_F(ListFontTest, StepsAreClampedOnReadAndWrite) {
    AppSettings::instance()->settings()->setValue(QStringLiteral("listFontStep"), 25);
    EXPECT_EQ(listfont::step(), 19);
    listfont::setStep(-9);
    EXPECT_EQ(AppSettings::instance()->settings()->value(QStringLiteral("listFontStep")).toInt(), -4);
    listfont::resetStep();
    EXPECT_EQ(listfont::step(), 0);
}

TEST_F(ListFontTest, FontMovesInPixelsButNeverBelowFour) {
    EXPECT_EQ(listfont::fontFor(pixelFont(12), 3).pixelSize(), 15);
    EXPECT_EQ(listfont::fontFor(pixelFont(12), -4).pixelSize(), 8);
    EXPECT_EQ(listfont::fontFor(pixelFont(6), -4).pixelSize(), 4);
    QFont points(QStringLiteral("DejaVu Sans"));
    points.setPointSizeF(9.5);
    EXPECT_EQ(listfont::fontFor(points, 0), points);

    listfont::setStep(3);
    EXPECT_EQ(listfont::font().pixelSize(), 15);
    AppSettings::instance()->settings()->setValue(QStringLiteral("listFontStep"), -9);
    EXPECT_EQ(listfont::font().pixelSize(), 8);
}

TEST_F(ListFontTest, RowHeightScalesWithTheFontHeightAndFollowsTheStep) {
    EXPECT_EQ(listfont::rowHeightFor(14, 14), 26);
    EXPECT_EQ(listfont::rowHeightFor(14, 28), 52);
    EXPECT_EQ(listfont::rowHeightFor(14, 2), 16);
    EXPECT_EQ(listfont::rowHeightFor(0, 14), 26);

    EXPECT_EQ(listfont::rowHeight(), 26);
    listfont::setStep(12);
    const double base = QFontMetricsF(pixelFont(12)).height();
    const double stepped = QFontMetricsF(pixelFont(24)).height();
    EXPECT_EQ(listfont::rowHeight(), listfont::rowHeightFor(base, stepped));
    EXPECT_GT(listfont::rowHeight(), 40);
    listfont::resetStep();
    EXPECT_EQ(listfont::rowHeight(), 26);
}

class WheelStepTest : public ListFontTest {
protected:
    void SetUp() override {
        ListFontTest::SetUp();
        for (int i = 0; i < 200; ++i)
            m_model.appendRow(new QStandardItem(QStringLiteral("row %1").arg(i)));
        m_view.setModel(&m_model);
        m_view.resize(200, 200);
        listfont::install(&m_view);
        m_view.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&m_view));
    }

    // Sends one wheel event; true when the viewport consumed it.
    bool wheel(int angle, QPoint pixels = {}, Qt::KeyboardModifiers modifiers = Qt::ControlModifier) {
        const QPointF at(50, 50);
        QWheelEvent event(at, m_view.viewport()->mapToGlobal(at), pixels, QPoint(0, angle), Qt::NoButton, modifiers,
                          Qt::NoScrollPhase, false);
        QApplication::sendEvent(m_view.viewport(), &event);
        return event.isAccepted();
    }

    QStandardItemModel m_model;
    QTreeView m_view;
};

TEST_F(WheelStepTest, NotchesStepAtOnceAndBurstsArePaced) {
    wheel(120);
    EXPECT_EQ(listfont::step(), 1) << "one notch applies at once";

    wheel(240);
    EXPECT_EQ(listfont::step(), 2) << "the first of two steps at once";
    wheel(120);  // arrives while the timer runs: only adds
    EXPECT_EQ(listfont::step(), 2);
    QTRY_COMPARE_WITH_TIMEOUT(listfont::step(), 4, 1000);
    QTest::qWait(60);
    EXPECT_EQ(listfont::step(), 4);

    wheel(720);  // at most two steps per event
    QTRY_COMPARE_WITH_TIMEOUT(listfont::step(), 6, 1000);
    QTest::qWait(60);
    EXPECT_EQ(listfont::step(), 6);

    wheel(60);  // less than a notch still counts as one
    EXPECT_EQ(listfont::step(), 7);
    wheel(-60);
    EXPECT_EQ(listfont::step(), 6);
}

TEST_F(WheelStepTest, ReversingDropsPendingStepsAndTheLimitStopsEverything) {
    wheel(720);
    EXPECT_EQ(listfont::step(), 1);
    wheel(-120);  // replaces the pending +1 by -1, applied by the running timer
    QTest::qWait(80);
    EXPECT_EQ(listfont::step(), 0);

    listfont::setStep(19);
    wheel(720);
    EXPECT_EQ(listfont::step(), 19);
    QTest::qWait(60);
    EXPECT_EQ(listfont::step(), 19);
    wheel(-120);  // nothing pending survived the limit: one step down at once
    EXPECT_EQ(listfont::step(), 18);
}

TEST_F(WheelStepTest, TouchpadPixelsMakeHalfStepsAndAtMostOnePerEvent) {
    wheel(0, QPoint(0, 3));
    EXPECT_EQ(listfont::step(), 1);
    wheel(0, QPoint(0, 1));  // with the carried half: one more
    EXPECT_EQ(listfont::step(), 2);
    wheel(0, QPoint(0, 40));
    QTest::qWait(60);
    EXPECT_EQ(listfont::step(), 3);
    wheel(0, QPoint(0, 1));  // a lone half step does nothing yet
    EXPECT_EQ(listfont::step(), 3);
}

TEST_F(WheelStepTest, CtrlWheelNeverScrollsAndThePlainWheelDoes) {
    QScrollBar* bar = m_view.verticalScrollBar();
    ASSERT_GT(bar->maximum(), 0);
    EXPECT_TRUE(wheel(-120));
    EXPECT_EQ(bar->value(), 0);
    EXPECT_EQ(listfont::step(), -1);
    wheel(0, {}, Qt::ControlModifier);  // an empty event is consumed and changes nothing
    EXPECT_EQ(listfont::step(), -1);

    wheel(-120, {}, Qt::NoModifier);
    EXPECT_GT(bar->value(), 0);
    EXPECT_EQ(listfont::step(), -1);
}

}  // namespace
