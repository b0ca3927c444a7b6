// The window's selection over trees built in memory: carrying a selection between the
// treemap, the folder tree and the file list, the status-bar sums, Select Parent and
// Reselect Child, the capped extension selection and the capped Expand All.
#include "tests/ui/mainwindow/MainWindowTestSupport.h"

#include "tests/core/analysis/AnalysisTestTree.h"

#include <QFont>
#include <QItemSelectionModel>
#include <QLabel>
#include <QSplitter>
#include <QTest>
#include <QTimer>
#include <QTreeView>

#include <unistd.h>

#include <memory>

#include "app/DirectionalText.h"
#include "app/ValueFormat.h"
#include "core/tree/ScanTree.h"
#include "ui/mainwindow/MainWindow.h"
#include "ui/header/HeaderPanel.h"
#include "ui/mainwindow/PageTabs.h"
#include "ui/treemap/TreemapPanel.h"
#include "ui/treemap/TreemapWidget.h"
#include "ui/views/FileTypesView.h"
#include "ui/views/FileViewPanel.h"
#include "ui/views/NodeModel.h"

using analysistest::Entry;

namespace {

constexpr uint16_t kFolder = svl::NodeFlag::Folder;

class MainWindowSelection : public ::testing::Test {
protected:
    void SetUp() override { windowtest::clearSettings(); }

    // Builds the tree from `entries` and shows it in a new window.
    void show(const std::vector<Entry>& entries) {
        analysistest::BuiltTree built = analysistest::buildTree(entries);
        m_idOf = built.idOf;
        m_window = std::make_unique<MainWindow>();
        m_window->installTree(std::shared_ptr<svl::ScanTree>(std::move(built.tree)), false);
    }
    std::vector<uint32_t> treeViewSelection() const {
        std::vector<uint32_t> ids;
        for (const QModelIndex& index : m_window->treeView()->selectionModel()->selectedRows(0))
            ids.push_back(uint32_t(index.internalId()));
        std::sort(ids.begin(), ids.end());
        return ids;
    }
    std::vector<uint32_t> treemapSelection() const { return m_window->treemapPanel()->treemap()->selection(); }
    QModelIndex indexOf(int entry) const { return m_window->nodeModel()->indexForId(m_idOf[entry]); }

    std::vector<uint32_t> m_idOf;
    std::unique_ptr<MainWindow> m_window;
};

// root / a / b / {x.aaa 1000, y.aaa 2000, z.aaa 3000 (a further hard link)}, root / c.bbb
std::vector<Entry> linkedTree() {
    return {{-1, "/r", 0, 0, 0, kFolder},
            {0, "a", 0, 0, 0, kFolder},
            {0, "c.bbb", 10, 4096},
            {1, "b", 0, 0, 0, kFolder},
            {3, "x.aaa", 1000, 4096},
            {3, "y.aaa", 2000, 8192},
            {3, "z.aaa", 3000, 8192, 0, svl::NodeFlag::ExtraHardLink}};
}

// A root "/r" holding `folders` folders "d<n>" of `files` files "f<i>"; file i weighs `bytes(i)`.
std::vector<Entry> foldersOfFiles(int folders, int files, uint64_t (*bytes)(int)) {
    std::vector<Entry> entries{{-1, "/r", 0, 0, 0, kFolder}};
    for (int f = 0; f < folders; ++f)
        entries.push_back({0, "d" + std::to_string(f), 0, 0, 0, kFolder});
    for (int f = 0; f < folders; ++f)
        for (int i = 0; i < files; ++i)
            entries.push_back({1 + f, "f" + std::to_string(i), bytes(i), bytes(i)});
    return entries;
}

}  // namespace

TEST_F(MainWindowSelection, SelectionTravelsFromTreemapToTreeAndBackButNotFromTheFileList) {
    show(linkedTree());
    TreemapWidget* treemap = m_window->treemapPanel()->treemap();
    QTreeView* view = m_window->treeView();
    const uint32_t b = m_idOf[3];

    // A click in the treemap: the tree expands the ancestors and selects the whole row.
    treemap->setSelection({b});
    emit treemap->nodeClicked(b);
    EXPECT_EQ(treeViewSelection(), std::vector<uint32_t>{b});
    EXPECT_TRUE(view->isExpanded(indexOf(1)));
    EXPECT_EQ(view->currentIndex().internalId(), b);
    EXPECT_EQ(view->selectionModel()->selectedIndexes().size(), NodeModel::ColumnCount);
    EXPECT_EQ(m_window->currentSelection(), std::vector<uint32_t>{b});

    // Selecting in the tree goes to the treemap.
    const uint32_t c = m_idOf[2];
    view->selectionModel()->select(indexOf(2), QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    EXPECT_EQ(treemapSelection(), std::vector<uint32_t>{c});
    EXPECT_EQ(m_window->currentSelection(), std::vector<uint32_t>{c});

    // The file list keeps its own selection; the page in front decides which one counts.
    emit m_window->fileView()->selectionChanged({m_idOf[4], m_idOf[5]});
    EXPECT_EQ(treeViewSelection(), std::vector<uint32_t>{c});
    EXPECT_EQ(treemapSelection(), std::vector<uint32_t>{c});
    m_window->showFileViewPage();
    EXPECT_EQ(m_window->currentSelection(), (std::vector<uint32_t>{m_idOf[4], m_idOf[5]}));
    EXPECT_TRUE(m_window->selectionLabel()->text().startsWith("Selected Files: 2  "));
    m_window->tabs()->setCurrentIndex(0);
    EXPECT_EQ(m_window->currentSelection(), std::vector<uint32_t>{c});
}

TEST_F(MainWindowSelection, SummaryCountsEachByteOnceAndSkipsFurtherHardLinksAndRemovedNodes) {
    show(linkedTree());
    EXPECT_EQ(m_window->selectionLabel()->text(), QString());  // nothing scanned: no path text
    const svl::ScanTree& tree = *m_window->displayedTree();
    m_window->onPathsRemoved({"/r/a/b/y.aaa"});  // 2000 bytes, 8192 allocated
    ASSERT_TRUE(tree.node(m_idOf[5]).flags & svl::NodeFlag::Removed);
    const auto summary = [](uint64_t count, uint64_t size, uint64_t allocated) {
        return QString("Selected Files: %1  Total Size: %2  Allocated: %3")
            .arg(formatNumber(count), formatSize(size), formatSize(allocated));
    };
    struct Case {
        const char* label;
        bool fileView;
        std::vector<int> entries;
        QString expected;
        int groupOf = -1;  // also the file-group row of this folder entry
    };
    const Case cases[] = {
        {"files, one a further hard link, one removed", false, {4, 5, 6}, summary(2, 4000, 4096)},
        {"a folder counts its files below", false, {1}, summary(2, 4000, 4096)},
        {"a file inside a selected folder", false, {4, 1}, summary(2, 4000, 4096)},
        {"two places", false, {3, 2}, summary(3, 4010, 8192)},
        {"the root among them holds the rest", false, {0, 4}, summary(3, 4010, 8192)},
        {"the group row of files one of which is removed", false, {}, summary(2, 4000, 4096), 3},
        {"file list: rows, the root holding the rest", true, {0, 1, 4, 5}, summary(3, 4010, 8192)},
    };
    for (const Case& c : cases) {
        std::vector<uint32_t> ids;
        for (int entry : c.entries)
            ids.push_back(m_idOf[entry]);
        if (c.groupOf >= 0)
            ids.push_back(tree.nodeCount + m_idOf[c.groupOf]);
        if (c.fileView) {
            m_window->showFileViewPage();
            emit m_window->fileView()->selectionChanged(ids);
        } else {
            m_window->tabs()->setCurrentIndex(0);
            m_window->setSelection(ids, MainWindow::FromBoth);
        }
        EXPECT_EQ(m_window->selectionLabel()->text(), c.expected) << c.label;
    }

    // Select All in the file list agrees with the list's own summary: the root's total.
    FileViewPanel* fileView = m_window->fileView();
    ASSERT_TRUE(windowtest::waitUntil([&] { return !fileView->isBusy(); }));
    fileView->view()->selectAll();
    EXPECT_EQ(m_window->selectionLabel()->text(),
              summary(fileView->listedIds().size() - 1, tree.node(0).size, tree.node(0).allocated));
}

TEST_F(MainWindowSelection, ParentAndChildWalkUpAndBackAndStopAtTheScannedRootsOfSeveral) {
    show(linkedTree());
    m_window->selectNode(m_idOf[4]);
    m_window->selectParent();
    EXPECT_EQ(m_window->currentSelection(), std::vector<uint32_t>{m_idOf[3]});
    m_window->selectParent();
    EXPECT_EQ(m_window->currentSelection(), std::vector<uint32_t>{m_idOf[1]});
    m_window->reselectChild();
    EXPECT_EQ(m_window->currentSelection(), std::vector<uint32_t>{m_idOf[3]});
    m_window->reselectChild();
    EXPECT_EQ(m_window->currentSelection(), std::vector<uint32_t>{m_idOf[4]});
    // Any other selection forgets the way back.
    m_window->selectParent();
    m_window->selectNode(m_idOf[2]);
    m_window->reselectChild();
    EXPECT_EQ(m_window->currentSelection(), std::vector<uint32_t>{m_idOf[2]});

    show({{-1, "", 0, 0, 0, kFolder | svl::NodeFlag::VirtualRoot},
          {0, "/one", 0, 0, 0, kFolder},
          {0, "/two", 0, 0, 0, kFolder},
          {1, "f", 5, 5}});
    m_window->selectNode(m_idOf[1]);
    m_window->selectParent();
    EXPECT_EQ(m_window->currentSelection(), std::vector<uint32_t>{m_idOf[1]});
}

TEST_F(MainWindowSelection, ExtensionSelectionStopsAtFiftyThousandInIdOrderOnTheTreePage) {
    std::vector<Entry> entries{{-1, "/r", 0, 0, 0, kFolder}};
    for (int i = 0; i < 60000; ++i) {
        entries.push_back({0, "m" + std::to_string(i) + ".Aaa", 1, 1});
        entries.push_back({0, "o" + std::to_string(i) + ".bbb", 1, 1});
    }
    show(entries);
    m_window->showFileViewPage();
    emit m_window->fileTypes()->selectExtensionRequested("aaa");
    EXPECT_EQ(m_window->tabs()->currentIndex(), 0);
    const std::vector<uint32_t>& ids = m_window->currentSelection();
    ASSERT_EQ(ids.size(), MainWindow::kMaxExtensionSelection);
    std::vector<uint32_t> expected;
    for (uint32_t id = 1; expected.size() < MainWindow::kMaxExtensionSelection; ++id)
        if (m_window->displayedTree()->node(id).name[0] == 'm')
            expected.push_back(id);
    EXPECT_EQ(ids, expected);
    EXPECT_EQ(m_window->hoverLabel()->text(), QString("Selected the first %1 matching files").arg(formatNumber(50000)));
    EXPECT_TRUE(m_window->treeView()->selectionModel()->isSelected(m_window->nodeModel()->indexForId(ids.back())));

    // Under the cap there is no note.
    m_window->hoverLabel()->clear();
    m_window->selectFilesWithExtension("bbb");
    EXPECT_EQ(m_window->currentSelection().size(), 50000u);
    m_window->hoverLabel()->clear();
    m_window->selectFilesWithExtension("zzz");
    EXPECT_TRUE(m_window->currentSelection().empty());
    EXPECT_EQ(m_window->hoverLabel()->text(), QString());
}

TEST_F(MainWindowSelection, ExpandAllGoesFullyDownToOneHundredFiftyThousandItemsThenThreeLevels) {
    for (const uint32_t items : {150000u, 150001u}) {
        SCOPED_TRACE(items);
        // top / c1 / c2 / c3 / c4 / c5 holding the rest of the items as files.
        std::vector<Entry> entries{{-1, "/r", 0, 0, 0, kFolder}, {0, "top", 0, 0, 0, kFolder}};
        for (int depth = 1; depth <= 5; ++depth)
            entries.push_back({depth, "c" + std::to_string(depth), 0, 0, 0, kFolder});
        for (uint32_t i = 5; i < items; ++i)
            entries.push_back({6, "f" + std::to_string(i), 1, 1});
        show(entries);
        ASSERT_EQ(m_window->displayedTree()->node(m_idOf[1]).filesBelow
                      + m_window->displayedTree()->node(m_idOf[1]).foldersBelow,
                  items);
        m_window->treeView()->setCurrentIndex(indexOf(1).siblingAtColumn(2));
        m_window->expandAll();
        const bool full = items <= MainWindow::kMaxFullExpansion;
        EXPECT_TRUE(m_window->treeView()->isExpanded(indexOf(4)));
        EXPECT_EQ(m_window->treeView()->isExpanded(indexOf(5)), full);
        EXPECT_EQ(m_window->treeView()->isExpanded(indexOf(6)), full);
        EXPECT_EQ(m_window->hoverLabel()->text(),
                  full ? QString() : QString("Expanded the first 3 levels (the folder is very large)"));
    }
}

TEST_F(MainWindowSelection, ExpandAllAndTheStarKeyStopAtTheRowGuardAndTheDepthCap) {
    // 160 folders of 1,000 grouped files: three levels would show 160,320 rows.
    std::vector<Entry> wide = foldersOfFiles(160, 1000, [](int) { return uint64_t(1); });
    // A chain deeper than the view may open.
    std::vector<Entry> deep{{-1, "/r", 0, 0, 0, kFolder}};
    for (int depth = 1; depth <= MainWindow::kMaxViewDepth + 600; ++depth)
        deep.push_back({depth - 1, "c", 0, 0, 0, kFolder});

    for (const bool starKey : {false, true}) {
        SCOPED_TRACE(starKey ? "the '*' key" : "Expand All");
        const auto expand = [&] {
            m_window->treeView()->setCurrentIndex(indexOf(0));
            if (starKey)
                QTest::keyClick(m_window->treeView(), Qt::Key_Asterisk);
            else
                m_window->expandAll();
        };
        show(wide);
        expand();
        QTreeView* view = m_window->treeView();
        NodeModel* model = m_window->nodeModel();
        const uint32_t n = m_window->displayedTree()->nodeCount;
        uint64_t shown = view->isExpanded(indexOf(0)) ? model->rowCount(indexOf(0)) : 0;
        for (int f = 0; f < 160; ++f) {
            const uint32_t folder = m_idOf[1 + f];
            if (view->isExpanded(model->indexForId(folder)))
                shown += 1;
            if (view->isExpanded(model->indexForId(n + folder)))
                shown += 1000;
        }
        EXPECT_LE(shown, MainWindow::kMaxFullExpansion);
        EXPECT_GT(shown, MainWindow::kMaxFullExpansion - 1000);
        EXPECT_EQ(m_window->hoverLabel()->text(), QString("Expanded the first 3 levels (the folder is very large)"));

        show(deep);
        expand();
        EXPECT_TRUE(m_window->treeView()->isExpanded(indexOf(MainWindow::kMaxViewDepth - 1)));
        EXPECT_FALSE(m_window->treeView()->isExpanded(indexOf(MainWindow::kMaxViewDepth + 1)));
    }
}

TEST_F(MainWindowSelection, ResetAfterExpandAllOnAMillionFilesIsQuickAndKeepsTheSelection) {
    // 1,000 folders of 1,000 files.
    std::vector<Entry> entries = foldersOfFiles(1000, 1000, [](int i) { return uint64_t(i); });
    show(entries);
    const int folder = 1 + 5;
    const uint32_t picked = m_idOf[1 + 1000 + 5 * 1000 + 7];
    m_window->selectNode(picked);
    QTreeView* view = m_window->treeView();
    view->selectionModel()->setCurrentIndex(indexOf(0), QItemSelectionModel::NoUpdate);

    QElapsedTimer clock;
    clock.start();
    m_window->expandAll();
    QCoreApplication::processEvents();
    m_window->resetTreeExpansion();
    QCoreApplication::processEvents();
    EXPECT_LT(clock.elapsed(), 4000);  // minutes once every file row counted as expanded

    EXPECT_TRUE(view->isExpanded(indexOf(0)));
    EXPECT_FALSE(view->isExpanded(indexOf(folder)));
    EXPECT_EQ(treeViewSelection(), std::vector<uint32_t>{picked});
    EXPECT_EQ(view->currentIndex().internalId(), 0u);
    EXPECT_EQ(m_window->currentSelection(), std::vector<uint32_t>{picked});
}

TEST_F(MainWindowSelection, SelectAllAfterExpandAllReachesEveryViewWithoutHoldingTheWindow) {
    // 400 folders of 400 files: Expand All opens the folders and as many file groups as
    // 150,000 rows allow, so Ctrl+A selects about 150,000 rows in over a thousand runs.
    show(foldersOfFiles(400, 400, [](int i) { return uint64_t(i + 1); }));
    m_window->resize(1200, 800);
    m_window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(m_window.get()));
    QTreeView* view = m_window->treeView();
    view->setCurrentIndex(indexOf(0));
    m_window->expandAll();
    QTest::qWait(20);
    std::vector<uint32_t> shown;
    for (QModelIndex row = indexOf(0); row.isValid(); row = view->indexBelow(row))
        shown.push_back(uint32_t(row.internalId()));
    ASSERT_GT(shown.size(), 140000u);

    // The longest wait between two ticks of a 1 ms timer, the key and the repaints included.
    QElapsedTimer clock;
    qint64 last = 0, longest = 0;
    QTimer ticks;
    ticks.setTimerType(Qt::PreciseTimer);
    QObject::connect(&ticks, &QTimer::timeout, [&] {
        longest = std::max(longest, clock.elapsed() - last);
        last = clock.elapsed();
    });
    clock.start();
    ticks.start(1);
    bool handled = false;
    QTimer::singleShot(0, view, [&] {
        QTest::keyClick(view, Qt::Key_A, Qt::ControlModifier);
        handled = true;
    });
    while (!handled)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    QTest::qWait(200);
    ticks.stop();
    EXPECT_LT(longest, 1500);  // seconds when each selected row was looked up in every range

    // Every shown row is selected whole, once (asking the selection row by row takes minutes).
    size_t selectedRows = 0;
    for (const QItemSelectionRange& range : view->selectionModel()->selection()) {
        EXPECT_EQ(range.width(), NodeModel::ColumnCount);
        selectedRows += size_t(range.height());
    }
    EXPECT_EQ(selectedRows, shown.size());
    std::vector<uint32_t> carried = m_window->currentSelection();
    std::sort(carried.begin(), carried.end());
    std::sort(shown.begin(), shown.end());
    EXPECT_EQ(carried, shown);
    EXPECT_EQ(treemapSelection(), shown);
    // 400 folders of files weighing 1 to 400 bytes.
    EXPECT_EQ(m_window->selectionLabel()->text(),
              QString("Selected Files: %1  Total Size: %2  Allocated: %2")
                  .arg(formatNumber(160000), formatSize(400 * (400 * 401 / 2))));
}

TEST_F(MainWindowSelection, HoverNamesThePathOrTheFreeSpaceAndClearsOnLeaving) {
    show(linkedTree());
    TreemapWidget* treemap = m_window->treemapPanel()->treemap();
    emit treemap->hoverChanged(m_idOf[4]);
    EXPECT_EQ(m_window->hoverLabel()->text(), "/r/a/b/x.aaa");
    emit treemap->hoverChanged(4294967294LL);
    EXPECT_EQ(m_window->hoverLabel()->text(), "Space Free: " + formatSize(m_window->header()->spaceFree()));
    emit treemap->hoverChanged(-1);
    EXPECT_EQ(m_window->hoverLabel()->text(), QString());

    // Right to left, a folder row's path is isolated name by name; the root's file-group row
    // (the first id past the nodes) holds its folder's path isolated already: one text.
    QGuiApplication::setLayoutDirection(Qt::RightToLeft);
    m_window->nodeModel()->setFileGroupMinSize(1);
    const uint32_t n = uint32_t(m_idOf.size());  // every entry is a node
    for (const uint32_t row : {m_idOf[1], n}) {
        const QModelIndex index = m_window->nodeModel()->indexForId(row);
        ASSERT_TRUE(index.isValid()) << row;
        emit m_window->treeView()->entered(index);
        const QString text = m_window->nodeModel()->pathOf(row);
        EXPECT_EQ(m_window->hoverLabel()->text(), row < n ? isolatePath(text) : isolateText(text)) << row;
    }
    QGuiApplication::setLayoutDirection(Qt::LeftToRight);
}

TEST_F(MainWindowSelection, RescanBringsBackExpansionSelectionAndZoomSkippingWhatVanished) {
    hmtest::TempDir dir;
    const std::string root = dir.path() + "/root";
    ::mkdir(root.c_str(), 0755);
    windowtest::makeFolder(root, 3, 5);
    m_window = std::make_unique<MainWindow>();
    const auto scan = [&] {
        m_window->scanFolder(QString::fromStdString(root));
        ASSERT_TRUE(windowtest::waitUntil([&] { return m_window->displayedTree() && !m_window->isJobRunning(); }));
    };
    const auto id = [&](const std::string& rel) {
        const std::string path = root + "/" + rel;
        return m_window->displayedTree()->findPath(path.data(), path.size());
    };
    scan();
    for (const char* folder : {"d0", "d2"})
        m_window->treeView()->expand(m_window->nodeModel()->indexForId(uint32_t(id(folder))));
    // d2's five files sit under its file-group row.
    const uint32_t group = uint32_t(id("d2")) + m_window->displayedTree()->nodeCount;
    m_window->treeView()->expand(m_window->nodeModel()->indexForId(group));
    m_window->setSelection({uint32_t(id("d0/f1.bbb")), uint32_t(id("d2/f3.bbb"))}, MainWindow::FromBoth);
    m_window->treemapPanel()->treemap()->zoomTo(uint32_t(id("d2")));

    for (int f = 0; f < 5; ++f)
        ::unlink((root + "/d0/f" + std::to_string(f) + (f % 2 ? ".bbb" : ".aaa")).c_str());
    ASSERT_EQ(::rmdir((root + "/d0").c_str()), 0);
    scan();

    EXPECT_LT(id("d0"), 0);
    const uint32_t d2 = uint32_t(id("d2"));
    EXPECT_TRUE(m_window->treeView()->isExpanded(m_window->nodeModel()->indexForId(d2)));
    EXPECT_TRUE(m_window->treeView()->isExpanded(
        m_window->nodeModel()->indexForId(d2 + m_window->displayedTree()->nodeCount)));
    EXPECT_EQ(m_window->currentSelection(), std::vector<uint32_t>{uint32_t(id("d2/f3.bbb"))});
    EXPECT_EQ(m_window->treemapPanel()->treemap()->zoomRoot(), d2);
}

TEST_F(MainWindowSelection, RescanTakesTheTopmostFoldersOnceAndTheWholeSourceForAScannedRoot) {
    hmtest::TempDir dir;
    const std::string one = dir.path() + "/one", two = dir.path() + "/two";
    for (const std::string& root : {one, two}) {
        ::mkdir(root.c_str(), 0755);
        windowtest::makeFolder(root, 2, 2);
    }
    ::mkdir((one + "/d0/sub").c_str(), 0755);
    hmtest::writeFile(one + "/d0/sub/s.txt", "s");
    m_window = std::make_unique<MainWindow>();
    const auto id = [&](const std::string& path) {
        return uint32_t(m_window->displayedTree()->findPath(path.data(), path.size()));
    };
    const auto targets = [&](const std::vector<std::string>& paths, bool expectWhole) {
        std::vector<uint32_t> ids;
        for (const std::string& path : paths)
            ids.push_back(id(path));
        m_window->setSelection(ids, MainWindow::FromBoth);
        bool whole = false;
        std::vector<uint32_t> result = m_window->rescanTargets(&whole);
        EXPECT_EQ(whole, expectWhole);
        EXPECT_EQ(m_window->canRescanSelection(), whole || !result.empty());
        return result;
    };

    m_window->scanFolder(QString::fromStdString(one));
    ASSERT_TRUE(windowtest::waitUntil([&] { return m_window->displayedTree() && !m_window->isJobRunning(); }));
    EXPECT_EQ(targets({one + "/d0/f0.aaa", one + "/d0"}, false), std::vector<uint32_t>{id(one + "/d0")});
    EXPECT_EQ(targets({one + "/d0/sub", one + "/d1/f1.bbb", one + "/d0"}, false),
              (std::vector<uint32_t>{id(one + "/d1"), id(one + "/d0")}));
    EXPECT_TRUE(targets({one + "/top.bbb"}, true).empty());
    EXPECT_TRUE(targets({one}, true).empty());
    m_window->setSelection({}, MainWindow::FromBoth);
    EXPECT_FALSE(m_window->canRescanSelection());

    m_window->scanMultiple({QString::fromStdString(one), QString::fromStdString(two)});
    ASSERT_TRUE(windowtest::waitUntil([&] { return m_window->displayedTree() && !m_window->isJobRunning(); }));
    EXPECT_TRUE(targets({two + "/d1/f0.aaa", two}, true).empty());
    EXPECT_EQ(targets({two + "/d1/f0.aaa"}, false), std::vector<uint32_t>{id(two + "/d1")});
}

TEST_F(MainWindowSelection, AHundredThousandLevelsDeepNeitherSelectionNorExpandAllOverflowTheView) {
    std::vector<Entry> entries{{-1, "/r", 0, 0, 0, kFolder}};
    for (int depth = 1; depth <= 100000; ++depth)
        entries.push_back({depth - 1, "c", 0, 0, 0, kFolder});
    show(entries);
    // Too deep for the view: the treemap and the summary still have it.
    m_window->selectNode(m_idOf.back());
    EXPECT_EQ(m_window->currentSelection(), std::vector<uint32_t>{m_idOf.back()});
    EXPECT_EQ(treemapSelection(), std::vector<uint32_t>{m_idOf.back()});
    EXPECT_TRUE(treeViewSelection().empty());
    const uint32_t reachable = m_idOf[MainWindow::kMaxViewDepth];
    m_window->selectNode(reachable);
    EXPECT_EQ(treeViewSelection(), std::vector<uint32_t>{reachable});

    m_window->treeView()->setCurrentIndex(QModelIndex());
    m_window->expandAll();
    EXPECT_TRUE(m_window->treeView()->isExpanded(indexOf(MainWindow::kMaxViewDepth - 1)));
}

TEST_F(MainWindowSelection, ARemovalWhileALongGroupRowIsSortedShowsItsRowsRemoved) {
    constexpr int kFiles = 150000;
    std::vector<Entry> entries{{-1, "/r", 0, 0, 0, kFolder}, {0, "sub", 0, 0, 0, kFolder}};
    for (int i = 0; i < kFiles; ++i)
        entries.push_back({0, "f" + std::to_string(i * 7919 % kFiles), uint64_t(i % 977), uint64_t(i % 977) * 4096});
    show(entries);
    NodeModel* model = m_window->nodeModel();
    const uint32_t n = m_window->displayedTree()->nodeCount;
    const QModelIndex group = model->indexForId(n + 0);
    ASSERT_TRUE(group.isValid());

    m_window->treeView()->expand(group);
    ASSERT_TRUE(model->sortingInBackground());
    EXPECT_EQ(QApplication::overrideCursor() ? QApplication::overrideCursor()->shape() : Qt::ArrowCursor,
              Qt::BusyCursor);
    const std::vector<uint32_t> removed{m_idOf[2], m_idOf[2 + kFiles / 2], m_idOf[1 + kFiles]};
    m_window->removeNodes(removed);
    ASSERT_TRUE(windowtest::waitUntil([&] { return !model->sortingInBackground() && !QApplication::overrideCursor(); }));

    ASSERT_EQ(model->rowCount(group), kFiles);
    EXPECT_EQ(model->data(group).toString(), "[149,997 Files in /r]");
    uint64_t previous = UINT64_MAX;
    int struckOut = 0;
    for (int row = 0; row < kFiles; ++row) {
        const QModelIndex index = model->index(row, 0, group);
        const uint32_t id = uint32_t(index.internalId());
        const svl::ScanNode& node = m_window->displayedTree()->node(id);
        ASSERT_LE(node.allocated, previous) << "row " << row;
        previous = node.allocated;
        const bool isRemoved = std::find(removed.begin(), removed.end(), id) != removed.end();
        if (model->data(index, Qt::FontRole).value<QFont>().strikeOut()) {
            ++struckOut;
            EXPECT_TRUE(isRemoved) << row;
            EXPECT_FALSE(model->flags(index) & Qt::ItemIsEditable) << row;
        }
    }
    EXPECT_EQ(struckOut, 3);
}
