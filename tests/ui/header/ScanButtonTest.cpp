#include "ui/header/ScanButton.h"

#include "tests/app/ShellTestEnv.h"

#include <QMenu>
#include <QSignalSpy>
#include <QTest>

namespace {

class ScanButtonTest : public ::testing::Test {
protected:
    void SetUp() override {
        button.resize(120, 24);
        button.show();
    }
    QMenu* openMenu() const { return button.findChild<QMenu*>(); }
    void closeMenus() {
        for (QMenu* menu : button.findChildren<QMenu*>())
            menu->close();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    ScanButton button{QStringLiteral("Scan")};
};

}  // namespace

TEST_F(ScanButtonTest, BodyClickAndArrowZoneAreTwentyPixelsApart) {
    QSignalSpy clicked(&button, &ScanButton::clicked);
    QTest::mouseClick(&button, Qt::LeftButton, {}, QPoint(button.width() - 21, 12));
    EXPECT_EQ(clicked.count(), 1);
    EXPECT_EQ(openMenu(), nullptr);

    QTest::mouseClick(&button, Qt::LeftButton, {}, QPoint(button.width() - 20, 12));
    EXPECT_EQ(clicked.count(), 1) << "the release after an arrow press is swallowed";
    QMenu* menu = openMenu();
    ASSERT_NE(menu, nullptr);
    ASSERT_EQ(menu->actions().size(), 1);
    EXPECT_EQ(menu->actions()[0]->text(), QStringLiteral("Scan as Admin"));
    EXPECT_FALSE(menu->actions()[0]->icon().isNull());
    EXPECT_GE(menu->minimumWidth(), button.width());

    QSignalSpy admin(&button, &ScanButton::scanAsAdminRequested);
    menu->actions()[0]->trigger();
    EXPECT_EQ(admin.count(), 1);
    closeMenus();
}

TEST_F(ScanButtonTest, DuringAJobTheArrowOpensNothingAndCancelsNothing) {
    button.setMenuEnabled(false);
    QSignalSpy clicked(&button, &ScanButton::clicked);
    QTest::mousePress(&button, Qt::LeftButton, {}, QPoint(button.width() - 5, 12));
    EXPECT_FALSE(button.isDown());
    QTest::mouseRelease(&button, Qt::LeftButton, {}, QPoint(button.width() - 5, 12));
    EXPECT_EQ(clicked.count(), 0);
    EXPECT_EQ(openMenu(), nullptr);
    // The next body click works normally.
    QTest::mouseClick(&button, Qt::LeftButton, {}, QPoint(10, 12));
    EXPECT_EQ(clicked.count(), 1);
}

TEST_F(ScanButtonTest, ElevatedButtonOffersTheNonAdminScanAndDisabledOneNothing) {
    button.setElevated(true);
    EXPECT_EQ(button.toolTip(), QStringLiteral("Running as Administrator"));
    QTest::mouseClick(&button, Qt::LeftButton, {}, QPoint(button.width() - 1, 12));
    QMenu* menu = openMenu();
    ASSERT_NE(menu, nullptr);
    EXPECT_EQ(menu->actions()[0]->text(), QStringLiteral("Scan as Non-Admin"));
    EXPECT_TRUE(menu->actions()[0]->icon().isNull());
    QSignalSpy nonAdmin(&button, &ScanButton::scanAsNonAdminRequested);
    menu->actions()[0]->trigger();
    EXPECT_EQ(nonAdmin.count(), 1);
    closeMenus();

    button.setElevated(false);
    EXPECT_TRUE(button.toolTip().isEmpty());
    button.setEnabled(false);
    QSignalSpy clicked(&button, &ScanButton::clicked);
    QTest::mouseClick(&button, Qt::LeftButton, {}, QPoint(button.width() - 5, 12));
    QTest::mouseClick(&button, Qt::LeftButton, {}, QPoint(5, 12));
    EXPECT_EQ(openMenu(), nullptr);
    EXPECT_EQ(clicked.count(), 0);
}

TEST_F(ScanButtonTest, PaintsBlueBodyGreyWhenDisabledAndTheBadgeWhenElevated) {
    const auto colourAt = [&](int x, int y) { return button.grab().toImage().pixelColor(x, y); };
    EXPECT_EQ(colourAt(4, 4), QColor(0x00, 0x6f, 0xff));
    button.setEnabled(false);
    EXPECT_EQ(colourAt(4, 4), QColor(0x8a, 0x8a, 0x8a));

    const QImage badge = ScanButton::adminBadge(16).toImage();
    EXPECT_EQ(badge.pixelColor(8, 2), QColor(0xff, 0x95, 0x00));       // shield
    EXPECT_EQ(badge.pixelColor(8, 9), QColor(Qt::white));              // padlock body
    EXPECT_EQ(badge.pixelColor(0, 15).alpha(), 0);                     // outside the shield
    const QImage icon = ScanButton::elevatedWindowIcon().pixmap(256, 256).toImage();
    ASSERT_FALSE(icon.isNull());
    EXPECT_EQ(icon.pixelColor(256 - 106 + 53, 256 - 106 + 20), QColor(0xff, 0x95, 0x00));
}
