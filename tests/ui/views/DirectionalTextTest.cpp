// Texts of the file system keep their reading order in a right-to-left window.
#include "ui/views/DirectionalText.h"

#include <gtest/gtest.h>

TEST(DirectionalText, EmbedsOnlyLeftToRightTextsInARightToLeftContext) {
    const QString lre(QChar(0x202A)), pdf(QChar(0x202C));
    struct Case {
        QString text;
        Qt::LayoutDirection context;
        QString expected;
    };
    const QString arabic = QStringLiteral("مجلد");
    for (const Case& c : {
             Case{"/tmp/data", Qt::RightToLeft, lre + "/tmp/data" + pdf},
             Case{".h", Qt::RightToLeft, lre + ".h" + pdf},
             Case{"9 Dec 2026, 04:48", Qt::RightToLeft, lre + "9 Dec 2026, 04:48" + pdf},
             Case{"/tmp/data", Qt::LeftToRight, "/tmp/data"},
             Case{arabic + " /tmp", Qt::RightToLeft, arabic + " /tmp"},  // its own direction already
             Case{"(85.2%)", Qt::RightToLeft, "(85.2%)"},                // no letters: same either way
             Case{"", Qt::RightToLeft, ""},
         }) {
        EXPECT_EQ(keepOwnDirection(c.text, c.context), c.expected) << c.text.toStdString();
    }
}
