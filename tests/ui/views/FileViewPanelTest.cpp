#include "ui/views/FileViewPanel.h"

#include "app/AppSettings.h"
#include "app/ValueFormat.h"
#include "core/scan/ScanDriver.h"
#include "core/tree/ScanTree.h"
#include "tests/ui/views/FileViewTestSupport.h"
#include "ui/mainwindow/EmptyStateWidget.h"
#include "ui/views/FileListModel.h"
#include "ui/views/FilterField.h"

#include <QCheckBox>
#include <QComboBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTest>
#include <QTreeView>

#include <algorithm>
#include <thread>

namespace {

// Waits until the panel has installed a result (or given up).
bool settle(FileViewPanel& panel) {
    return QTest::qWaitFor([&] { return !panel.isBusy(); }, 5000);
}

int searchesStarted(const QSignalSpy& summaries) {
    int n = 0;
    for (const QList<QVariant>& args : summaries)
        n += args.at(0).toString() == QStringLiteral("Searching...");
    return n;
}

class FileViewPanelFixture : public ::testing::Test {
protected:
    void SetUp() override {
        treemaptest::clearSettings();
        AppSettings::instance()->setSaveEnabled(true);
    }
};

}  // namespace

TEST_F(FileViewPanelFixture, FreshStartAndRestoredSettings) {
    {
        FileViewPanel panel;
        EXPECT_TRUE(panel.fileNameOnlyRadio()->isChecked());
        EXPECT_TRUE(panel.foldersCheck()->isChecked());
        EXPECT_EQ(panel.maxFilesCombo()->currentData().toInt(), 1000);
        EXPECT_EQ(panel.dupMethodCombo()->currentIndex(), 2);
        EXPECT_EQ(panel.view()->header()->sortIndicatorSection(), 4);
        EXPECT_EQ(panel.view()->header()->sortIndicatorOrder(), Qt::DescendingOrder);
        EXPECT_FALSE(panel.view()->isColumnHidden(7));
        EXPECT_TRUE(panel.isShowingEmptyState());
        EXPECT_EQ(panel.emptyPage()->text(), QStringLiteral("No Scan Results"));
        EXPECT_TRUE(panel.model()->headerData(4, Qt::Horizontal, Qt::FontRole).value<QFont>().bold());
        EXPECT_FALSE(AppSettings::instance()->settings()->contains(QStringLiteral("fileViewMaxFiles")))
            << "restoring writes nothing";

        panel.dupMethodCombo()->setCurrentIndex(0);
        EXPECT_FALSE(panel.dupsOnlyCheck()->isEnabled());
        EXPECT_TRUE(panel.view()->isColumnHidden(7));
        EXPECT_TRUE(panel.view()->isColumnHidden(8));
    }
    QSettings* s = AppSettings::instance()->settings();
    EXPECT_EQ(s->value(QStringLiteral("fileViewDupMethod")).toInt(), 0);
    const std::pair<int, int> maxFiles[] = {{5000, 10000}, {0, 0}, {-3, 0}, {200000, 0}, {100, 100}};
    for (auto [stored, shown] : maxFiles) {
        s->setValue(QStringLiteral("fileViewMaxFiles"), stored);
        s->setValue(QStringLiteral("fileViewDupMethod"), 9);
        FileViewPanel panel;
        EXPECT_EQ(panel.maxFilesCombo()->currentData().toInt(), shown) << stored;
        EXPECT_EQ(panel.dupMethodCombo()->currentIndex(), 2);
    }
}

TEST_F(FileViewPanelFixture, SearchesAScannedFolderAndSummarises) {
    hmtest::TempDir dir("hm-fileview");
    hmtest::writeFile(dir / "alpha.log", std::string(3000, 'a'));
    hmtest::sh("mkdir " + hmtest::shQuote(dir / "sub"));
    hmtest::writeFile(dir / "sub/alpha.log", std::string(3000, 'a'));
    hmtest::writeFile(dir / "sub/beta.txt", std::string(10, 'b'));
    std::shared_ptr<svl::ScanTree> tree = svl::scanSingle(dir.path(), svl::ScanOptions{}, nullptr);
    ASSERT_TRUE(tree && tree->nodeCount == 5);

    FileViewPanel panel;
    panel.resize(900, 400);
    panel.show();
    QSignalSpy summaries(&panel, &FileViewPanel::summaryChanged);
    panel.foldersCheck()->setChecked(false);
    panel.dupMethodCombo()->setCurrentIndex(1);
    panel.setTree(tree);
    EXPECT_FALSE(panel.isShowingEmptyState());
    EXPECT_TRUE(panel.locatingLabel()->isVisibleTo(&panel));
    ASSERT_TRUE(settle(panel));
    EXPECT_EQ(panel.listedIds().size(), 3u);
    EXPECT_FALSE(panel.locatingLabel()->isVisibleTo(&panel));
    EXPECT_TRUE(panel.view()->rootIsDecorated()) << "the two alpha.log files are a group";
    uint64_t filesAllocated = 0;
    for (uint32_t id : panel.listedIds())
        filesAllocated += tree->node(id).allocated;
    EXPECT_EQ(summaries.last().at(0).toString(),
              QStringLiteral("(3 files  Total Size: %1  Allocated: %2)").arg(formatSize(6010), formatSize(filesAllocated)));

    // A new sort reuses the duplicate index.
    panel.view()->header()->setSortIndicator(0, Qt::AscendingOrder);
    EXPECT_FALSE(panel.locatingLabel()->isVisibleTo(&panel));
    ASSERT_TRUE(settle(panel));
    EXPECT_EQ(panel.model()->sortColumn(), 0);
    const auto sorted = panel.listedIds();
    ASSERT_EQ(sorted.size(), 3u);
    EXPECT_EQ(tree->node(sorted[2]).nameView(), "beta.txt");
    // Typing a name's first letters goes to its row.
    panel.view()->setCurrentIndex(panel.model()->index(0, 0));
    QTest::keyClicks(panel.view(), QStringLiteral("be"));
    EXPECT_EQ(panel.view()->currentIndex().data().toString(), QStringLiteral("beta.txt"));

    // Three quick keystrokes start one search, after the pause.
    summaries.clear();
    panel.searchField()->lineEdit()->setFocus();
    QTest::keyClicks(panel.searchField()->lineEdit(), QStringLiteral("alp"));
    EXPECT_TRUE(panel.isBusy());
    EXPECT_EQ(searchesStarted(summaries), 0);
    ASSERT_TRUE(settle(panel));
    EXPECT_EQ(searchesStarted(summaries), 1);
    EXPECT_EQ(panel.listedIds().size(), 2u);
    QTest::keyClick(panel.searchField()->lineEdit(), Qt::Key_Return);
    EXPECT_EQ(searchesStarted(summaries), 2) << "Return searches at once";
    ASSERT_TRUE(settle(panel));

    // An expression that does not compile says so rather than "0 files".
    panel.setSearchText(QStringLiteral("\\alp(ha"));
    QTest::keyClick(panel.searchField()->lineEdit(), Qt::Key_Return);
    ASSERT_TRUE(settle(panel));
    EXPECT_EQ(summaries.last().at(0).toString(), QStringLiteral("(Not a valid regular expression: alp(ha)"));
    panel.setSearchText(QStringLiteral("alp"));
    QTest::keyClick(panel.searchField()->lineEdit(), Qt::Key_Return);
    ASSERT_TRUE(settle(panel));

    // Select-all as one merged selection, without selection signals.
    QSignalSpy selections(&panel, &FileViewPanel::selectionChanged);
    panel.selectIds(panel.listedIds());
    EXPECT_EQ(panel.view()->selectionModel()->selection().size(), 1);
    EXPECT_EQ(panel.selectedIds().size(), 2u);
    EXPECT_EQ(selections.count(), 0);

    // A removal keeps the row listed and takes its bytes out of the totals at once.
    const std::vector<uint32_t> listed = panel.listedIds();
    ASSERT_TRUE(tree->markRemoved(listed[0]));
    panel.refreshRows();
    EXPECT_EQ(summaries.last().at(0).toString(), QStringLiteral("(2 files  Total Size: %1  Allocated: %2)")
                                                     .arg(formatSize(3000), formatSize(tree->node(listed[1]).allocated)));

    // An empty tree: empty page, empty summary, no rows to act on.
    panel.setTree(std::make_shared<svl::ScanTree>());
    EXPECT_TRUE(panel.isShowingEmptyState());
    EXPECT_TRUE(summaries.last().at(0).toString().isEmpty());
    EXPECT_FALSE(panel.isBusy());
    EXPECT_TRUE(panel.listedIds().empty());
}

TEST_F(FileViewPanelFixture, OnlyTheNewestResultIsInstalledAndFailuresClearBusy) {
    const auto tree = fileviewtest::sampleTree();
    std::atomic<bool> release{false};  // outlive the panel, whose search threads read them
    std::atomic<bool> fail{false};
    FileViewPanel panel;
    QSignalSpy summaries(&panel, &FileViewPanel::summaryChanged);
    panel.setSearchRunner([&](const svl::ScanTree& t, const SearchParams& p, const std::atomic<int>& counter,
                              int generation, SearchResult& result) {
        if (fail)
            throw std::bad_alloc();
        if (p.text == "slow") {
            while (!release)
                std::this_thread::yield();
            result.ids = {3};  // finishes after the newer request, as if still current
            return true;
        }
        return runSearch(t, p, counter, generation, result);
    });
    panel.setTree(tree);
    ASSERT_TRUE(settle(panel));
    panel.setSearchText(QStringLiteral("slow"));
    panel.refreshNow();
    panel.setSearchText(QStringLiteral("copy"));
    panel.refreshNow();
    ASSERT_TRUE(settle(panel));
    EXPECT_EQ(panel.listedIds(), (std::vector<uint32_t>{6, 8}));
    release = true;
    QTest::qWait(100);
    EXPECT_EQ(panel.listedIds(), (std::vector<uint32_t>{6, 8})) << "the older run's late result is dropped";

    fail = true;
    panel.refreshNow();
    ASSERT_TRUE(settle(panel));
    EXPECT_TRUE(summaries.last().at(0).toString().startsWith(QStringLiteral("(Search failed: ")));
    EXPECT_EQ(panel.listedIds(), (std::vector<uint32_t>{6, 8})) << "the previous rows stay";

    // A new tree empties the list at once; rows of the old tree are never acted on.
    fail = false;
    release = false;
    panel.setSearchText(QStringLiteral("slow"));
    panel.refreshNow();
    const auto other = fileviewtest::sampleTree();
    panel.setTree(other);
    EXPECT_EQ(panel.model()->rowCount(), 0);
    EXPECT_TRUE(panel.listedIds().empty());
    release = true;
    ASSERT_TRUE(settle(panel));
    EXPECT_EQ(panel.model()->tree(), other);
}

TEST_F(FileViewPanelFixture, StopSearchesWaitsAndRestartsTheRequest) {
    const auto tree = fileviewtest::sampleTree();
    std::atomic<int> running{0};
    std::atomic<bool> stoppedByCounter{false};
    FileViewPanel panel;
    panel.setSearchRunner([&](const svl::ScanTree& t, const SearchParams& p, const std::atomic<int>& counter,
                              int generation, SearchResult& result) {
        if (p.text == "wait" && !stoppedByCounter) {
            ++running;
            while (counter.load() == generation)  // like a run checking between chunks
                std::this_thread::yield();
            stoppedByCounter = true;
            return false;
        }
        return runSearch(t, p, counter, generation, result);
    });
    panel.setTree(tree);
    ASSERT_TRUE(settle(panel));
    panel.setSearchText(QStringLiteral("wait"));
    panel.refreshNow();
    ASSERT_TRUE(QTest::qWaitFor([&] { return running.load() == 1; }, 5000));
    panel.stopSearches();
    EXPECT_TRUE(stoppedByCounter) << "no search reads the tree when stopSearches returns";
    EXPECT_TRUE(panel.isBusy());
    ASSERT_TRUE(settle(panel)) << "the stopped request runs again";
    EXPECT_TRUE(panel.listedIds().empty()) << "nothing is called \"wait\"";
}

TEST_F(FileViewPanelFixture, HoverDoubleClickAndContextMenu) {
    const auto tree = fileviewtest::sampleTree();
    FileViewPanel panel;
    panel.resize(1100, 400);  // wide enough for the size column's cell
    panel.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&panel));
    panel.foldersCheck()->setChecked(false);
    panel.setTree(tree);
    panel.setSearchText(QStringLiteral("copy"));
    panel.refreshNow();
    ASSERT_TRUE(settle(panel));
    ASSERT_EQ(panel.listedIds(), (std::vector<uint32_t>{6, 8}));

    QTreeView* view = panel.view();
    QSignalSpy hovered(&panel, &FileViewPanel::nodeHovered);
    QSignalSpy doubleClicked(&panel, &FileViewPanel::nodeDoubleClicked);
    QSignalSpy context(&panel, &FileViewPanel::contextMenuRequested);
    const QRect sizeCell = view->visualRect(panel.model()->index(1, 3));
    QTest::mouseMove(view->viewport(), sizeCell.center());
    ASSERT_GE(hovered.count(), 1);
    EXPECT_EQ(hovered.last().at(0).toLongLong(), 8);
    QTest::mouseMove(view->viewport(), QPoint(sizeCell.center().x(), view->viewport()->height() - 5));
    EXPECT_EQ(hovered.last().at(0).toLongLong(), -1) << "below the last row";

    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, sizeCell.center());
    QTest::mouseDClick(view->viewport(), Qt::LeftButton, {}, sizeCell.center());
    ASSERT_EQ(doubleClicked.count(), 1);
    EXPECT_EQ(doubleClicked.at(0).at(0).toUInt(), 8u);
    EXPECT_TRUE(view->isExpanded(panel.model()->index(1, 0))) << "a duplicate row opens from any column";

    // Select All takes every shown row: the expanded duplicate's child, not the collapsed one's.
    FileListModel* model = panel.model();
    QTest::keyClick(view, Qt::Key_A, Qt::ControlModifier);
    std::vector<uint32_t> all = panel.selectedIds();
    std::sort(all.begin(), all.end());
    EXPECT_EQ(all, (std::vector<uint32_t>{6, 6, 8}));
    EXPECT_TRUE(view->selectionModel()->isRowSelected(0, model->index(1, 0)));
    EXPECT_FALSE(view->selectionModel()->isRowSelected(0, model->index(0, 0)));
    // The header's paint would read every row's flags to learn whether a column is wholly
    // selected; it keeps an empty selection of its own.
    EXPECT_FALSE(view->header()->selectionModel()->hasSelection());

    // Overlapping and partial ranges give what selectedRows(0) gives, child rows included.
    const QModelIndex child = model->index(0, 0, model->index(1, 0));
    QItemSelection selection;
    selection.select(model->index(0, 0), model->index(1, 8));
    selection.append(QItemSelectionRange(model->index(1, 0), model->index(1, 8)));
    selection.select(child, child.siblingAtColumn(8));
    selection.select(model->index(0, 2), model->index(0, 4));  // part of a selected row
    view->selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect);
    std::vector<uint32_t> expected;
    for (const QModelIndex& index : view->selectionModel()->selectedRows(0))
        expected.push_back(model->nodeId(index));
    EXPECT_EQ(panel.selectedIds(), expected);
    EXPECT_EQ(panel.selectedIds(), (std::vector<uint32_t>{6, 8, 6}));
    // A drag carries those rows as file URLs.
    std::unique_ptr<QMimeData> dragged(panel.dragMimeData());
    ASSERT_TRUE(dragged);
    const QUrl docs = QUrl::fromLocalFile("/data/docs/copy.bin"), pics = QUrl::fromLocalFile("/data/pics/copy.bin");
    EXPECT_EQ(dragged->urls(), (QList<QUrl>{docs, pics, docs}));

    emit view->customContextMenuRequested(QPoint(10, 10));
    ASSERT_EQ(context.count(), 1);
    EXPECT_EQ(context.at(0).at(0).toPoint(), view->viewport()->mapToGlobal(QPoint(10, 10)));
}
