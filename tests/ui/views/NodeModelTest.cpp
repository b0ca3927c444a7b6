// The folder tree model over real in-memory trees: structure (single root, several
// roots, empty trees, 100,000 levels), file-group rows, cell texts and colours, the
// model tester through sorts and grouping changes, and renaming and dragging.
#include "tests/ui/views/NodeModelTestSupport.h"

#include "app/ListFont.h"
#include "app/TextMetrics.h"
#include "app/ValueFormat.h"
#include "ui/views/DimmedTextColor.h"
#include "ui/views/ItemRoles.h"

#include <QFont>
#include <QIcon>
#include <QMimeData>
#include <QPalette>
#include <QSignalSpy>
#include <QUrl>

namespace {

using nodemodeltest::childNames;
using nodemodeltest::NodeSpec;
using nodemodeltest::text;
using nodemodeltest::TreeBuilder;

// /r with a folder of four files, an empty-allocation folder, and one file of each kind.
struct CellTree {
    CellTree() {
        TreeBuilder b("/r");
        a = b.folder(0, "a", 50);
        zeroFolder = b.folder(0, "b");
        hidden = b.file(0, ".hidden", 100);
        compressed = b.add(0, {"comp", svl::NodeFlag::Compressed, 300, 300});
        link = b.add(0, {"link", svl::NodeFlag::ExtraHardLink, 400, 400});
        gone = b.file(0, "gone", 50);
        denied = b.add(0, {"denied", svl::NodeFlag::Folder | svl::NodeFlag::AccessDenied});
        bind = b.add(0, {"bind", svl::NodeFlag::Folder | svl::NodeFlag::BindMount});
        unlistedBind = b.add(0, {"bind2", svl::NodeFlag::Folder | svl::NodeFlag::BindMount});
        x = b.file(a, "x", 1000, 100);
        for (const auto& [name, size] : {std::pair{"y", 2000}, {"z", 3000}, {"w", 4000}})
            b.file(a, name, size, size / 10);
        zero = b.file(zeroFolder, "zero", 0);
        tree = b.finish();
        EXPECT_TRUE(tree->markRemoved(gone));
        tree->bindSources[bind] = "/srv/data";
    }
    std::shared_ptr<svl::ScanTree> tree;
    uint32_t a, zeroFolder, hidden, compressed, link, gone, denied, bind, unlistedBind, x, zero;
};

class NodeModelTest : public ::testing::Test {
protected:
    void SetUp() override { AppSettings::instance()->settings()->clear(); }
    NodeModel model;
};

TEST_F(NodeModelTest, CellsShowSharesTotalsAndMarks) {
    CellTree t;
    model.setFileGroupMinSize(0);
    model.setTree(t.tree);
    const QModelIndex root = model.index(0, 0);
    ASSERT_EQ(model.rowCount(), 1);
    EXPECT_EQ(text(model, root, 1), "100.0%");
    EXPECT_EQ(model.pathOf(t.x), "/r/a/x");

    const QModelIndex x = model.indexForId(t.x);
    EXPECT_EQ(text(model, x, 0), "x");
    EXPECT_EQ(text(model, x, 1), "10.0%");
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    EXPECT_EQ(text(model, root, 1), "100,0%");
    EXPECT_EQ(text(model, x, 1), "10,0%");
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    EXPECT_EQ(text(model, x, 2), formatSize(1000));
    for (int column : {4, 5, 6})
        EXPECT_FALSE(model.data(x.siblingAtColumn(column)).isValid()) << "file rows have no counts";
    EXPECT_EQ(model.data(x.siblingAtColumn(1), BarLevelRole).toInt(), 2);
    EXPECT_EQ(model.data(root.siblingAtColumn(1), BarLevelRole).toInt(), 0);

    const QModelIndex a = model.indexForId(t.a);
    EXPECT_EQ(text(model, a, 4), "4");
    EXPECT_EQ(text(model, a, 5), "4");
    EXPECT_EQ(text(model, a, 6), "0");
    EXPECT_EQ(text(model, root, 6), "5");
    // A folder's Modified shows the newest time below it unless switched off.
    EXPECT_EQ(text(model, a, 7), formatDateTime(400));
    model.showMaxModifiedDate = false;
    EXPECT_EQ(text(model, a, 7), formatDateTime(50));
    model.showMaxModifiedDate = true;

    EXPECT_EQ(text(model, model.indexForId(t.zero), 1), "0.0%") << "parent of allocation 0";

    // A further hard link: its share of the parent is what the parent counts for it, 0.
    const QModelIndex link = model.indexForId(t.link);
    EXPECT_EQ(text(model, link, 1), "0.0%");
    EXPECT_EQ(text(model, link, 3), "(" + formatSize(400) + ")");
    EXPECT_EQ(model.data(link.siblingAtColumn(3), Qt::ForegroundRole).value<QColor>(), dimmedTextColor());

    // Removed: no share, red and struck out in every column.
    const QModelIndex gone = model.indexForId(t.gone);
    EXPECT_EQ(text(model, gone, 1), "0.0%");
    for (int column = 0; column < 9; ++column) {
        EXPECT_EQ(model.data(gone.siblingAtColumn(column), Qt::ForegroundRole).value<QColor>(), QColor(Qt::red));
        EXPECT_TRUE(model.data(gone.siblingAtColumn(column), Qt::FontRole).value<QFont>().strikeOut());
    }

    // Hidden (a dot name) dimmed, compressed coloured, both in the name column only.
    const QModelIndex hidden = model.indexForId(t.hidden);
    EXPECT_EQ(model.data(hidden, Qt::ForegroundRole).value<QColor>(), dimmedTextColor());
    EXPECT_FALSE(model.data(hidden.siblingAtColumn(2), Qt::ForegroundRole).isValid());
    EXPECT_EQ(text(model, hidden, 8), "H");
    const QModelIndex compressed = model.indexForId(t.compressed);
    EXPECT_EQ(model.data(compressed, Qt::ForegroundRole).value<QColor>(), QGuiApplication::palette().color(QPalette::Highlight));
    EXPECT_FALSE(model.data(x, Qt::ForegroundRole).isValid());

    const auto icon = [&](uint32_t id) { return model.data(model.indexForId(id), Qt::DecorationRole).value<QIcon>().cacheKey(); };
    EXPECT_NE(icon(t.denied), icon(t.a));
    EXPECT_NE(icon(t.x), icon(t.a));
    EXPECT_EQ(icon(t.zeroFolder), icon(t.a));

    // Bind mounts: the note and long tip only when the source is known.
    const QModelIndex bind = model.indexForId(t.bind);
    EXPECT_EQ(model.data(bind, NoteRole).toString(), "(>>/srv/data)");
    EXPECT_EQ(model.data(bind, Qt::ToolTipRole).toString(),
              "/r/bind\n\nA bind mount of /srv/data, which is counted elsewhere in this scan. Its contents are not "
              "counted again here.");
    const QModelIndex other = model.indexForId(t.unlistedBind);
    EXPECT_FALSE(model.data(other, NoteRole).isValid());
    EXPECT_TRUE(model.data(other, Qt::ToolTipRole).toString().endsWith("A bind mount of a folder that is counted "
                                                                       "elsewhere in this scan. Its contents are not "
                                                                       "counted again here."));
    EXPECT_EQ(model.data(x, Qt::ToolTipRole).toString(), "/r/a/x");
    EXPECT_EQ(model.data(x, Qt::EditRole).toString(), "x");
    EXPECT_FALSE(model.data(x.siblingAtColumn(2), Qt::EditRole).isValid());
    EXPECT_EQ(model.data(x.siblingAtColumn(7), Qt::TextAlignmentRole).toInt(), int(Qt::AlignLeft | Qt::AlignVCenter));
    EXPECT_EQ(model.data(x.siblingAtColumn(2), Qt::TextAlignmentRole).toInt(), int(Qt::AlignRight | Qt::AlignVCenter));
}

TEST_F(NodeModelTest, HeaderNamesColumnsAndMarksTheSortColumn) {
    const QStringList titles = {"Folder", "% of Parent", "Size", "Allocated", "Items", "Files", "Folders", "Modified",
                                "Attr."};
    for (int section = 0; section < 9; ++section) {
        EXPECT_EQ(model.headerData(section, Qt::Horizontal).toString(), titles[section]);
        EXPECT_EQ(model.headerData(section, Qt::Horizontal, Qt::TextAlignmentRole).toInt(),
                  int(Qt::AlignLeft | Qt::AlignVCenter));
        EXPECT_EQ(model.headerData(section, Qt::Horizontal, Qt::InitialSortOrderRole).toInt(), section == 0 ? 0 : 1);
    }
    EXPECT_EQ(model.headerData(3, Qt::Horizontal, Qt::FontRole).value<QFont>(), smallerFont(true));
    EXPECT_FALSE(model.headerData(0, Qt::Horizontal, Qt::FontRole).isValid());
    EXPECT_FALSE(model.headerData(0, Qt::Vertical).isValid());
    QSignalSpy header(&model, &QAbstractItemModel::headerDataChanged);
    model.sort(0, Qt::AscendingOrder);
    EXPECT_EQ(header.count(), 1);
    EXPECT_TRUE(model.headerData(0, Qt::Horizontal, Qt::FontRole).isValid());
}

// /g: a subfolder of three files, four loose files (one removed, one a further hard
// link), a folder with one file and a folder of four empty files.
struct GroupTree {
    GroupTree() {
        TreeBuilder b("/g");
        sub = b.folder(0, "sub");
        one = b.folder(0, "one");
        zeros = b.folder(0, "zeros");
        f1 = b.file(0, "f1", 10, 5);
        b.file(0, "f2", 20, 7);
        removed = b.file(0, "f3", 30, 9);
        b.add(0, {"f4", svl::NodeFlag::ExtraHardLink, 40, 40, 3});
        for (int i = 1; i <= 3; ++i)
            b.file(sub, "s" + std::to_string(i), uint64_t(i));
        b.file(one, "single", 1);
        for (int i = 1; i <= 4; ++i)
            b.file(zeros, "e" + std::to_string(i), 0);
        tree = b.finish();
        EXPECT_TRUE(tree->markRemoved(removed));
    }
    std::shared_ptr<svl::ScanTree> tree;
    uint32_t sub, one, zeros, f1, removed;
};

TEST_F(NodeModelTest, LooseFilesGatherUnderAGroupRowFromTheMinimumOn) {
    GroupTree t;
    model.setTree(t.tree);
    const uint32_t n = t.tree->nodeCount;
    const QModelIndex root = model.index(0, 0);
    ASSERT_EQ(model.rowCount(root), 4) << "three folders and the group row";
    const QModelIndex group = model.indexForId(n + 0);
    ASSERT_TRUE(group.isValid());
    EXPECT_EQ(model.parent(group), root);
    EXPECT_EQ(text(model, group, 0), "[3 Files in /g]") << "the removed file is gone";
    EXPECT_EQ(model.pathOf(n + 0), "[3 Files in /g]");
    EXPECT_EQ(text(model, group, 0, Qt::ToolTipRole), "[3 Files in /g]");
    EXPECT_EQ(text(model, group, 2), formatSize(70)) << "removed file not in the size";
    EXPECT_EQ(text(model, group, 3), formatSize(30)) << "nor the hard link in the allocation";
    EXPECT_EQ(text(model, group, 4), "3");
    EXPECT_EQ(text(model, group, 5), "3");
    EXPECT_EQ(text(model, group, 6), "0");
    EXPECT_EQ(text(model, group, 7), formatDateTime(9));
    EXPECT_FALSE(model.data(group.siblingAtColumn(8)).isValid());
    // Root allocation after the removal: 6 in sub, 1 in one, 10 + 20 loose.
    EXPECT_EQ(text(model, group, 1), "81.1%");
    EXPECT_EQ(model.data(group.siblingAtColumn(1), BarLevelRole).toInt(), 1);
    EXPECT_FALSE(model.data(group, Qt::EditRole).isValid());
    EXPECT_FALSE(model.data(group, Qt::ForegroundRole).isValid());

    EXPECT_EQ(model.rowCount(group), 4) << "the removed file stays listed";
    EXPECT_EQ(model.parentId(t.f1), n + 0);
    EXPECT_EQ(model.parent(model.indexForId(t.f1)), group);
    EXPECT_EQ(model.rowCount(model.indexForId(t.sub)), 3) << "three files stay plain";
    EXPECT_EQ(text(model, model.indexForId(n + t.zeros), 1), "0.0%");
    EXPECT_FALSE(model.indexForId(n + t.sub).isValid()) << "no group row, no index";

    QSignalSpy resets(&model, &QAbstractItemModel::modelReset);
    model.setFileGroupMinSize(4);
    EXPECT_EQ(resets.count(), 0);

    model.setFileGroupMinSize(1);
    EXPECT_EQ(resets.count(), 1);
    EXPECT_EQ(text(model, model.indexForId(n + t.one), 0), "[1 File in /g/one]");
    EXPECT_EQ(text(model, model.indexForId(n + t.sub), 0), "[3 Files in /g/sub]");

    // The owner renames in the tree and empties the cache: the label follows.
    ASSERT_TRUE(t.tree->rename(t.sub, "sub2", 4));
    EXPECT_EQ(text(model, model.indexForId(n + t.sub), 0), "[3 Files in /g/sub]") << "cached until cleared";
    model.clearGroupCache();
    EXPECT_EQ(text(model, model.indexForId(n + t.sub), 0), "[3 Files in /g/sub2]");

    for (int off : {0, -3}) {
        model.setFileGroupMinSize(off);
        EXPECT_EQ(model.fileGroupMinSize(), 0);
        EXPECT_EQ(model.rowCount(model.index(0, 0)), 7);
        EXPECT_FALSE(model.indexForId(n + 0).isValid());
    }
}

TEST_F(NodeModelTest, SeveralRootsAreTopLevelRowsAndEmptyTreesShowNothing) {
    TreeBuilder b("", svl::NodeFlag::VirtualRoot);
    const uint32_t m1 = b.folder(0, "/m1");
    const uint32_t m2 = b.folder(0, "/m2");
    const uint32_t inM1 = b.file(m1, "f", 5);
    b.file(m2, "g", 15);
    model.setTree(b.finish());
    const uint32_t n = model.tree()->nodeCount;

    EXPECT_EQ(model.rowCount(), 2);
    EXPECT_FALSE(model.index(2, 0).isValid());
    const QModelIndex first = model.indexForId(m1);
    EXPECT_FALSE(model.parent(first).isValid());
    EXPECT_EQ(model.data(first.siblingAtColumn(1), BarLevelRole).toInt(), 0);
    EXPECT_EQ(model.data(model.indexForId(inM1).siblingAtColumn(1), BarLevelRole).toInt(), 1);
    EXPECT_EQ(model.pathOf(inM1), "/m1/f");
    // Each top shows its whole path, the rows below their names.
    EXPECT_TRUE(model.data(first, HoldsPathRole).toBool());
    EXPECT_FALSE(model.data(model.indexForId(inM1), HoldsPathRole).toBool());
    EXPECT_FALSE(model.indexForId(0).isValid());
    EXPECT_FALSE(model.indexForId(2 * n).isValid());
    EXPECT_TRUE(model.indexForId(m2).isValid());

    auto empty = std::make_shared<svl::ScanTree>();
    empty->finishNodeCount();
    model.setTree(empty);
    EXPECT_EQ(model.rowCount(), 0);
    EXPECT_FALSE(model.index(0, 0).isValid());
    EXPECT_FALSE(model.indexForId(0).isValid());
    model.setTree(nullptr);
    EXPECT_EQ(model.rowCount(), 0);
    EXPECT_TRUE(model.pathOf(0).isNull());
    EXPECT_EQ(model.mimeData({}), nullptr);
}

TEST_F(NodeModelTest, ModelTesterFindsNothingThroughSortsAndGroupingChanges) {
    GroupTree grouped;
    CellTree cells;
    TreeBuilder multi("", svl::NodeFlag::VirtualRoot);
    const uint32_t m1 = multi.folder(0, "/m1");
    multi.folder(0, "/m2");
    for (int i = 0; i < 5; ++i)
        multi.file(m1, "f" + std::to_string(i), uint64_t(10 * i));
    auto empty = std::make_shared<svl::ScanTree>();
    empty->finishNodeCount();
    TreeBuilder single("/only");
    const std::shared_ptr<svl::ScanTree> trees[] = {grouped.tree, cells.tree, multi.finish(), empty, nullptr,
                                                    single.finish()};

    nodemodeltest::ModelTesterComplaints complaints;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Warning);
    for (const auto& tree : trees) {
        model.setTree(tree);
        for (int minimum : {0, 1, 4}) {
            model.setFileGroupMinSize(minimum);
            for (int column = 0; column < 9; ++column)
                for (Qt::SortOrder order : {Qt::AscendingOrder, Qt::DescendingOrder})
                    model.sort(column, order);
        }
    }
    EXPECT_TRUE(complaints.list().isEmpty()) << complaints.list().join("\n").toStdString();
}

TEST_F(NodeModelTest, TreesOneHundredThousandLevelsDeepNeedNoRecursion) {
    constexpr uint32_t kDepth = 100000;
    TreeBuilder b("/deep");
    uint32_t at = 0;
    for (uint32_t level = 0; level < kDepth; ++level)
        at = b.folder(at, "d");
    const uint32_t leaf = b.file(at, "leaf", 7);
    model.setTree(b.finish());

    QModelIndex index = model.indexForId(leaf);
    ASSERT_TRUE(index.isValid());
    EXPECT_EQ(model.data(index.siblingAtColumn(1), BarLevelRole).toInt(), int(kDepth) + 1);
    EXPECT_EQ(model.pathOf(leaf).size(), qsizetype(5 + 2 * kDepth + 5));
    uint32_t steps = 0;
    while (index.isValid()) {
        index = model.parent(index);
        ++steps;
    }
    EXPECT_EQ(steps, kDepth + 2) << "the folders, the root, then the invalid index";
    model.sort(2, Qt::AscendingOrder);
    EXPECT_TRUE(model.indexForId(leaf).isValid());
}

TEST_F(NodeModelTest, RenamesGoThroughTheHandlerAndOnlyRealNodesAreEditable) {
    GroupTree t;
    const uint32_t n = t.tree->nodeCount;
    model.setTree(t.tree);
    std::vector<std::pair<uint32_t, QString>> calls;
    bool accept = true;
    const QModelIndex sub = model.indexForId(t.sub);
    EXPECT_FALSE(model.flags(sub) & Qt::ItemIsEditable) << "no handler yet";
    model.renameHandler = [&](uint32_t id, const QString& name) {
        calls.emplace_back(id, name);
        if (accept) {
            const QByteArray bytes = name.toUtf8();
            EXPECT_TRUE(model.tree()->rename(id, bytes.constData(), size_t(bytes.size())));
        }
        return accept;
    };

    EXPECT_TRUE(model.flags(sub) & Qt::ItemIsEditable);
    EXPECT_TRUE(model.flags(sub) & Qt::ItemIsDragEnabled);
    EXPECT_FALSE(model.flags(sub.siblingAtColumn(2)) & Qt::ItemIsEditable);
    EXPECT_FALSE(model.flags(model.index(0, 0)) & Qt::ItemIsEditable) << "the root";
    const QModelIndex group = model.indexForId(n + 0);
    EXPECT_EQ(model.flags(group), Qt::ItemIsSelectable | Qt::ItemIsEnabled);
    const QModelIndex removed = model.indexForId(t.removed);
    EXPECT_FALSE(model.flags(removed) & Qt::ItemIsEditable);
    EXPECT_TRUE(model.flags(removed) & Qt::ItemIsDragEnabled);

    // Refused: nothing changes, nothing is announced.
    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
    accept = false;
    EXPECT_FALSE(model.setData(sub, "nope"));
    EXPECT_EQ(changed.count(), 0);
    EXPECT_EQ(text(model, sub, 0), "sub");
    EXPECT_FALSE(model.setData(model.index(0, 0), "root"));
    EXPECT_FALSE(model.setData(group, "group"));
    EXPECT_FALSE(model.setData(sub.siblingAtColumn(2), "size"));
    EXPECT_EQ(calls.size(), 1u);

    // Accepted: the whole row is refreshed and group labels are rebuilt.
    accept = true;
    model.setFileGroupMinSize(1);
    const QModelIndex renamed = model.indexForId(t.sub);
    EXPECT_EQ(model.pathOf(n + t.sub), "[3 Files in /g/sub]");
    model.renameEnabled = false;
    EXPECT_FALSE(model.flags(renamed) & Qt::ItemIsEditable);
    EXPECT_TRUE(model.setData(renamed, "fresh")) << "only the flags look at the switch";
    ASSERT_EQ(changed.count(), 1);
    EXPECT_EQ(changed[0][0].value<QModelIndex>(), renamed);
    EXPECT_EQ(changed[0][1].value<QModelIndex>(), renamed.siblingAtColumn(8));
    EXPECT_TRUE(changed[0][2].value<QList<int>>().isEmpty());
    EXPECT_EQ(calls.back(), std::make_pair(t.sub, QString("fresh")));
    EXPECT_EQ(text(model, renamed, 0), "fresh");
    EXPECT_EQ(model.pathOf(n + t.sub), "[3 Files in /g/fresh]");
}

TEST_F(NodeModelTest, DraggedRowsLeaveAsFileUrlsOncePerRow) {
    GroupTree t;
    const uint32_t n = t.tree->nodeCount;
    const std::string latin1 = "/g/b\xE9 100%25";  // not UTF-8: the URL must name these very bytes
    ASSERT_TRUE(t.tree->rename(t.one, latin1.data() + 3, latin1.size() - 3));
    model.setTree(t.tree);
    EXPECT_EQ(model.mimeTypes(), QStringList{"text/uri-list"});
    QModelIndexList selection;
    for (uint32_t id : {t.one, n + 0, t.sub, t.removed})
        for (int column = 0; column < 9; ++column)
            selection.append(model.indexForId(id).siblingAtColumn(column));
    std::unique_ptr<QMimeData> mime(model.mimeData(selection));
    ASSERT_TRUE(mime);
    const QList<QUrl> urls = mime->urls();
    ASSERT_EQ(urls.size(), 3);
    EXPECT_EQ(QByteArray::fromPercentEncoding(urls[0].path(QUrl::FullyEncoded).toLatin1()),
              QByteArray::fromStdString(latin1));
    EXPECT_EQ(urls.mid(1), (QList<QUrl>{QUrl::fromLocalFile("/g/sub"), QUrl::fromLocalFile("/g/f3")}));
    EXPECT_EQ(model.mimeData({model.indexForId(n + 0), model.indexForId(t.sub).siblingAtColumn(3)}), nullptr);
}

}  // namespace
