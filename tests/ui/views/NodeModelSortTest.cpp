// Ordering of the folder tree: keys per column, ties by name (ASCII case only) then id in
// both directions, the group row's place, re-sorting by the newest time, the
// layout-change protocol with persistent indexes, serial against parallel sorting, and
// long lists sorted on a worker while the view keeps answering.
#include "tests/ui/views/NodeModelTestSupport.h"

#include "core/analysis/Parallel.h"
#include "ui/views/FolderTreeView.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QTreeView>

#include <chrono>

namespace {

using nodemodeltest::childNames;
using nodemodeltest::TreeBuilder;

// Four rows of allocation 100 whose names differ in case only, and smaller ones.
struct SortTree {
    SortTree() {
        TreeBuilder b("/s");
        beta = b.folder(0, "Beta", 10);
        alpha = b.folder(0, "alpha", 20);
        gamma = b.folder(0, "gamma", 30);
        b.file(0, "B.txt", 100, 40);
        b.file(0, "a.txt", 100, 50);
        b.file(0, "c", 70, 60);
        dupLower = b.file(0, "dup", 10, 70);
        dupUpper = b.file(0, "DUP", 10, 80);
        b.file(beta, "x", 100, 500);
        y = b.file(alpha, "y", 100, 5);
        b.file(gamma, "z", 50, 1);
        tree = b.finish();
    }
    std::shared_ptr<svl::ScanTree> tree;
    uint32_t beta, alpha, gamma, dupLower, dupUpper, y;
};

class NodeModelSortTest : public ::testing::Test {
protected:
    void SetUp() override {
        AppSettings::instance()->settings()->clear();
        model.setFileGroupMinSize(0);
        model.setTree(t.tree);
    }
    QStringList rootChildren() { return childNames(model, model.index(0, 0)); }
    SortTree t;
    NodeModel model;
};

TEST_F(NodeModelSortTest, EqualKeysGoByNameIgnoringAsciiCaseThenByIdInBothDirections) {
    // The initial order: Allocated, descending.
    EXPECT_EQ(rootChildren(), (QStringList{"a.txt", "alpha", "B.txt", "Beta", "c", "gamma", "dup", "DUP"}));
    model.sort(3, Qt::AscendingOrder);
    EXPECT_EQ(rootChildren(), (QStringList{"dup", "DUP", "gamma", "c", "a.txt", "alpha", "B.txt", "Beta"}));
    model.sort(1, Qt::AscendingOrder);
    EXPECT_EQ(rootChildren(), (QStringList{"dup", "DUP", "gamma", "c", "a.txt", "alpha", "B.txt", "Beta"}))
        << "% of Parent orders as Allocated";

    model.sort(0, Qt::AscendingOrder);
    EXPECT_EQ(rootChildren(), (QStringList{"a.txt", "alpha", "B.txt", "Beta", "c", "dup", "DUP", "gamma"}));
    model.sort(0, Qt::DescendingOrder);
    EXPECT_EQ(rootChildren(), (QStringList{"gamma", "dup", "DUP", "c", "Beta", "B.txt", "alpha", "a.txt"}))
        << "equal names keep the smaller id first";
}

TEST_F(NodeModelSortTest, CountColumnsPutFilesAfterFoldersWhenDescending) {
    for (int column : {4, 5, 6}) {
        model.sort(column, Qt::DescendingOrder);
        EXPECT_EQ(rootChildren().mid(0, 3), (QStringList{"alpha", "Beta", "gamma"})) << column;
        model.sort(column, Qt::AscendingOrder);
        EXPECT_EQ(rootChildren().mid(5, 3), (QStringList{"alpha", "Beta", "gamma"})) << column;
    }
    model.sort(2, Qt::AscendingOrder);
    EXPECT_EQ(rootChildren().front(), "dup");
}

TEST_F(NodeModelSortTest, TheGroupRowIsLastByNameAscendingAndWhereItsTotalPutsItBySize) {
    model.setFileGroupMinSize(4);
    const QString group = "[5 Files in /s]";
    model.sort(0, Qt::AscendingOrder);
    EXPECT_EQ(rootChildren(), (QStringList{"alpha", "Beta", "gamma", group}));
    model.sort(0, Qt::DescendingOrder);
    EXPECT_EQ(rootChildren(), (QStringList{group, "gamma", "Beta", "alpha"}));
    model.sort(2, Qt::DescendingOrder);
    EXPECT_EQ(rootChildren(), (QStringList{group, "alpha", "Beta", "gamma"})) << "290 bytes of files first";
    model.sort(2, Qt::AscendingOrder);
    EXPECT_EQ(rootChildren(), (QStringList{"gamma", "alpha", "Beta", group}));
    EXPECT_EQ(childNames(model, model.indexForId(t.tree->nodeCount)), (QStringList{"dup", "DUP", "c", "a.txt", "B.txt"}));

    // By Files the group row counts what it shows: removed files no longer count.
    const svl::ScanNode& root = t.tree->node(0);
    for (uint32_t id = root.firstChild; id < root.firstChild + root.childCount; ++id) {
        if (!t.tree->node(id).isFolder()) {
            ASSERT_TRUE(t.tree->markRemoved(id));
        }
    }
    model.clearGroupCache();
    model.sort(5, Qt::DescendingOrder);
    const QStringList byFiles = rootChildren();
    EXPECT_EQ(byFiles.mid(0, 3), (QStringList{"alpha", "Beta", "gamma"})) << byFiles.join(", ").toStdString();
}

TEST_F(NodeModelSortTest, ModifiedFollowsTheNewestTimeSwitchAfterAResort) {
    model.sort(7, Qt::DescendingOrder);
    // Newest below: Beta 500, DUP 80, dup 70, c 60, a.txt 50, B.txt 40, gamma 30, alpha 20.
    EXPECT_EQ(rootChildren(), (QStringList{"Beta", "DUP", "dup", "c", "a.txt", "B.txt", "gamma", "alpha"}));
    model.showMaxModifiedDate = false;
    QSignalSpy layouts(&model, &QAbstractItemModel::layoutChanged);
    model.resort();
    EXPECT_EQ(layouts.count(), 1);
    EXPECT_EQ(rootChildren(), (QStringList{"DUP", "dup", "c", "a.txt", "B.txt", "gamma", "alpha", "Beta"}));
}

TEST_F(NodeModelSortTest, SortingAgainIsFreeAndReversingKeepsTiesAscending) {
    QSignalSpy layouts(&model, &QAbstractItemModel::layoutChanged);
    model.sort(3, Qt::DescendingOrder);
    EXPECT_EQ(layouts.count(), 0);
    model.sort(2, Qt::DescendingOrder);
    const QStringList descending = rootChildren();
    model.sort(2, Qt::AscendingOrder);
    EXPECT_EQ(layouts.count(), 2);
    EXPECT_EQ(rootChildren(), (QStringList{"dup", "DUP", "gamma", "c", "a.txt", "alpha", "B.txt", "Beta"}));
    EXPECT_EQ(descending, (QStringList{"a.txt", "alpha", "B.txt", "Beta", "c", "gamma", "dup", "DUP"}));
}

TEST_F(NodeModelSortTest, ExpandedAndSelectedRowsSurviveASort) {
    QTreeView view;
    view.setModel(&model);
    view.expand(model.index(0, 0));
    const QModelIndex alpha = model.indexForId(t.alpha);
    view.expand(alpha);
    view.selectionModel()->select(model.indexForId(t.y), QItemSelectionModel::Select | QItemSelectionModel::Rows);
    const QPersistentModelIndex keep(model.indexForId(t.y).siblingAtColumn(4));
    ASSERT_EQ(alpha.row(), 1);

    model.sort(0, Qt::DescendingOrder);
    const QModelIndex moved = model.indexForId(t.alpha);
    EXPECT_EQ(moved.row(), 6);
    EXPECT_TRUE(view.isExpanded(moved));
    EXPECT_TRUE(view.selectionModel()->isSelected(model.indexForId(t.y)));
    EXPECT_EQ(keep.column(), 4);
    EXPECT_EQ(keep.internalId(), quintptr(t.y));
    EXPECT_EQ(keep.parent(), moved);
}

TEST(NodeModelNameOrderTest, OnlyAsciiLettersAreLowered) {
    const struct {
        const char* a;
        const char* b;
        int sign;
    } cases[] = {
        {"abc", "ABD", -1},         {"Zeta", "alpha", 1},      {"ab", "abc", -1},       {"SAME", "same", 0},
        {"\xC3\x89", "\xC3\xA9", -1},  // É and é stay different: no locale folding
        {"\xC3\xA9", "z", 1},          // bytes above 0x7F sort by value
        {"[", "a", -1},                // '[' (0x5B) below 'a', although above 'A'
    };
    for (const auto& c : cases) {
        const int result = compareNamesAscii(c.a, c.b);
        EXPECT_EQ((result > 0) - (result < 0), c.sign) << c.a << " / " << c.b;
        EXPECT_EQ(compareNamesAscii(c.b, c.a), -compareNamesAscii(c.a, c.b));
    }
}

TEST(NodeModelParallelSortTest, SerialAndParallelGiveTheSameOrderForHugeFolders) {
    constexpr uint32_t kFiles = 250000;
    TreeBuilder b("/huge");
    for (uint32_t i = 0; i < kFiles; ++i) {
        const std::string number = std::to_string(i * 7919u % 5000u);
        std::string name;
        if (i % 3 == 0)
            name = ((i % 2) ? "f" : "F") + number;
        else if (i % 3 == 1)  // sixteen bytes, alone or extended
            name = std::string((i % 4) ? "project-archives" : "PROJECT-Archives") + ((i % 5) ? "." + number : "");
        else  // a long shared start
            name = "Screenshot from 2024-" + std::string((i % 7) ? "" : "0") + number + ((i % 11) ? ".png" : "");
        b.add(0, {name, 0, i % 37, i % 41});
    }
    const auto tree = b.finish();

    for (int column : {0, 3}) {
        for (Qt::SortOrder order : {Qt::AscendingOrder, Qt::DescendingOrder}) {
            std::vector<uint32_t> serial, parallel;
            for (int threads : {1, 8}) {
                svl::ScopedHardwareThreads pinned(threads);
                NodeModel model;
                model.setFileGroupMinSize(0);
                model.setTree(tree);
                model.sort(column, order);
                (threads == 1 ? serial : parallel) = model.childOrder(0);
            }
            EXPECT_EQ(serial, parallel) << column << " " << order;
            ASSERT_EQ(serial.size(), kFiles);
            // And the order is the promised one.
            const bool descending = order == Qt::DescendingOrder;
            for (size_t j = 1; j < serial.size(); ++j) {
                const svl::ScanNode& p = tree->node(serial[j - 1]);
                const svl::ScanNode& q = tree->node(serial[j]);
                const int64_t kp = column == 0 ? 0 : int64_t(p.allocated);
                const int64_t kq = column == 0 ? 0 : int64_t(q.allocated);
                const int names = compareNamesAscii(p.nameView(), q.nameView());
                bool inOrder;
                if (kp != kq)
                    inOrder = descending ? kp > kq : kp < kq;
                else if (names != 0)
                    inOrder = (column == 0 && descending) ? names > 0 : names < 0;
                else
                    inOrder = serial[j - 1] < serial[j];
                ASSERT_TRUE(inOrder) << "position " << j << " column " << column;
            }
        }
    }
}

TEST(NodeModelBackgroundSortTest, ALongGroupRowArrivesSortedFromAWorkerWhileTheViewKeepsAnswering) {
    constexpr uint32_t kFiles = 400000;
    TreeBuilder b("/big");
    for (uint32_t i = 0; i < kFiles; ++i) {
        const uint32_t k = uint32_t(uint64_t(i) * 7919u % kFiles);
        // Each digit after a long shared stretch: names rank one digit per pass.
        std::string name = "Screenshot";
        for (uint32_t digits = k, d = 0; d < 6; ++d, digits /= 10)
            name += " from 2024-05-01 " + std::to_string(digits % 10);
        b.add(0, {name, 0, k % 1000, (k % 1000) * 4096});
    }
    const auto tree = b.finish();
    const uint32_t n = tree->nodeCount;
    // On one thread the sort takes long enough to tell a freeze from a worker.
    svl::ScopedHardwareThreads pinned(1);
    QElapsedTimer clock;
    clock.start();
    {
        NodeModel reference;
        reference.setTree(tree);
        ASSERT_EQ(reference.childOrder(n).size(), kFiles);
    }
    const double sortMs = double(clock.elapsed());

    NodeModel model;
    model.setTree(tree);
    FolderTreeView view;
    view.setUniformRowHeights(true);
    view.setModel(&model);
    view.resize(800, 600);
    view.show();
    view.expand(model.index(0, 0));
    const QModelIndex group = model.indexForId(n);
    ASSERT_EQ(model.data(group).toString(), "[400,000 Files in /big]");
    QSignalSpy busy(&model, &NodeModel::backgroundSortChanged);

    using Clock = std::chrono::steady_clock;
    Clock::time_point last = Clock::now();
    double longestGap = 0;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        const Clock::time_point now = Clock::now();
        longestGap = std::max(longestGap, std::chrono::duration<double, std::milli>(now - last).count());
        last = now;
    });
    ticker.start(2);
    view.expand(group);
    EXPECT_TRUE(QTest::qWaitFor([&] { return model.rowCount(group) == int(kFiles); }, 120000));
    QTest::qWait(20);  // the layout after the rows came in
    ticker.stop();
    // A freeze lasts as long as the sort; the view may still lay out the rows in one go.
    EXPECT_LT(longestGap, sortMs / 2) << "sorting alone takes " << sortMs << " ms";
    EXPECT_TRUE(view.isExpanded(group));
    ASSERT_EQ(busy.count(), 2);
    EXPECT_TRUE(busy[0][0].toBool());
    EXPECT_FALSE(busy[1][0].toBool());

    // Allocated descending, then names ascending ignoring case, then ids.
    uint32_t previous = uint32_t(model.index(0, 0, group).internalId());
    for (int row = 1; row < int(kFiles); ++row) {
        const uint32_t id = uint32_t(model.index(row, 0, group).internalId());
        const svl::ScanNode& p = tree->node(previous);
        const svl::ScanNode& q = tree->node(id);
        const int names = compareNamesAscii(p.nameView(), q.nameView());
        ASSERT_TRUE(p.allocated != q.allocated ? p.allocated > q.allocated : names != 0 ? names < 0 : previous < id)
            << "row " << row;
        previous = id;
    }

    // A result sorted in an old order is dropped and the list sorted again; one for an old
    // tree is dropped.
    NodeModel again;
    again.setTree(tree);
    view.setModel(&again);
    view.expand(again.index(0, 0));
    view.expand(again.indexForId(n));
    ASSERT_TRUE(again.sortingInBackground());
    again.sort(NodeModel::FolderColumn, Qt::DescendingOrder);
    const QModelIndex regrouped = again.indexForId(n);
    EXPECT_TRUE(QTest::qWaitFor([&] { return again.rowCount(regrouped) == int(kFiles); }, 120000));
    const auto nameAt = [&](int row) { return tree->node(uint32_t(again.index(row, 0, regrouped).internalId())).nameView(); };
    for (int row = 1; row < 1000; ++row)
        ASSERT_GT(compareNamesAscii(nameAt(row - 1), nameAt(row)), 0) << row;
    again.setTree(tree);
    view.expand(again.index(0, 0));
    view.expand(again.indexForId(n));
    ASSERT_TRUE(again.sortingInBackground());
    QSignalSpy inserted(&again, &QAbstractItemModel::rowsInserted);
    again.setTree(nullptr);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !again.sortingInBackground(); }, 120000));
    QTest::qWait(20);
    EXPECT_EQ(inserted.count(), 0);
    EXPECT_EQ(again.rowCount(), 0);
}

}  // namespace
