#include "ui/dialogs/LicenseInfoDialog.h"

#include "tests/ui/dialogs/DialogTestSupport.h"

#include <QFontMetrics>
#include <QPlainTextEdit>

#include <algorithm>

TEST(LicenseInfoDialog, ShowsTheCarriedTextsReadOnlyAndWideEnough) {
    const QString licence = readLicenseText();
    const QString notices = readThirdPartyNotices();
    EXPECT_TRUE(licence.contains(QStringLiteral("Hollowmere")));
    EXPECT_TRUE(notices.contains(QStringLiteral("Qt 6")));
    EXPECT_TRUE(notices.contains(QStringLiteral("LGPL")));

    LicenseInfoDialog dialog(notices, nullptr, QStringLiteral("Third-Party Notices"));
    EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Third-Party Notices"));
    auto* text = dialog.findChild<QPlainTextEdit*>();
    EXPECT_TRUE(text->isReadOnly());
    EXPECT_EQ(text->toPlainText(), notices);
    const int digit = QFontMetrics(text->font()).horizontalAdvance(QLatin1Char('0'));
    EXPECT_EQ(dialog.width(), std::max(84 * digit + 60, 680));
    EXPECT_EQ(dialog.height(), 560);

    const LicenseInfoDialog untitled{QString()};
    EXPECT_EQ(untitled.windowTitle(), QStringLiteral("License Info"));
    EXPECT_TRUE(untitled.findChild<QPlainTextEdit*>()->toPlainText().isEmpty());
}
