// The window's file commands on a tree scanned through the window: the context menu's
// entries and states, rename through the models' entry point with its error box, and the
// size listing on the clipboard.
#include "tests/ui/mainwindow/MainWindowTestSupport.h"

#include "app/Elevation.h"
#include "core/tree/ScanTree.h"
#include "integration/LiveMonitor.h"
#include "ui/mainwindow/MainWindow.h"
#include "ui/views/NodeModel.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QMenu>
#include <QMessageBox>
#include <QTimer>

#include <memory>

using shelltest::qs;
using windowtest::BoxAnswerer;

namespace {

class MainWindowFileOps : public ::testing::Test {
protected:
    void SetUp() override
    {
        windowtest::clearSettings();
        ::mkdir((m_dir.path() + "/root").c_str(), 0755);
        windowtest::makeFolder(m_dir.path() + "/root", 2, 3);
        m_window = std::make_unique<MainWindow>();
        m_window->scanFolder(qs(m_dir.path() + "/root"));
        ASSERT_TRUE(windowtest::waitUntil([this] { return m_window->displayedTree() && !m_window->isJobRunning(); }));
    }
    uint32_t id(const std::string& rel) const
    {
        const std::string path = m_dir.path() + "/root/" + rel;
        return uint32_t(m_window->displayedTree()->findPath(path.data(), path.size()));
    }
    hmtest::TempDir m_dir;
    std::unique_ptr<MainWindow> m_window;
};

}  // namespace

TEST_F(MainWindowFileOps, ContextMenuWithNothingSelectedHasEveryEntryOff)
{
    std::unique_ptr<QMenu> menu(m_window->buildContextMenu());
    QStringList labels;
    for (QAction* action : menu->actions()) {
        if (action->isSeparator())
            continue;
        labels.append(action->text());
        EXPECT_FALSE(action->isEnabled()) << action->text().toStdString();
    }
    EXPECT_EQ(labels, QStringList({"Open", "Show in File Manager", "Move to Trash", "Properties", "Cut", "Copy",
                                   "Copy Path", "New Terminal at Folder", "Export to .CSV file…", "Hollowmere",
                                   "Zoom in Treemap", "Zoom out Treemap"}));
    // Commands on an empty selection do nothing and ask nothing.
    m_window->moveSelectionToTrash();
    m_window->deleteSelectionImmediately();
    EXPECT_TRUE(m_window->collectSelection(true, true).isEmpty());
}

TEST_F(MainWindowFileOps, RenameCommitsOnDiskAndInTheTreeOrShowsWhyNot)
{
    const uint32_t file = id("d0/f0.aaa");
    ASSERT_GT(file, 0u);
    EXPECT_FALSE(m_window->renameNode(0, "root2"));
    EXPECT_FALSE(m_window->renameNode(file, " f0.aaa "));  // unchanged: no box
    {
        BoxAnswerer answer("OK");
        EXPECT_FALSE(m_window->renameNode(file, "f1.bbb"));
        EXPECT_EQ(answer.text, "Couldn't rename \"f0.aaa\"");
        EXPECT_EQ(answer.detail, "An item with that name already exists.");
    }
    EXPECT_TRUE(m_window->renameNode(file, "renamed.aaa"));
    EXPECT_EQ(m_window->displayedTree()->node(file).nameView(), "renamed.aaa");
    EXPECT_TRUE(QFile::exists(qs(m_dir.path() + "/root/d0/renamed.aaa")));
}

TEST_F(MainWindowFileOps, SizeListingWithNothingSelectedStartsAtTheRoot)
{
    QGuiApplication::clipboard()->clear();
    m_window->copyFileAndSizeInfo();
    const QString text = QGuiApplication::clipboard()->text();
    const QStringList lines = text.split('\n', Qt::SkipEmptyParts);
    ASSERT_FALSE(lines.isEmpty()) << text.toStdString();
    EXPECT_EQ(lines[0].mid(20), "  " + qs(m_dir.path() + "/root"));
    EXPECT_TRUE(text.endsWith('\n'));
}

TEST_F(MainWindowFileOps, SelectedItemGoesToTheTrashAndRenamesThroughTheTreeModel)
{
    const uint32_t file = id("d1/f2.aaa");
    const uint32_t other = id("d1/f1.bbb");
    m_window->selectNode(file);
    {
        std::unique_ptr<QMenu> menu(m_window->buildContextMenu());
        QStringList enabled;
        for (QAction* action : menu->actions())
            if (!action->isSeparator() && action->isEnabled())
                enabled.append(action->text());
        // Nothing is zoomed, so only zooming in is offered; the file's folder can be rescanned.
        EXPECT_EQ(enabled, QStringList({"Open", "Show in File Manager", "Move to Trash", "Properties", "Cut", "Copy",
                                        "Copy Path", "New Terminal at Folder", "Export to .CSV file…", "Hollowmere",
                                        "Zoom in Treemap", "Rescan Selected Folder"}));
    }
    {
        // An administrator copy (tests usually run as root) deletes instead of trashing.
        BoxAnswerer answer(isElevated() ? "Delete Immediately" : "Move to Trash");
        m_window->moveSelectionToTrash();
        EXPECT_EQ(answer.text, isElevated() ? "\"f2.aaa\" can't be moved to the Trash." : "Move \"f2.aaa\" to the Trash?");
    }
    EXPECT_FALSE(QFile::exists(qs(m_dir.path() + "/root/d1/f2.aaa")));
    EXPECT_TRUE(m_window->displayedTree()->node(file).flags & svl::NodeFlag::Removed);

    // The name editor of the folder tree commits through the window.
    const QModelIndex index = m_window->nodeModel()->indexForId(other);
    ASSERT_TRUE(index.isValid());
    EXPECT_TRUE(m_window->nodeModel()->setData(index, "edited.bbb", Qt::EditRole));
    EXPECT_TRUE(QFile::exists(qs(m_dir.path() + "/root/d1/edited.bbb")));
    EXPECT_EQ(m_window->displayedTree()->node(other).nameView(), "edited.bbb");
}

// Runs as the ordinary account only (so the live monitor uses inotify), started by the test below.
TEST(MainWindowFileOpsUserSide, AFileDeletedInARenamedFolderLeavesTheTree)
{
    const std::string root = qgetenv("HM_RENAMED_ROOT").toStdString();
    if (root.empty())
        GTEST_SKIP() << "runs only as the ordinary account inside MainWindowFileOpsAsUser.AFileDeletedInARenamedFolderLeavesTheTree";
    windowtest::clearSettings();
    MainWindow window;
    window.scanFolder(qs(root));
    ASSERT_TRUE(windowtest::waitUntil([&] { return window.displayedTree() && !window.isJobRunning(); }));
    ASSERT_EQ(window.liveMonitor()->mode(), LiveMonitor::Mode::InotifyOnDemand);
    window.liveMonitor()->watchFolder(qs(root), true, 2000);
    const auto idOf = [&](const std::string& path) { return window.displayedTree()->findPath(path.data(), path.size()); };
    const int64_t folder = idOf(root + "/d0");
    ASSERT_GT(folder, 0);
    ASSERT_TRUE(window.renameNode(uint32_t(folder), "renamed"));
    const int64_t file = idOf(root + "/renamed/f1.bbb");
    ASSERT_GT(file, 0);
    ASSERT_EQ(::unlink((root + "/renamed/f1.bbb").c_str()), 0);
    EXPECT_TRUE(windowtest::waitUntil(
        [&] { return window.displayedTree()->node(uint32_t(file)).flags & svl::NodeFlag::Removed; }, 5000));
    EXPECT_FALSE(window.displayedTree()->node(uint32_t(folder)).flags & svl::NodeFlag::Removed);
}

TEST(MainWindowFileOpsAsUser, AFileDeletedInARenamedFolderLeavesTheTree)
{
    if (!hmtest::isRoot() || hmtest::testUserUid() == uid_t(-1) || !hmtest::haveTool("runuser"))
        GTEST_SKIP() << "needs root, runuser and the ordinary test account";
    hmtest::TempDir dir("hm-renamed");
    ::chmod(dir.path().c_str(), 0755);
    const std::string root = dir / "root";
    ::mkdir(root.c_str(), 0755);
    windowtest::makeFolder(root, 2, 3);
    ASSERT_EQ(hmtest::sh("chown -R hmtest " + hmtest::shQuote(root)), 0);
    const std::string self = QFile::symLinkTarget("/proc/self/exe").toStdString();
    int status = -1;
    const std::string output = hmtest::shOutput(
        "runuser -u hmtest -- env -i PATH=/usr/bin:/bin QT_QPA_PLATFORM=offscreen LANG=C.UTF-8 TMPDIR=/tmp "
        "HM_RENAMED_ROOT=" + hmtest::shQuote(root) + " " + hmtest::sanitizerOptions() + hmtest::shQuote(self) +
            " --gtest_filter=MainWindowFileOpsUserSide.AFileDeletedInARenamedFolderLeavesTheTree 2>&1",
        &status);
    EXPECT_EQ(status, 0) << output;
    EXPECT_NE(output.find("[  PASSED  ] 1 test"), std::string::npos) << output;
}

TEST(MainWindowFileOpsFanotify, AFileDeletedInARenamedTopOfSeveralLeavesTheTree)
{
    if (!hmtest::isRoot())
        GTEST_SKIP() << "needs root for a tmpfs mount and fanotify";
    hmtest::TempDir dir("hm-renamed-top");
    const std::string m = dir / "m";
    ::mkdir(m.c_str(), 0755);
    hmtest::Mounts mounts;
    ASSERT_TRUE(mounts.mount("-t tmpfs none", m));
    ASSERT_EQ(hmtest::sh("mkdir -p " + hmtest::shQuote(m + "/one/d") + " " + hmtest::shQuote(m + "/two")), 0);
    for (const char* name : {"one/d/f1", "one/f2", "two/x"})
        hmtest::writeFile(m + "/" + name, "data");
    windowtest::clearSettings();
    MainWindow window;
    window.scanMultiple({qs(m + "/one"), qs(m + "/two")});
    ASSERT_TRUE(windowtest::waitUntil([&] { return window.displayedTree() && !window.isJobRunning(); }));
    if (window.liveMonitor()->mode() != LiveMonitor::Mode::Fanotify)
        GTEST_SKIP() << "fanotify is not available here";
    const auto idOf = [&](const std::string& path) { return window.displayedTree()->findPath(path.data(), path.size()); };
    const int64_t top = idOf(m + "/one");
    ASSERT_GT(top, 0);
    EXPECT_FALSE(window.renameNode(uint32_t(top), qs(m + "/one")));  // the whole path unchanged: nothing
    ASSERT_TRUE(window.renameNode(uint32_t(top), "uno"));
    EXPECT_EQ(window.displayedTree()->fullPath(uint32_t(top)), m + "/uno");
    const int64_t file = idOf(m + "/uno/f2"), deeper = idOf(m + "/uno/d/f1");
    ASSERT_GT(file, 0);
    ASSERT_GT(deeper, 0);
    ASSERT_EQ(::unlink((m + "/uno/f2").c_str()), 0);
    ASSERT_EQ(::unlink((m + "/uno/d/f1").c_str()), 0);
    const auto removed = [&](int64_t id) { return window.displayedTree()->node(uint32_t(id)).flags & svl::NodeFlag::Removed; };
    EXPECT_TRUE(windowtest::waitUntil([&] { return removed(file) && removed(deeper); }, 5000));
    EXPECT_FALSE(removed(top));
}
