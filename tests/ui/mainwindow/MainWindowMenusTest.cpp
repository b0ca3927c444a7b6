// The window's menus and shortcuts, the selection actions following the selection, the
// settings toggles following the store, settings changed in a dialog reaching every view,
// and the saved column layouts.
#include "tests/ui/mainwindow/MainWindowTestSupport.h"

#include "tests/core/analysis/AnalysisTestTree.h"

#include <QAction>
#include <QApplication>
#include <QActionGroup>
#include <QCheckBox>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QSpinBox>
#include <QTest>
#include <QTreeView>

#include <memory>

#include "app/ColorScheme.h"
#include "app/LayoutKeys.h"
#include "app/SortArrowStyle.h"
#include "app/ListFont.h"
#include "app/ValueFormat.h"
#include "core/tree/ScanTree.h"
#include "ui/dialogs/TweaksDialog.h"
#include "ui/mainwindow/MainWindow.h"
#include "ui/mainwindow/PageTabs.h"
#include "ui/treemap/TreemapPanel.h"
#include "ui/views/FileTypesView.h"
#include "ui/views/FileViewPanel.h"
#include "ui/views/NodeModel.h"
#include "ui/views/RowHeightDelegate.h"

using analysistest::Entry;

namespace {

// "text|shortcut;shortcut" per entry, "-" per separator.
QStringList describe(const QMenu* menu) {
    QStringList lines;
    for (const QAction* action : menu->actions()) {
        if (action->isSeparator()) {
            lines.append("-");
            continue;
        }
        QStringList keys;
        for (const QKeySequence& key : action->shortcuts())
            keys.append(key.toString(QKeySequence::PortableText));
        lines.append(action->text() + "|" + keys.join(";"));
    }
    return lines;
}

QMenu* menuNamed(MainWindow& window, const QString& title) {
    for (QAction* action : window.menuBar()->actions())
        if (action->text() == title)
            return action->menu();
    return nullptr;
}

QAction* actionNamed(QMenu* menu, const QString& text) {
    for (QAction* action : menu->actions())
        if (action->text() == text)
            return action;
    return nullptr;
}

std::shared_ptr<svl::ScanTree> smallTree() {
    std::vector<Entry> entries{{-1, "/r", 0, 0, 0, svl::NodeFlag::Folder}, {0, "d", 0, 0, 0, svl::NodeFlag::Folder}};
    for (int i = 0; i < 5; ++i)
        entries.push_back({1, "f" + std::to_string(i) + ".aaa", 1500, 4096});
    return std::shared_ptr<svl::ScanTree>(analysistest::buildTree(entries).tree.release());
}

class MainWindowMenus : public ::testing::Test {
protected:
    void SetUp() override { windowtest::clearSettings(); }
};

}  // namespace

TEST_F(MainWindowMenus, EveryEntryInMenuOrderWithItsShortcuts) {
    MainWindow window;
    EXPECT_EQ(describe(menuNamed(window, "&File")),
              QStringList({"Scan|F5;Ctrl+R", "Rescan Selected Folder|Ctrl+F5", "-", "Select Folder…|F3", "Select Multiple…|Alt+F3",
                           "Select CSV File…|Shift+F3", "Dump MFT File|", "New Window|Ctrl+N", "-",
                           "Reset Tree Expansion|F4", "Expand All|Shift+F4", "-", "Select Parent|F6;Num+/",
                           "Reselect Child|F7;Num+*", "-", "Zoom Treemap|F10;Num++", "Unzoom Treemap|F11;Num+-",
                           "Save Treemap Image as .png File…|Ctrl+S", "-",
                           "Show in File Manager|Ctrl+E", "New Terminal at Folder|Ctrl+T", "Copy Path|Ctrl+Alt+C", "-",
                           "Cut|Ctrl+X", "Copy|Ctrl+C", "Move to Trash|Del", "Delete Immediately|Shift+Del",
                           "Rename|F2", "-", "Export to CSV File…|Ctrl+Alt+E",
                           "Copy File and Size Info to Clipboard|Ctrl+Shift+C",
                           "Export File Types to CSV File…|Ctrl+Alt+F", "-", "Check for Updates Now|",
                           "Restart without Administrator|", "Reset Configuration to Default Values|",
                           "Prepare This Copy for Portable Use…|", "Add to Application Menu|",
                           "Remove from Application Menu|", "-",
                           "Quit|" + QKeySequence(QKeySequence::Quit).toString(QKeySequence::PortableText)}));
    EXPECT_EQ(describe(menuNamed(window, "&Options")),
              QStringList({"Display Dynamic Values|", "Display Byte Values|", "Display KB Values|",
                           "Display MB Values|", "Display GB Values|", "Display TB Values|", "-",
                           "Filter Scan Results|Ctrl+Shift+F", "-", "Check for updates|", "Auto scan after making selection|", "File Manager Context Menu|",
                           "Add Menu Entry for Empty Space in Files...|", "-",
                           "Show Header|Ctrl+H", "Show File Types|F8", "Show Treemap|F9",
                           "Show Allocated Space on Treemap|Ctrl+Shift+A", "Show Free Space on Treemap|Ctrl+Shift+S",
                           "Show Folder and File Names on Treemap|Ctrl+Shift+N", "Colors…|", "Tweaks…|",
                           "Increase Text Size|Ctrl++;Ctrl+=", "Decrease Text Size|Ctrl+-", "Default Text Size|Ctrl+0", "Language|"}));
    QStringList selectionTexts;
    for (const QAction* action : window.selectionActions())
        selectionTexts.append(action->text());
    EXPECT_EQ(selectionTexts, QStringList({"Show in File Manager", "New Terminal at Folder", "Copy Path", "Cut", "Copy",
                                           "Move to Trash", "Delete Immediately", "Rename"}));
}

TEST_F(MainWindowMenus, SelectionActionsFollowTheSelectionWithoutOpeningTheMenu) {
    MainWindow window;
    window.installTree(smallTree(), false);
    QMenu* file = menuNamed(window, "&File");
    const auto enabled = [&](const QString& text) { return actionNamed(file, text)->isEnabled(); };
    for (const char* text : {"Move to Trash", "Rename", "Copy"})
        EXPECT_FALSE(enabled(text)) << text;
    window.selectNode(2);
    for (const char* text : {"Move to Trash", "Rename", "Copy"})
        EXPECT_TRUE(enabled(text)) << text;
    // The File View page has its own, still empty, selection.
    window.showFileViewPage();
    EXPECT_FALSE(enabled("Copy"));
    window.tabs()->setCurrentIndex(0);
    EXPECT_TRUE(enabled("Copy"));
    window.setSelection({}, MainWindow::FromBoth);
    EXPECT_FALSE(enabled("Move to Trash"));
    EXPECT_TRUE(enabled("Scan"));
}

TEST_F(MainWindowMenus, TogglesFollowTheStoreButTheDisplayGroupOnlyAtStart) {
    AppSettings::instance()->settings()->setValue("displayMode", 9);
    {
        MainWindow window;
        EXPECT_TRUE(actionNamed(menuNamed(window, "&Options"), "Display TB Values")->isChecked());
    }
    AppSettings::instance()->settings()->setValue("displayMode", -3);
    MainWindow window;
    QMenu* options = menuNamed(window, "&Options");
    // File types stay hidden until there is something to sum up.
    AppSettings::instance()->setValue("showFileTypes", false);
    AppSettings::instance()->setValue("showFileTypes", true);
    EXPECT_TRUE(window.fileTypes()->isHidden());
    window.installTree(smallTree(), false);
    EXPECT_FALSE(window.fileTypes()->isHidden());
    actionNamed(options, "Show File Types")->trigger();
    EXPECT_TRUE(window.fileTypes()->isHidden());
    EXPECT_TRUE(actionNamed(options, "Display Dynamic Values")->isChecked());

    QAction* treemap = actionNamed(options, "Show Treemap");
    EXPECT_TRUE(treemap->isChecked());
    AppSettings::instance()->setValue("showTreemap", false);
    EXPECT_FALSE(treemap->isChecked());
    EXPECT_TRUE(window.treemapPanel()->isHidden());
    treemap->trigger();
    EXPECT_TRUE(AppSettings::instance()->settings()->value("showTreemap").toBool());
    EXPECT_FALSE(window.treemapPanel()->isHidden());
    // A full reset announces no key: the mark stays.
    AppSettings::instance()->resetAll();
    EXPECT_TRUE(treemap->isChecked());
    AppSettings::instance()->setValue("displayMode", 3);
    EXPECT_TRUE(actionNamed(options, "Display Dynamic Values")->isChecked());
    actionNamed(options, "Display GB Values")->trigger();
    EXPECT_EQ(AppSettings::instance()->settings()->value("displayMode").toInt(), 4);

    QAction* header = actionNamed(options, "Show Header");
    header->trigger();
    EXPECT_FALSE(window.isHeaderShown());
}

TEST_F(MainWindowMenus, SettingsSavedInTheTweaksDialogReachEveryViewAtOnce) {
    MainWindow window;
    window.installTree(smallTree(), false);
    window.selectNode(1);
    const QString before = window.selectionLabel()->text();
    window.treeView()->expand(window.nodeModel()->indexForId(1));
    ASSERT_EQ(window.nodeModel()->fileGroupMinSize(), 4);

    TweaksDialog dialog(&window);
    for (QCheckBox* box : dialog.findChildren<QCheckBox*>()) {
        if (box->text() == "Alternate row colors")
            box->setChecked(false);
        if (box->text() == "Show horizontal lines in grids")
            box->setChecked(true);
    }
    dialog.findChild<QSpinBox*>("decimalPlaces")->setValue(3);
    dialog.findChild<QSpinBox*>("fileGroupMinSize")->setValue(-1);
    dialog.save();

    for (QAbstractItemView* view : window.itemViews())
        EXPECT_FALSE(view->alternatingRowColors());
    EXPECT_TRUE(gridLinesEnabled.load());
    // Group rows off: the selection is cleared and the tree folds back to the root.
    EXPECT_EQ(window.nodeModel()->fileGroupMinSize(), 0);
    EXPECT_TRUE(window.currentSelection().empty());
    EXPECT_FALSE(window.treeView()->isExpanded(window.nodeModel()->indexForId(1)));
    EXPECT_TRUE(window.treeView()->isExpanded(window.nodeModel()->index(0, 0)));
    // Three decimals show in the summary as soon as something is selected again.
    window.selectNode(1);
    EXPECT_NE(window.selectionLabel()->text(), before);
    EXPECT_TRUE(window.selectionLabel()->text().startsWith("Selected Files: 5  "));

    // The same minimum again changes nothing.
    window.treeView()->expand(window.nodeModel()->indexForId(1));
    AppSettings::instance()->setValue("fileGroupMinSize", 0);
    EXPECT_EQ(window.currentSelection().size(), 1u);

    const int pixels = window.treeView()->font().pixelSize();
    listfont::setStep(listfont::step() + 2);
    for (QAbstractItemView* view : window.itemViews())
        EXPECT_EQ(view->font(), listfont::font());
    if (pixels > 0) {
        EXPECT_EQ(window.treeView()->font().pixelSize(), pixels + 2);
    }
    gridLinesEnabled.store(false);

    // The appearance chosen in the colours dialog restyles the window at once.
    AppSettings::instance()->setValue("appearance", 2);
    EXPECT_NE(qobject_cast<SortArrowStyle*>(QApplication::style()), nullptr);
    EXPECT_LT(QApplication::palette().color(QPalette::Window).lightness(), 128);
    AppSettings::instance()->setValue("appearance", 1);
    EXPECT_GE(QApplication::palette().color(QPalette::Window).lightness(), 128);
}

TEST_F(MainWindowMenus, SchemeSwitchedWhileRunningRecoloursDimmedLabelsAndTheSiteLink) {
    // Whether the label's picture holds a pixel of about that colour.
    const auto shows = [](QLabel* label, QRgb wanted) {
        const QImage image = label->grab().toImage().convertToFormat(QImage::Format_RGB32);
        const auto* pixels = reinterpret_cast<const QRgb*>(image.constBits());
        return std::any_of(pixels, pixels + image.width() * image.height(), [&](QRgb p) {
            return std::abs(qRed(p) - qRed(wanted)) + std::abs(qGreen(p) - qGreen(wanted)) +
                       std::abs(qBlue(p) - qBlue(wanted)) <= 12;
        });
    };
    AppSettings::instance()->setValue("appearance", 1);
    MainWindow window;
    window.resize(1200, 800);
    window.show();
    QLabel* link = nullptr;
    QList<QLabel*> dimmed;
    for (QLabel* label : window.findChildren<QLabel*>()) {
        if (label->text().contains(QLatin1String("<a href")))
            link = label;
        if (QStringList{"Max files:", "Duplicate Files:", "Locating duplicates\u2026"}.contains(label->text()))
            dimmed.append(label);
    }
    ASSERT_NE(link, nullptr);
    ASSERT_EQ(dimmed.size(), 3);

    AppSettings::instance()->setValue("appearance", 2);
    QApplication::processEvents();
    const QRgb placeholder = darkPalette().color(QPalette::PlaceholderText).rgb();
    for (QLabel* label : dimmed) {
        EXPECT_EQ(label->palette().color(label->foregroundRole()).rgb(), placeholder) << label->text().toStdString();
        EXPECT_TRUE(shows(label, placeholder)) << label->text().toStdString();
    }
    EXPECT_TRUE(shows(link, darkPalette().color(QPalette::Link).rgb()));
    AppSettings::instance()->setValue("appearance", 0);
}

TEST_F(MainWindowMenus, ColumnLayoutIsRestoredOnlyForTheSameColumnsAndSavedOncePerBurst) {
    QTreeView wide;
    wide.setModel(new NodeModel(&wide));
    wide.header()->resizeSection(0, 333);
    const QByteArray sixColumns = wide.header()->saveState();
    saveShapedValue("treeHeader", sixColumns);
    saveShapedValue("treeHeaderColumns", 6);
    {
        MainWindow window;
        EXPECT_NE(window.treeView()->header()->sectionSize(0), 333);
        // Ten resizes in a burst write the layout once, 400 ms after the last.
        int writes = 0;
        QObject counting;  // ends the count before `writes` goes out of scope
        QObject::connect(AppSettings::instance(), &AppSettings::changed, &counting, [&](const QString& key) {
            writes += key == QString::fromLatin1(shapedKey("treeHeader"));
        });
        for (int i = 0; i < 10; ++i)
            window.treeView()->header()->resizeSection(0, 200 + i);
        EXPECT_EQ(writes, 0);
        EXPECT_TRUE(windowtest::waitUntil([&] { return writes > 0; }, 3000));
        QCoreApplication::processEvents();
        EXPECT_EQ(writes, 1);
        EXPECT_EQ(loadShapedValue("treeHeaderColumns", 0).toInt(), NodeModel::ColumnCount);
    }
    MainWindow again;
    EXPECT_EQ(again.treeView()->header()->sectionSize(0), 209);

    // With saving off (the windowless run, after a reset) nothing is written.
    AppSettings::instance()->setSaveEnabled(false);
    again.treeView()->header()->resizeSection(0, 250);
    QTest::qWait(600);
    AppSettings::instance()->setSaveEnabled(true);
    EXPECT_EQ(again.treeView()->header()->sectionSize(0), 250);
    MainWindow third;
    EXPECT_EQ(third.treeView()->header()->sectionSize(0), 209);

    // A folder column saved narrower than 150 pixels comes back at 300.
    third.treeView()->header()->resizeSection(0, 80);
    saveShapedValue("treeHeader", third.treeView()->header()->saveState());
    MainWindow narrowed;
    EXPECT_EQ(narrowed.treeView()->header()->sectionSize(0), 300);
}

TEST(MainWindowFrame, DateColumnShowsAWholeDateInTheListFont) {
    windowtest::clearSettings();
    // A large desktop font: the fixed default width no longer holds a date.
    const QFont saved = QApplication::font();
    QFont large = saved;
    large.setPixelSize(20);
    QApplication::setFont(large);
    MainWindow window;
    QApplication::setFont(saved);
    const int needed = window.treeView()->fontMetrics().horizontalAdvance(formatDateTime(1766534399));
    EXPECT_GT(window.treeView()->columnWidth(NodeModel::ModifiedColumn), needed);
    EXPECT_GE(window.treeView()->columnWidth(NodeModel::ModifiedColumn), 140);
}
