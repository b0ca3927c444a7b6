#include "ui/dialogs/AccessDeniedDialog.h"

#include "tests/ui/dialogs/DialogTestSupport.h"

#include <QDialogButtonBox>
#include <QListWidget>
#include <QPushButton>
#include <QTest>

TEST(AccessDeniedDialog, ExplanationFollowsCountAndRights) {
    struct Case {
        QStringList folders;
        bool elevated;
        const char* start;
        bool hintsAtRestart;
    };
    const Case cases[] = {
        {{"/root"}, false, "Hollowmere couldn't read the following folder during the scan - likely", true},
        {{"/a", "/b"}, true, "Hollowmere couldn't read the following folders during the scan, even", false},
        {{"/a"}, true, "Hollowmere couldn't read the following folder during the scan, even", false},
        {{}, false, "Hollowmere couldn't read the following folders during the scan - likely", true},
    };
    for (const Case& c : cases) {
        const AccessDeniedDialog dialog(c.folders, c.elevated);
        EXPECT_TRUE(dialog.explanation().startsWith(QLatin1String(c.start))) << dialog.explanation().toStdString();
        EXPECT_EQ(dialog.explanation().contains(QStringLiteral("Restart as Administrator")), c.hintsAtRestart);
    }
}

TEST(AccessDeniedDialog, ListsFoldersInOrderAndReturnCloses) {
    AccessDeniedDialog dialog({"/z/last", "/a/first", "/m/\u00e9t\u00e9"}, false);
    auto* list = dialog.findChild<QListWidget*>();
    ASSERT_EQ(list->count(), 3);
    EXPECT_EQ(list->item(0)->text(), QStringLiteral("/z/last"));
    EXPECT_EQ(list->item(2)->text(), QStringLiteral("/m/\u00e9t\u00e9"));
    EXPECT_EQ(list->selectionMode(), QAbstractItemView::ExtendedSelection);
    dialog.show();
    QTest::keyClick(&dialog, Qt::Key_Return);
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_FALSE(dialog.isVisible());
}
