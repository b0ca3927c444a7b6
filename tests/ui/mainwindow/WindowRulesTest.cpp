// The window's first size per screen, the default splitter division and the title.
#include "tests/ui/mainwindow/MainWindowTestSupport.h"

#include "ui/mainwindow/EmptyStateWidget.h"
#include "ui/mainwindow/WindowRules.h"

#include <QLabel>

TEST(WindowRules, FirstSizeForTheScreen) {
    EXPECT_EQ(initialWindowSize(QSize(1024, 768)), QSize(984, 678));
    EXPECT_EQ(initialWindowSize(QSize(3840, 2160)), QSize(1436, 730));
    EXPECT_EQ(initialWindowSize(QSize(700, 500)), QSize(800, 500));
    EXPECT_EQ(initialWindowSize(std::nullopt), QSize(1396, 730));
    EXPECT_EQ(defaultSplitSizes(1001, 65), std::make_pair(650, 351));
    EXPECT_EQ(defaultSplitSizes(500, 62), std::make_pair(310, 190));
}

TEST(WindowRules, TitleNamesTheSource) {
    TitleSource source;
    EXPECT_EQ(windowTitleFor(source), "Hollowmere");
    source.selectedPath = "/";
    EXPECT_EQ(windowTitleFor(source), "Hollowmere — /");
    source.selectedPath = "/home/me";
    source.selectedIsFolder = true;
    EXPECT_EQ(windowTitleFor(source), "Hollowmere — <Folder> /home/me");
    source.roots = QStringList{"/a", "/b"};
    EXPECT_EQ(windowTitleFor(source), "Hollowmere — <Multiple> /a; /b");
    source.importedPath = "/x/scan.csv";
    EXPECT_EQ(windowTitleFor(source), "Hollowmere — <CSV file> /x/scan.csv");
    source.importedIsMft = true;
    EXPECT_EQ(windowTitleFor(source), "Hollowmere — <MFT file> /x/scan.csv");
}

TEST(EmptyStatePage, ContentReplacesTheLastAndANullIconHidesItsRow) {
    EmptyStateWidget page;
    page.show();
    QPixmap icon(16, 16);
    icon.fill(Qt::red);
    page.setContent(icon, "First", {"one", "two", "three"});
    EXPECT_TRUE(page.iconLabel()->isVisible());
    page.setContent(QPixmap(), "Second", {"only"});
    EXPECT_FALSE(page.iconLabel()->isVisible());
    EXPECT_EQ(page.text(), "Second");
    EXPECT_EQ(page.hints(), QStringList{"only"});
    QStringList shown;
    for (const QLabel* label : page.findChildren<QLabel*>())
        if (label != page.iconLabel() && label->text() != "Second")
            shown << label->text();
    EXPECT_EQ(shown, QStringList{"only"});
}
