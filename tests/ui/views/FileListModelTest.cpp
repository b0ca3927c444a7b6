#include "ui/views/FileListModel.h"

#include "app/ListFont.h"
#include "app/ValueFormat.h"
#include "core/analysis/Duplicates.h"
#include "core/tree/ScanTree.h"
#include "tests/ui/views/FileViewTestSupport.h"
#include "ui/views/DimmedTextColor.h"
#include "ui/views/FileUrlList.h"
#include "ui/views/ItemRoles.h"

#include <QMimeData>
#include <QSignalSpy>
#include <QUrl>

namespace {

QString text(const FileListModel& model, int row, int column, const QModelIndex& parent = {}) {
    return model.index(row, column, parent).data().toString();
}

std::shared_ptr<const svl::DuplicateIndex> duplicatesOf(const svl::ScanTree& tree) {
    return std::make_shared<svl::DuplicateIndex>(
        svl::detectDuplicates(tree, svl::DuplicateMethod::NameSizeDate, nullptr, 0));
}

class FileListModelFixture : public ::testing::Test {
protected:
    void SetUp() override { treemaptest::clearSettings(); }
};

}  // namespace

TEST_F(FileListModelFixture, RowsColumnsAndDuplicateChildren) {
    const auto tree = fileviewtest::sampleTree();
    tree->node(5).flags |= svl::NodeFlag::ExtraHardLink;
    tree->node(5).allocated = 4096;
    FileListModel model;
    model.setResult(tree, {6, 3, 5}, duplicatesOf(*tree));

    ASSERT_EQ(model.rowCount(), 3);
    EXPECT_EQ(text(model, 0, 0), QStringLiteral("copy.bin"));
    EXPECT_EQ(text(model, 0, 1), QStringLiteral("/data/docs/copy.bin"));
    EXPECT_EQ(text(model, 0, 2), QStringLiteral("35.0%"));  // 500 of 1430
    EXPECT_EQ(text(model, 0, 3), formatSize(500));
    EXPECT_EQ(text(model, 0, 7), QStringLiteral("1"));
    EXPECT_EQ(text(model, 0, 8), formatSize(500));
    EXPECT_EQ(text(model, 1, 7), QStringLiteral("0")) << "in no group while an index exists";
    EXPECT_EQ(text(model, 1, 8), formatSize(0));
    EXPECT_EQ(text(model, 2, 4), QStringLiteral("(%1)").arg(formatSize(4096)));
    EXPECT_EQ(model.index(2, 4).data(Qt::ForegroundRole).value<QColor>(), dimmedTextColor());
    // A date never read is an empty cell; a date of 0 that was read is shown.
    tree->node(3).modified = tree->node(6).modified = 0;
    tree->node(3).flags |= svl::NodeFlag::Unreadable;
    EXPECT_TRUE(text(model, 1, FileListModel::ModifiedColumn).isEmpty());
    EXPECT_FALSE(text(model, 0, FileListModel::ModifiedColumn).isEmpty());

    const QModelIndex first = model.index(0, 0);
    EXPECT_TRUE(model.hasChildren(first));
    EXPECT_FALSE(model.hasChildren(model.index(1, 0)));
    EXPECT_EQ(model.rowCount(model.index(0, 1)), 0) << "only column 0 has children";
    ASSERT_EQ(model.rowCount(first), 1);
    const QModelIndex child = model.index(0, 0, first);
    EXPECT_EQ(model.nodeId(child), 8u);
    EXPECT_EQ(model.parent(child), first);
    EXPECT_EQ(text(model, 0, 1, first), QStringLiteral("/data/pics/copy.bin"));
    EXPECT_TRUE(text(model, 0, 7, first).isEmpty()) << "child rows show no duplicate figures";
    EXPECT_EQ(model.index(0, 2, first).data(BarLevelRole).toInt(), 1);
    EXPECT_EQ(model.index(0, 2).data(BarLevelRole).toInt(), 0);
    EXPECT_FALSE(model.index(1, 0, first).isValid());
    EXPECT_EQ(model.headerData(0, Qt::Horizontal, Qt::InitialSortOrderRole).toInt(), Qt::AscendingOrder);
    EXPECT_EQ(model.headerData(3, Qt::Horizontal, Qt::InitialSortOrderRole).toInt(), Qt::DescendingOrder);

    // Without an index: no children and empty duplicate columns.
    model.setResult(tree, {6, 3}, nullptr);
    EXPECT_FALSE(model.hasChildren(model.index(0, 0)));
    EXPECT_TRUE(text(model, 0, 7).isEmpty());
    EXPECT_TRUE(text(model, 0, 8).isEmpty());

    // Nothing installed: nothing answers.
    model.setResult(nullptr, {}, nullptr);
    EXPECT_EQ(model.rowCount(), 0);
    EXPECT_FALSE(model.index(0, 0).isValid());
}

TEST_F(FileListModelFixture, EditingDraggingAndRemovedRows) {
    const auto tree = fileviewtest::sampleTree();
    ASSERT_TRUE(tree->markRemoved(7));
    FileListModel model;
    model.setResult(tree, {0, 7, 4, 3}, nullptr);
    EXPECT_FALSE(model.flags(model.index(2, 0)) & Qt::ItemIsEditable) << "no rename handler yet";

    std::vector<std::pair<uint32_t, QString>> calls;
    int edits = 0;
    bool accept = true;
    model.setRenameHandler([&](uint32_t id, const QString& name) {
        calls.emplace_back(id, name);
        return accept;
    });
    model.setBeforeTreeEdit([&] { ++edits; });
    EXPECT_FALSE(model.flags(model.index(0, 0)) & Qt::ItemIsEditable) << "the root";
    EXPECT_FALSE(model.flags(model.index(1, 0)) & Qt::ItemIsEditable) << "a removed node";
    EXPECT_TRUE(model.flags(model.index(1, 0)) & Qt::ItemIsDragEnabled);
    EXPECT_TRUE(model.flags(model.index(2, 0)) & Qt::ItemIsEditable);
    EXPECT_FALSE(model.flags(model.index(2, 1)) & Qt::ItemIsEditable);
    model.setRenameEnabled(false);
    EXPECT_FALSE(model.flags(model.index(2, 0)) & Qt::ItemIsEditable);

    QSignalSpy changed(&model, &FileListModel::dataChanged);
    EXPECT_TRUE(model.setData(model.index(2, 0), QStringLiteral("b.txt")));
    EXPECT_EQ(calls.back(), std::make_pair(4u, QStringLiteral("b.txt")));
    EXPECT_EQ(edits, 1) << "searches are stopped before the tree changes";
    ASSERT_EQ(changed.count(), 1);
    EXPECT_EQ(changed.at(0).at(1).toModelIndex().column(), 8);
    accept = false;
    EXPECT_FALSE(model.setData(model.index(2, 0), QStringLiteral("c.txt")));
    EXPECT_FALSE(model.setData(model.index(0, 0), QStringLiteral("root")));
    EXPECT_FALSE(model.setData(model.index(2, 1), QStringLiteral("x")));
    EXPECT_EQ(changed.count(), 1);

    EXPECT_EQ(model.index(1, 3).data(Qt::ForegroundRole).value<QColor>(), QColor(Qt::red));
    EXPECT_TRUE(model.index(1, 0).data(Qt::FontRole).value<QFont>().strikeOut());
    // Shares of the root's reduced size: none for the removed row, none above 100%.
    EXPECT_TRUE(text(model, 1, 2).isEmpty());
    EXPECT_EQ(text(model, 0, 2), formatPercent(100.0));
    EXPECT_EQ(text(model, 2, 2), formatPercent(10.0 * 100 / 1130));
    tree->node(0).size = 5;
    EXPECT_EQ(text(model, 2, 2), formatPercent(100.0));
    tree->node(0).size = 1130;

    // Whole rows selected: one URL per row, naming a name that is not UTF-8 by its bytes.
    const std::string latin1 = "/data/r\xE9port.txt";
    ASSERT_TRUE(tree->rename(3, latin1.data() + 6, latin1.size() - 6));
    QModelIndexList indexes;
    for (int column = 0; column < FileListModel::ColumnCount; ++column)
        indexes << model.index(2, column) << model.index(3, column);
    std::unique_ptr<QMimeData> mime(model.mimeData(indexes));
    ASSERT_TRUE(mime);
    const QList<QUrl> urls = mime->urls();
    ASSERT_EQ(urls.size(), 2);
    EXPECT_EQ(urls[0], QUrl::fromLocalFile(QStringLiteral("/data/docs/a.txt")));
    EXPECT_EQ(QByteArray::fromPercentEncoding(urls[1].path(QUrl::FullyEncoded).toLatin1()),
              QByteArray::fromStdString(latin1));
    EXPECT_FALSE(model.mimeData({model.index(2, 3)}));
    // Files share their folder's URL: each line is still the URL of the node's own path, for
    // a root named "/" and for whole-path tops under a virtual root as well.
    for (const std::string root : {"/data", "/", "virtual"}) {
        if (root == "virtual") {
            tree->node(0).flags |= svl::NodeFlag::VirtualRoot;
            ASSERT_TRUE(tree->rename(1, "/m/docs", 7));
        } else {
            ASSERT_TRUE(tree->rename(0, root.data(), root.size()));
        }
        // Past 16,384 ids the list is built in blocks on several threads.
        std::vector<uint32_t> all{4, 1, 0, 5, 3, 8, 2, 6};
        for (size_t i = 0; i < 2 * 16384 + 2; ++i)
            all.push_back(all[i]);
        std::unique_ptr<QMimeData> each(fileUrlMimeData(*tree, all));
        QByteArray expected;
        for (uint32_t id : all)
            if (const std::string path = tree->fullPath(id); !path.empty())
                expected += fileUrlOf(path) + "\r\n";
        ASSERT_TRUE(each) << root;
        EXPECT_EQ(each->data(QStringLiteral("text/uri-list")), expected) << root;
        // A drag's list stopped before its build ended is built when asked for.
        FileUrlMimeData stopped(tree, all);
        stopped.stopBuilding();
        EXPECT_EQ(stopped.data(QStringLiteral("text/uri-list")), expected) << root;
    }

    model.setSortColumn(3);
    EXPECT_TRUE(model.headerData(3, Qt::Horizontal, Qt::FontRole).value<QFont>().bold());
    EXPECT_FALSE(model.headerData(4, Qt::Horizontal, Qt::FontRole).isValid());
}

TEST_F(FileListModelFixture, ZeroRootAndLargeGroups) {
    treemaptest::TreeBuilder b("/empty");
    constexpr uint32_t kMembers = 10000;
    for (uint32_t i = 0; i < kMembers; ++i)
        b.file(0, "same", 0);
    const auto tree = b.finish();
    auto index = std::make_shared<svl::DuplicateIndex>();
    index->groupOf.assign(tree->nodeCount, svl::DuplicateIndex::kNoGroup);
    index->groups.emplace_back();
    for (uint32_t id = kMembers; id >= 1; --id) {  // not in id order
        index->groups[0].push_back(id);
        index->groupOf[id] = 0;
    }
    FileListModel model;
    const uint32_t listed = 4000;
    model.setResult(tree, {listed, 1}, index);
    EXPECT_EQ(text(model, 0, 2), QStringLiteral("0.0%"));

    const QModelIndex parent = model.index(0, 0);
    ASSERT_EQ(model.rowCount(parent), int(kMembers - 1));
    std::vector<uint32_t> members;
    for (int c = 0; c < model.rowCount(parent); ++c)
        members.push_back(model.nodeId(model.index(c, 0, parent)));
    std::vector<uint32_t> expected = index->groups[0];
    std::erase(expected, listed);
    EXPECT_EQ(members, expected);
    EXPECT_EQ(text(model, 1, 7), formatNumber(kMembers - 1));
}
