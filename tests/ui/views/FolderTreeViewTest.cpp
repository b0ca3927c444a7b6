// A real scanned folder in a tree view set up as the main window sets it up: delegates,
// list font, sorting by header clicks, F2 rename through a handler that renames on disk,
// Select All, the selected rows as the window reads them, and dragging rows out as URLs of
// files that exist.
#include "tests/ui/views/NodeModelTestSupport.h"

#include "app/ListFont.h"
#include "core/scan/ScanDriver.h"
#include "ui/views/FileUrlList.h"
#include "ui/views/BindNoteDelegate.h"
#include "ui/views/FolderTreeView.h"
#include "ui/views/PercentBarDelegate.h"
#include "ui/views/RowDrag.h"
#include "ui/views/RowHeightDelegate.h"

#include <QDir>
#include <QDrag>
#include <QItemSelectionModel>
#include <QMouseEvent>
#include <QFileInfo>
#include <QHeaderView>
#include <QLineEdit>
#include <QMimeData>
#include <QSignalSpy>
#include <QTest>
#include <QTreeView>
#include <QUrl>

#include <cstdio>
#include <random>

namespace {

using nodemodeltest::childNames;

class FolderTreeViewTest : public ::testing::Test {
protected:
    void SetUp() override {
        AppSettings::instance()->settings()->clear();
        for (const char* folder : {"docs", "pics"})
            ASSERT_TRUE(QDir().mkpath(QString::fromStdString(m_dir / folder)));
        hmtest::writeFile(m_dir / "docs/a.txt", std::string(3000, 'a'));
        for (const char* name : {"b.txt", "c.txt", "d.txt"})
            hmtest::writeFile(m_dir / (std::string("docs/") + name), "bc");
        hmtest::writeFile(m_dir / "pics/x.jpg", std::string(100000, 'x'));
        hmtest::writeFile(m_dir / "top.bin", std::string(5000, 't'));
        svl::ScanOptions options;
        m_tree = svl::scanSingle(m_dir.path(), options, nullptr);
        ASSERT_EQ(m_tree->nodeCount, 9u);

        m_model.renameHandler = [this](uint32_t id, const QString& name) {
            const std::string oldPath = m_tree->fullPath(id);
            const std::string newPath = oldPath.substr(0, oldPath.rfind('/') + 1) + name.toStdString();
            if (std::rename(oldPath.c_str(), newPath.c_str()) != 0)
                return false;
            const QByteArray bytes = name.toUtf8();
            return m_tree->rename(id, bytes.constData(), size_t(bytes.size()));
        };
        m_model.setTree(m_tree);
        m_view.setModel(&m_model);
        m_view.setItemDelegate(new RowHeightDelegate(&m_view));
        m_view.setItemDelegateForColumn(0, new BindNoteDelegate(&m_view, [](const QModelIndex&) {}));
        m_view.setItemDelegateForColumn(1, new PercentBarDelegate(&m_view, false));
        m_view.setSortingEnabled(true);
        m_view.sortByColumn(3, Qt::DescendingOrder);
        m_view.setEditTriggers(QAbstractItemView::EditKeyPressed);
        m_view.setDragDropMode(QAbstractItemView::DragOnly);
        m_view.setSelectionMode(QAbstractItemView::ExtendedSelection);
        listfont::install(&m_view);
        m_view.resize(900, 400);
        m_view.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&m_view));
        m_view.expandAll();
    }

    QModelIndex root() const { return m_model.index(0, 0); }

    hmtest::TempDir m_dir{"hm-folder-tree"};
    std::shared_ptr<svl::ScanTree> m_tree;
    NodeModel m_model;
    FolderTreeView m_view;
};

TEST_F(FolderTreeViewTest, BrowsesSortsByHeaderClicksRenamesAndDrags) {
    // By allocation: pics 25 blocks, docs 4 (one per file), top.bin 2.
    EXPECT_EQ(childNames(m_model, root()), (QStringList{"pics", "docs", "top.bin"}));
    const QModelIndex docs = m_model.index(1, 0, root());
    const QString group = QStringLiteral("[4 Files in %1/docs]").arg(QString::fromStdString(m_dir.path()));
    EXPECT_EQ(childNames(m_model, docs), QStringList{group});
    EXPECT_EQ(childNames(m_model, m_model.index(0, 0, docs)), (QStringList{"a.txt", "b.txt", "c.txt", "d.txt"}));
    EXPECT_EQ(m_view.sizeHintForRow(0), listfont::rowHeight());

    // A click on the Folder header sorts by name, ascending first.
    QHeaderView* header = m_view.header();
    const QPoint folderHeader(header->sectionViewportPosition(0) + 5, header->height() / 2);
    QTest::mouseClick(header->viewport(), Qt::LeftButton, Qt::NoModifier, folderHeader);
    EXPECT_EQ(m_model.sortColumn(), 0);
    EXPECT_EQ(m_model.sortOrder(), Qt::AscendingOrder);
    EXPECT_EQ(childNames(m_model, root()), (QStringList{"docs", "pics", "top.bin"}));
    EXPECT_TRUE(m_view.isExpanded(m_model.index(0, 0, root()))) << "docs stays expanded";

    // F2 on top.bin, a new name, Enter: renamed on disk and shown.
    const QModelIndex top = m_model.index(2, 0, root());
    m_view.setCurrentIndex(top);
    QSignalSpy opened(&m_view, &FolderTreeView::editorOpened);
    QTest::keyClick(m_view.viewport(), Qt::Key_F2);
    auto* editor = m_view.viewport()->findChild<QLineEdit*>();
    ASSERT_NE(editor, nullptr);
    ASSERT_EQ(opened.count(), 1);
    EXPECT_EQ(opened.at(0).at(0).toModelIndex(), top);
    EXPECT_EQ(editor->text(), "top.bin");
    editor->setText(QStringLiteral("renamed.bin"));
    QTest::keyClick(editor, Qt::Key_Return);
    QCoreApplication::processEvents();  // the delegate commits through a queued call
    EXPECT_EQ(m_model.data(top).toString(), "renamed.bin");
    EXPECT_TRUE(QFileInfo::exists(QString::fromStdString(m_dir / "renamed.bin")));
    EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(m_dir / "top.bin")));

    // The selected rows leave as URLs of the files as they are now named.
    m_view.selectionModel()->select(top, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    std::unique_ptr<QMimeData> mime(m_model.mimeData(m_view.selectionModel()->selectedIndexes()));
    ASSERT_TRUE(mime);
    ASSERT_EQ(mime->urls().size(), 1);
    EXPECT_TRUE(QFileInfo::exists(mime->urls().front().toLocalFile()));
    EXPECT_TRUE(mime->urls().front().toLocalFile().endsWith("/renamed.bin"));
    if (const char* shot = getenv("HM_FOLDER_TREE_SHOT"))
        m_view.grab().save(QString::fromLocal8Bit(shot));
}

TEST_F(FolderTreeViewTest, SelectAllAndTheSelectedRowsMatchQtsOwnAndADragCarriesThem) {
    const auto qtRows = [this] {
        std::vector<uint32_t> ids;
        for (const QModelIndex& index : m_view.selectionModel()->selectedRows(0))
            ids.push_back(uint32_t(index.internalId()));
        return ids;
    };
    // Every shown row, in the order of Qt's own Select All.
    m_view.QTreeView::selectAll();
    const std::vector<uint32_t> all = qtRows();
    ASSERT_EQ(all.size(), 10u);
    m_view.clearSelection();
    m_view.selectAll();
    EXPECT_EQ(qtRows(), all);
    EXPECT_EQ(m_view.selectedRowIds(), all);
    // And with every mix of the folders open and closed.
    const QModelIndex docs = m_model.index(1, 0, root());
    const QModelIndex group = m_model.index(0, 0, docs);
    const QModelIndex folders[] = {root(), docs, group, m_model.index(0, 0, root())};
    for (int open = 0; open < 16; ++open) {
        for (int i = 0; i < 4; ++i)
            m_view.setExpanded(folders[i], open & (1 << i));
        m_view.QTreeView::selectAll();
        const QItemSelection qts = m_view.selectionModel()->selection();
        m_view.clearSelection();
        m_view.selectAll();
        EXPECT_EQ(m_view.selectionModel()->selection(), qts) << "open " << open;
    }
    m_view.expandAll();

    // Overlapping ranges give each row once; a row selected in two parts counts where its
    // first part stands, a row selected in part not at all.
    QItemSelection ranges;
    ranges.append(QItemSelectionRange(m_model.index(2, 0, group), m_model.index(3, 8, group)));
    ranges.append(QItemSelectionRange(m_model.index(2, 0, root()), m_model.index(2, 3, root())));
    ranges.append(QItemSelectionRange(m_model.index(0, 0, group), m_model.index(2, 8, group)));
    ranges.append(QItemSelectionRange(m_model.index(2, 4, root()), m_model.index(2, 8, root())));
    ranges.append(QItemSelectionRange(m_model.index(0, 0, root()), m_model.index(0, 5, root())));
    m_view.selectionModel()->select(ranges, QItemSelectionModel::ClearAndSelect);
    EXPECT_EQ(m_view.selectedRowIds(), qtRows());
    EXPECT_EQ(m_view.selectedRowIds().size(), 5u);
    // A range inside an earlier one, then one from that earlier one's last row on.
    QItemSelection nested;
    for (const auto& [top, bottom] : {std::pair{0, 2}, {1, 1}, {2, 3}})
        nested.append(QItemSelectionRange(m_model.index(top, 0, group), m_model.index(bottom, 8, group)));
    m_view.selectionModel()->select(nested, QItemSelectionModel::ClearAndSelect);
    EXPECT_EQ(m_view.selectedRowIds(), qtRows());
    // So too for many random mixes of ranges under the four rows that have children.
    std::mt19937 random(47);
    for (int round = 0; round < 300; ++round) {
        QItemSelection mix;
        for (int n = 1 + int(random() % 6); n > 0; --n) {
            const QModelIndex parent = folders[random() % 4];
            const int rowCount = m_model.rowCount(parent);
            const int top = int(random() % rowCount), bottom = top + int(random() % (rowCount - top));
            const int left = int(random() % 9), right = left + int(random() % (9 - left));
            mix.append(QItemSelectionRange(m_model.index(top, left, parent), m_model.index(bottom, right, parent)));
        }
        m_view.selectionModel()->select(mix, QItemSelectionModel::ClearAndSelect);
        ASSERT_EQ(m_view.selectedRowIds(), qtRows()) << "round " << round;
    }
    m_view.selectionModel()->select(ranges, QItemSelectionModel::ClearAndSelect);

    // Pressing on a selected row and moving drags those rows as URLs, in that order. (The
    // offscreen drag ends at once; the drag object stays until the next turn of the loop.)
    const QPoint from = m_view.visualRect(m_model.index(2, 0, group)).center();
    QTest::mousePress(m_view.viewport(), Qt::LeftButton, {}, from);
    for (int step = 1; step <= 2; ++step) {
        QMouseEvent move(QEvent::MouseMove, from + QPoint(step * 4 * QApplication::startDragDistance(), 0),
                         m_view.viewport()->mapToGlobal(from), Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(m_view.viewport(), &move);
    }
    auto* drag = m_view.findChild<QDrag*>();
    ASSERT_NE(drag, nullptr);
    // Once the drag is over no worker reads the tree, which the window may change again.
    auto* urls = dynamic_cast<FileUrlMimeData*>(drag->mimeData());
    ASSERT_NE(urls, nullptr);
    EXPECT_FALSE(urls->building());
    EXPECT_EQ(drag->pixmap().deviceIndependentSize().width(), m_view.viewport()->width()) << "the picture shows the selected rows";
    QStringList dragged;
    for (const QUrl& url : drag->mimeData()->urls())
        dragged.append(QFileInfo(url.toLocalFile()).fileName());
    QStringList expected;
    for (uint32_t id : m_view.selectedRowIds())
        expected.append(QString::fromUtf8(m_tree->node(id).nameView().data(), qsizetype(m_tree->node(id).nameLength)));
    EXPECT_EQ(dragged, expected);

    // The picture shows only the selected rows on screen, not those scrolled out below.
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    m_view.resize(900, m_view.header()->height() + 4 * m_view.visualRect(root()).height());
    m_view.scrollToTop();
    m_view.selectionModel()->select(root(), QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    m_view.selectionModel()->select(m_model.index(2, 0, root()), QItemSelectionModel::Select | QItemSelectionModel::Rows);
    ASSERT_GT(m_view.visualRect(m_model.index(2, 0, root())).top(), m_view.viewport()->height());
    const QPointer<QDrag> shown = execRowDrag(&m_view, new QMimeData, Qt::CopyAction);
    ASSERT_TRUE(shown);
    EXPECT_EQ(shown->pixmap().deviceIndependentSize().height(), m_view.visualRect(root()).height());
    m_view.resize(900, 400);
    m_view.selectionModel()->select(ranges, QItemSelectionModel::ClearAndSelect);

    // After a click on a selected row, moving the mouse with no button held drags nothing.
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    ASSERT_EQ(m_view.findChild<QDrag*>(), nullptr);
    QTest::mouseClick(m_view.viewport(), Qt::LeftButton, {}, from);
    for (int step = 1; step <= 2; ++step)
        QTest::mouseMove(m_view.viewport(), from + QPoint(step * 4 * QApplication::startDragDistance(), 0));
    EXPECT_EQ(m_view.findChild<QDrag*>(), nullptr);
}

}  // namespace
