// The window's panels at small sizes: nothing asks for more width than the narrowest
// first size, and the folder tree's default columns fit their pane with whole dates.
#include "tests/ui/mainwindow/MainWindowTestSupport.h"

#include <QHeaderView>
#include <QScrollBar>
#include <QTest>
#include <QTreeView>

#include "app/ValueFormat.h"
#include "ui/header/HeaderPanel.h"
#include "ui/mainwindow/MainWindow.h"
#include "ui/views/FileViewPanel.h"
#include "ui/views/NodeModel.h"

using windowtest::waitUntil;

TEST(MainWindowLayout, PanelsFitTheNarrowestFirstSize) {
    windowtest::clearSettings();
    AppSettings::instance()->setSaveEnabled(false);
    MainWindow window;
    EXPECT_LE(window.header()->minimumSizeHint().width(), 800);
    EXPECT_LE(window.fileView()->minimumSizeHint().width(), 800);
    EXPECT_LE(window.minimumSizeHint().width(), 800);
}

TEST(MainWindowLayout, DefaultTreeColumnsFitTheirPaneWithWholeDates) {
    windowtest::clearSettings();
    AppSettings::instance()->setSaveEnabled(false);
    hmtest::TempDir dir("hm-layout");
    windowtest::makeFolder(dir.path(), 3, 3);
    MainWindow window;
    window.resize(1240, 710);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    window.scanFolder(QString::fromStdString(dir.path()));
    ASSERT_TRUE(waitUntil([&] { return !window.isJobRunning(); }));
    QTreeView* tree = window.treeView();
    ASSERT_TRUE(waitUntil([&] { return tree->isVisible() && !tree->horizontalScrollBar()->isVisible(); }, 3000));
    QCoreApplication::processEvents();
    const QHeaderView* header = tree->header();
    EXPECT_LE(header->length(), tree->viewport()->width());
    const int date = tree->fontMetrics().horizontalAdvance(formatDateTime(1766534399));
    EXPECT_GT(header->sectionSize(NodeModel::ModifiedColumn), date);
    EXPECT_GE(header->sectionSize(NodeModel::FolderColumn), 150);
}
