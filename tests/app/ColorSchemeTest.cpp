#include "app/ColorScheme.h"

#include "tests/app/ShellTestEnv.h"

#include "app/AppSettings.h"
#include "app/SortArrowStyle.h"

#include <QApplication>
#include <QLabel>
#include <QStyle>

#include <unistd.h>

namespace {

QColor windowColor() {
    return QApplication::palette().color(QPalette::Window);
}

QString baseStyleName() {
    auto* proxy = qobject_cast<QProxyStyle*>(QApplication::style());
    return proxy && proxy->baseStyle() ? proxy->baseStyle()->name().toLower() : QString();
}

}  // namespace

TEST(ColorScheme, StoredAppearanceReadsOnlyOneAndTwo) {
    QSettings* store = AppSettings::instance()->settings();
    for (const auto& [value, scheme] : {std::pair{QVariant(1), 1}, {QVariant(2), 2}, {QVariant(7), 0},
                                        {QVariant(-1), 0}, {QVariant("dark"), 0}, {QVariant(), 0}}) {
        if (value.isValid())
            store->setValue(QStringLiteral("appearance"), value);
        else
            store->remove(QStringLiteral("appearance"));
        EXPECT_EQ(savedColorScheme(), scheme) << value.toString().toStdString();
    }
    store->clear();
}

TEST(ColorScheme, DarkLightAndBackToTheDesktopsOwnLook) {
    // Run as a user whose desktop scheme is not handed over.
    unsetenv("ZRT_USER_SCHEME");
    const bool desktopDark = systemPaletteIsDark();  // captures the platform look first
    const QPalette platform = QApplication::palette();

    QLabel sheet(QStringLiteral("x"));
    sheet.setStyleSheet(QStringLiteral("QLabel { background: palette(window); }"));
    sheet.resize(20, 20);
    sheet.show();

    applyColorScheme(2);
    EXPECT_EQ(windowColor(), QColor(0x1F, 0x26, 0x28));
    EXPECT_EQ(QApplication::palette().color(QPalette::Disabled, QPalette::Text), QColor(0x78, 0x7E, 0x80));
    EXPECT_EQ(QApplication::palette().color(QPalette::Active, QPalette::Text), QColor(0xD6, 0xD7, 0xD7));
    EXPECT_NE(qobject_cast<SortArrowStyle*>(QApplication::style()), nullptr);
    EXPECT_EQ(baseStyleName(), QStringLiteral("fusion"));
    EXPECT_EQ(sheet.grab().toImage().pixelColor(10, 10), QColor(0x1F, 0x26, 0x28))
        << "style sheets naming palette colours follow the scheme";

    applyColorScheme(1);
    EXPECT_GT(windowColor().lightness(), 128);
    EXPECT_EQ(sheet.grab().toImage().pixelColor(10, 10), windowColor());

    applyColorScheme(0);
    EXPECT_EQ(windowColor(), platform.color(QPalette::Window));
    EXPECT_FALSE(QCoreApplication::testAttribute(Qt::AA_SetPalette));
    EXPECT_EQ(systemPaletteIsDark(), desktopDark) << "reflects the desktop, not the applied scheme";

    // Values other than 0, 1, 2 change nothing.
    applyColorScheme(2);
    const QStyle* before = QApplication::style();
    applyColorScheme(5);
    EXPECT_EQ(QApplication::style(), before);
    EXPECT_EQ(windowColor(), QColor(0x1F, 0x26, 0x28));
    applyColorScheme(0);
}

TEST(ColorScheme, AdministratorCopyFollowsTheUsersDarkDesktop) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs an effective user id of 0";
    if (systemPaletteIsDark())
        GTEST_SKIP() << "the platform palette here is already dark";
    {
        shelltest::ScopedEnv env("ZRT_USER_SCHEME", "dark");
        applyColorScheme(0);
        EXPECT_EQ(windowColor(), QColor(0x1F, 0x26, 0x28));
        EXPECT_EQ(baseStyleName(), QStringLiteral("fusion"));
    }
    {
        shelltest::ScopedEnv env("ZRT_USER_SCHEME", "light");
        applyColorScheme(0);
        EXPECT_NE(windowColor(), QColor(0x1F, 0x26, 0x28));
    }
}
