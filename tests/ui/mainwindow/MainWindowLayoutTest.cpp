// The window's panels at small sizes: nothing asks for more width than the narrowest
// first size, and the folder tree's default columns fit their pane with whole dates.
#include "tests/ui/mainwindow/MainWindowTestSupport.h"

#include <QHeaderView>
#include <QScrollBar>
#include <QTest>
#include <QTreeView>

#include "app/ValueFormat.h"
#include "ui/header/ElidingLabel.h"
#include "ui/header/HeaderPanel.h"
#include "ui/mainwindow/MainWindow.h"
#include "ui/treemap/TreemapPanel.h"
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

    // A 536-character selection and a status naming it stay within the window: each is shortened
    // in the middle, keeping both ends, and is whole in its tooltip.
    QString path = QStringLiteral("/media");
    while (path.size() < 536)
        path += QStringLiteral("/folder-%1").arg(path.size());
    path.truncate(536);
    const QString status = "Scan complete in 0.09 seconds - Could not read " + path + ": does not exist";
    window.header()->updateSpaceLabels(path);
    window.header()->setStatusText(status);
    EXPECT_LE(window.minimumSizeHint().width(), 800);
    window.resize(1280, 800);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    EXPECT_EQ(window.width(), 1280);
    for (const char* name : {"selectionLabel", "statusLabel"}) {
        const auto* label = window.header()->findChild<ElidingLabel*>(QLatin1String(name));
        ASSERT_TRUE(label) << name;
        const QString shown = label->shownText();
        EXPECT_TRUE(shown.startsWith(label->text().left(8)) && shown.contains(QChar(0x2026)) &&
                    shown.endsWith(label->text().right(8)))
            << name << ": " << shown.toStdString();
        EXPECT_EQ(label->toolTip(), label->text()) << name;
    }
    EXPECT_EQ(window.header()->findChild<ElidingLabel*>(QStringLiteral("statusLabel"))->text(), status);

    // A scanned start folder of 536 characters: the treemap's title names it too, as shortened.
    hmtest::TempDir dir("hm-layout-long");
    std::string deep = dir.path();
    while (deep.size() < 536)
        deep += "/folder-" + std::to_string(deep.size());
    deep.resize(536);
    ASSERT_EQ(hmtest::sh("mkdir -p " + hmtest::shQuote(deep)), 0);
    window.scanFolder(QString::fromStdString(deep));
    ASSERT_TRUE(waitUntil([&] { return !window.isJobRunning() && window.displayedTree(); }));
    QCoreApplication::processEvents();
    const auto* title = qobject_cast<const ElidingLabel*>(window.treemapPanel()->titleLabel());
    ASSERT_TRUE(title && title->isVisible());
    EXPECT_TRUE(title->shownText().contains(QChar(0x2026)) && title->shownText().endsWith(title->text().right(8)))
        << title->shownText().toStdString();
    EXPECT_TRUE(title->toolTip().startsWith(QString::fromStdString(deep) + QStringLiteral(" \u2014 ")))
        << title->toolTip().toStdString();
    EXPECT_LE(window.minimumSizeHint().width(), 800);
    EXPECT_LE(window.minimumSize().width(), 800);
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
