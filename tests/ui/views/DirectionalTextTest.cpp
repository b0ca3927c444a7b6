// Texts of the file system keep their reading order in a right-to-left window.
#include "ui/views/DirectionalText.h"

#include <gtest/gtest.h>

TEST(DirectionalText, EmbedsOnlyLeftToRightTextsInARightToLeftContext) {
    const QString lrm(QChar(0x200E));
    struct Case {
        QString text;
        Qt::LayoutDirection context;
        QString expected;
    };
    const QString arabic = QStringLiteral("مجلد");
    for (const Case& c : {
             Case{"/tmp/data", Qt::RightToLeft, lrm + "/tmp/data" + lrm},
             Case{".h", Qt::RightToLeft, lrm + ".h" + lrm},
             Case{"9 Dec 2026, 04:48", Qt::RightToLeft, lrm + "9 Dec 2026, 04:48" + lrm},
             Case{"/tmp/data", Qt::LeftToRight, "/tmp/data"},
             Case{arabic + " /tmp", Qt::RightToLeft, arabic + " /tmp"},  // its own direction already
             Case{"(85.2%)", Qt::RightToLeft, "(85.2%)"},                // no letters: same either way
             Case{"", Qt::RightToLeft, ""},
         }) {
        EXPECT_EQ(keepOwnDirection(c.text, c.context), c.expected) << c.text.toStdString();
    }
}
