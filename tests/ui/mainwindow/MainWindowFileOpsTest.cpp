// The window's file commands on a tree scanned through the window: the context menu's
// entries and states, rename through the models' entry point with its error box, and the
// size listing on the clipboard.
#include "tests/ui/mainwindow/MainWindowTestSupport.h"

#include "app/AppSettings.h"
#include "app/Elevation.h"
#include "core/tree/ScanTree.h"
#include "integration/LiveMonitor.h"
#include "ui/header/HeaderPanel.h"
#include "ui/header/VolumeCombo.h"
#include "ui/mainwindow/MainWindow.h"
#include "ui/views/FileViewPanel.h"
#include "ui/views/NodeModel.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QProgressDialog>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QTreeView>

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <numeric>

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
    // Nor do the root and a folder's group row, which name no item to remove.
    m_window->setSelection({0, m_window->displayedTree()->nodeCount + id("d0")}, MainWindow::FromTreemap);
    BoxAnswerer answer(QStringList{"Cancel", "Cancel"});
    m_window->moveSelectionToTrash();
    m_window->deleteSelectionImmediately();
    EXPECT_EQ(answer.texts, QStringList());
}

TEST_F(MainWindowFileOps, RenameCommitsOnDiskAndInTheTreeOrShowsWhyNot)
{
    const uint32_t file = id("d0/f0.aaa");
    ASSERT_GT(file, 0u);
    EXPECT_FALSE(m_window->renameNode(0, "root2"));
    EXPECT_FALSE(m_window->renameNode(file, " f0.aaa "));  // unchanged: no box
    {
        // Without a record of where the item was when its editor opened, nothing is renamed.
        BoxAnswerer answer(QStringList{"OK", "OK", "OK"});
        EXPECT_FALSE(m_window->renameNode(file, "renamed.aaa"));
        m_window->recordRenamePlace(id("d1/f0.aaa"));
        EXPECT_FALSE(m_window->renameNode(file, "renamed.aaa"));  // a record of another item
        EXPECT_TRUE(answer.detail.contains("was replaced after it was chosen")) << answer.detail.toStdString();
        m_window->recordRenamePlace(file);
        EXPECT_FALSE(m_window->renameNode(file, "f1.bbb"));
        EXPECT_EQ(answer.texts, QStringList(3, "Couldn't rename \"f0.aaa\""));
        EXPECT_EQ(answer.detail, "An item with that name already exists.");
    }
    EXPECT_FALSE(QFile::exists(qs(m_dir.path() + "/root/d0/renamed.aaa")));
    const QString source = m_window->header()->sourceCombo()->currentText();
    m_window->recordRenamePlace(file);
    EXPECT_TRUE(m_window->renameNode(file, "renamed.aaa"));
    EXPECT_EQ(m_window->header()->sourceCombo()->currentText(), source) << "one root stays one root";
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
    m_window->recordRenamePlace(other);
    EXPECT_TRUE(m_window->nodeModel()->setData(index, "edited.bbb", Qt::EditRole));
    EXPECT_TRUE(QFile::exists(qs(m_dir.path() + "/root/d1/edited.bbb")));
    EXPECT_EQ(m_window->displayedTree()->node(other).nameView(), "edited.bbb");
}

// An item removed in a filtered view leaves the unfiltered tree too: clearing the filter
// does not bring it back.
TEST_F(MainWindowFileOps, AnItemRemovedInAFilteredViewStaysRemovedWithoutTheFilter)
{
    AppSettings::instance()->setValue("showFilterPanel", true);
    m_window->applyFilterTexts("*.bbb", "", false);
    ASSERT_TRUE(windowtest::waitUntil([this] { return !m_window->isFiltering(); }));
    ASSERT_NE(m_window->displayedTree(), m_window->currentTree());
    m_window->selectNode(id("d1/f1.bbb"));
    {
        BoxAnswerer answer(isElevated() ? "Delete Immediately" : "Move to Trash");
        m_window->moveSelectionToTrash();
    }
    ASSERT_FALSE(QFile::exists(qs(m_dir.path() + "/root/d1/f1.bbb")));
    AppSettings::instance()->setValue("showFilterPanel", false);
    m_window->refreshDisplayedTree(false);
    ASSERT_EQ(m_window->displayedTree(), m_window->currentTree());
    EXPECT_TRUE(m_window->displayedTree()->node(id("d1/f1.bbb")).flags & svl::NodeFlag::Removed);
}

// A batch of removals as large as the live monitor reports for a deleted folder: the paths
// are found through the per-folder index, names not in the tree are passed over. Reported
// while a filter is built, more than the window takes out in one turn, they wait for it and
// then leave the unfiltered tree too, also those the filter hides; so does a replaced
// folder's contents.
TEST_F(MainWindowFileOps, ALargeBatchOfRemovedPathsLeavesTheTree)
{
    const std::string root = m_dir.path() + "/root/";
    for (const bool filtered : {false, true}) {
        SCOPED_TRACE(filtered ? "filtered" : "unfiltered");
        if (filtered) {
            m_window->scanFolder(qs(root));
            ASSERT_TRUE(windowtest::waitUntil([this] { return !m_window->isJobRunning(); }));
            AppSettings::instance()->setValue("showFilterPanel", true);
            m_window->applyFilterTexts("*.bbb", "", false);
            ASSERT_TRUE(m_window->isFiltering());
        }
        QStringList paths;
        for (int i = 0; i < (filtered ? 50000 : 70); ++i)
            paths.append(qs(root + "d1/gone" + std::to_string(i)));
        for (const char* rel : {"d1/f1.bbb", "missing/x", "d0", "d1/f2.aaa"})
            paths.append(qs(root + rel));
        m_window->onPathsRemoved(paths);
        ASSERT_TRUE(windowtest::waitUntil([this] { return !m_window->isFiltering(); }));
        ASSERT_EQ(m_window->displayedTree() != m_window->currentTree(), filtered);
        const svl::ScanTree& full = *m_window->currentTree();
        const auto removed = [&](const svl::ScanTree& tree, const std::string& rel) {
            const std::string path = root + rel;
            const int64_t at = tree.findPath(path.data(), path.size());
            return at > 0 && (tree.node(uint32_t(at)).flags & svl::NodeFlag::Removed);
        };
        EXPECT_TRUE(windowtest::waitUntil([&] { return removed(full, "d1/f2.aaa"); }, 5000));
        EXPECT_TRUE(removed(*m_window->displayedTree(), "d1/f1.bbb"));
        for (const char* rel : {"d1/f1.bbb", "d0", "d0/f0.aaa"})
            EXPECT_TRUE(removed(full, rel)) << rel;
        size_t count = 0;
        for (uint32_t i = 0; i < full.nodeCount; ++i)
            count += bool(full.node(i).flags & svl::NodeFlag::Removed);
        EXPECT_EQ(count, 6u) << "d1/f1.bbb, d0 with its 3 files and d1/f2.aaa, nothing else";
        emit m_window->liveMonitor()->foldersReplaced({root + "d1"});
        EXPECT_TRUE(removed(full, "d1/f0.aaa"));
        EXPECT_FALSE(removed(full, "d1"));
    }
}

// Deleting many items leaves the window answering: a timer sees the removal half done. No
// other removal, rename or scan starts meanwhile, and the window closed, or Cancel in the counting
// progress dialog, stops it before its next item: what was deleted leaves the tree, the rest
// stays on disk and in the tree. Paths reported removed meanwhile, more than the window
// takes out in one turn, all leave the tree after it.
TEST_F(MainWindowFileOps, ARemovalOfManyItemsLeavesTheWindowAnsweringAndClosingOrCancelStopsIt)
{
    const std::string many = m_dir.path() + "/big/many", extra = m_dir.path() + "/big/extra";
    ASSERT_EQ(hmtest::sh("mkdir -p " + hmtest::shQuote(many)), 0);
    QStringList reported;
    for (int i = 0; i < 60000; ++i)
        reported.append(qs(many + "/never" + std::to_string(i)));
    reported.append(qs(extra));
    const auto there = [](const std::string& path) { return ::access(path.c_str(), F_OK) == 0; };
    struct CloseCount : QObject {
        int closes = 0;
        bool eventFilter(QObject*, QEvent* event) override { return closes += event->type() == QEvent::Close, false; }
    } counter;
    m_window->installEventFilter(&counter);
    for (const bool close : {false, true}) {
        SCOPED_TRACE(close ? "window closed" : "Cancel clicked");
        for (int i = 0; i < 50000; ++i) {  // a removal that outlasts the dialog's delay several times
            const int fd = ::open((many + "/f" + std::to_string(i)).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
            ASSERT_GE(fd, 0);
            ::close(fd);
        }
        hmtest::writeFile(extra, "x");
        m_window->scanFolder(qs(m_dir.path() + "/big"));
        ASSERT_TRUE(windowtest::waitUntil([this] { return !m_window->isJobRunning(); }));
        const std::shared_ptr<svl::ScanTree> tree = m_window->displayedTree();
        const int64_t extraId = tree->findPath(extra.data(), extra.size());
        ASSERT_GT(extraId, 0);
        const svl::ScanNode& folder = tree->node(uint32_t(tree->findPath(many.data(), many.size())));
        std::vector<uint32_t> ids(folder.childCount);
        std::iota(ids.begin(), ids.end(), folder.firstChild);
        m_window->setSelection(ids, MainWindow::FromTreemap);
        const std::string first = tree->fullPath(ids.front()), last = tree->fullPath(ids.back());
        bool stopped = false;
        QTimer watch;
        QObject::connect(&watch, &QTimer::timeout, [&] {
            auto* progress = m_window->findChild<QProgressDialog*>();
            if (stopped || (close ? there(first) || !there(last) : !progress || progress->value() <= 0))
                return;
            stopped = true;
            m_window->moveSelectionToTrash();
            m_window->deleteSelectionImmediately();
            EXPECT_FALSE(m_window->renameNode(ids.front(), "renamed"));
            m_window->scanFolder(qs(m_dir.path() + "/root"));
            EXPECT_FALSE(m_window->isJobRunning());
            if (close) {
                m_window->close();
            } else {
                ::unlink(extra.c_str());
                m_window->onPathsRemoved(reported);
                progress->findChild<QPushButton*>()->click();
            }
        });
        watch.start(1);
        {
            BoxAnswerer answer(QStringList{"Delete Immediately", "Cancel"});
            m_window->deleteSelectionImmediately();
            EXPECT_EQ(answer.texts.size(), 1);
        }
        EXPECT_TRUE(stopped);
        size_t left = 0, mismatched = 0;
        for (uint32_t id : ids) {
            const bool kept = there(tree->fullPath(id));
            left += kept;
            mismatched += kept == bool(tree->node(id).flags & svl::NodeFlag::Removed);
        }
        EXPECT_GT(left, 0u);
        EXPECT_EQ(mismatched, 0u);
        if (!close) {
            EXPECT_TRUE(windowtest::waitUntil([&] { return tree->node(uint32_t(extraId)).flags & svl::NodeFlag::Removed; }));
        } else {
            EXPECT_TRUE(windowtest::waitUntil([&] { return counter.closes == 2; })) << "closed again after the removal";
        }
    }
}

// Escape on the removal of one large folder stops it inside that folder: the box stays up
// saying it is stopping until the worker has; what is left stays on disk and in the tree, with
// the folder's counts those of the disk; the file beside it is untouched.
TEST_F(MainWindowFileOps, EscapeOnTheRemovalOfOneFolderLeavesTheRestInTheTree)
{
    const std::string top = m_dir.path() + "/one", big = top + "/big", beside = top + "/small/a.txt";
    ASSERT_EQ(hmtest::sh("mkdir -p " + hmtest::shQuote(big) + " " + hmtest::shQuote(top + "/small")), 0);
    for (int i = 0; i < 200000; ++i) {  // a removal that outlasts the box's delay several times
        const int fd = ::open((big + "/f" + std::to_string(i)).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0);
        ::close(fd);
    }
    hmtest::writeFile(beside, "x");
    m_window->scanFolder(qs(top));
    ASSERT_TRUE(windowtest::waitUntil([this] { return !m_window->isJobRunning(); }));
    const std::shared_ptr<svl::ScanTree> tree = m_window->displayedTree();
    const uint32_t folder = uint32_t(tree->findPath(big.data(), big.size()));
    m_window->setSelection({folder}, MainWindow::FromTree);
    bool escaped = false, stayed = false;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        auto* progress = m_window->findChild<QProgressDialog*>();
        if (!progress || !progress->isVisible())
            return;
        if (escaped) {
            stayed = stayed || progress->labelText() == "Stopping…";
            return;
        }
        if (progress->value() <= 0)
            return;
        escaped = true;
        QTest::keyClick(progress, Qt::Key_Escape);
        stayed = progress->isVisible() && progress->labelText() == "Stopping…";
    });
    watch.start(1);
    {
        BoxAnswerer answer(QStringList{"Delete Immediately", "Cancel"});
        m_window->deleteSelectionImmediately();
        EXPECT_EQ(answer.texts.size(), 1) << answer.texts.join('\n').toStdString();
    }
    ASSERT_TRUE(escaped);
    EXPECT_TRUE(stayed);
    EXPECT_EQ(m_window->findChild<QProgressDialog*>(), nullptr);
    uint32_t left = 0;
    std::error_code ignored;
    for (auto it = std::filesystem::directory_iterator(big, ignored); it != std::filesystem::directory_iterator(); ++it)
        ++left;
    EXPECT_GT(left, 0u);
    EXPECT_LT(left, 200000u);
    const svl::ScanNode& node = tree->node(folder);
    EXPECT_FALSE(node.flags & svl::NodeFlag::Removed);
    EXPECT_EQ(node.filesBelow, left);
    EXPECT_EQ(tree->node(0).filesBelow, left + 1);
    const int64_t small = tree->findPath(beside.data(), beside.size());
    ASSERT_GT(small, 0);
    EXPECT_FALSE(tree->node(uint32_t(small)).flags & svl::NodeFlag::Removed);
    EXPECT_EQ(hmtest::readText(beside), "x");
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
    window.recordRenamePlace(uint32_t(folder));
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

TEST(MainWindowFileOpsFanotify, ARenamedTopOfSeveralIsShownByItsNewPathAndAFileDeletedInItLeavesTheTree)
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
    const auto idOf = [&](const std::string& path) { return window.displayedTree()->findPath(path.data(), path.size()); };
    const int64_t top = idOf(m + "/one");
    ASSERT_GT(top, 0);
    EXPECT_FALSE(window.renameNode(uint32_t(top), qs(m + "/one")));  // the whole path unchanged: nothing
    window.recordRenamePlace(uint32_t(top));
    ASSERT_TRUE(window.renameNode(uint32_t(top), "uno"));
    EXPECT_EQ(window.displayedTree()->fullPath(uint32_t(top)), m + "/uno");
    // The header names the new path and keeps the space of its volume.
    EXPECT_EQ(window.header()->multipleRoots(), QStringList({qs(m + "/uno"), qs(m + "/two")}));
    EXPECT_TRUE(window.header()->findChild<QLabel*>("selectionDetailLabel")->toolTip().contains(qs(m + "/uno")));
    EXPECT_FALSE(window.header()->findChild<QLabel*>("totalSpaceLabel")->text().isEmpty());
    if (window.liveMonitor()->mode() != LiveMonitor::Mode::Fanotify)
        GTEST_SKIP() << "fanotify is not available here";
    const int64_t file = idOf(m + "/uno/f2"), deeper = idOf(m + "/uno/d/f1");
    ASSERT_GT(file, 0);
    ASSERT_GT(deeper, 0);
    ASSERT_EQ(::unlink((m + "/uno/f2").c_str()), 0);
    ASSERT_EQ(::unlink((m + "/uno/d/f1").c_str()), 0);
    const auto removed = [&](int64_t id) { return window.displayedTree()->node(uint32_t(id)).flags & svl::NodeFlag::Removed; };
    EXPECT_TRUE(windowtest::waitUntil([&] { return removed(file) && removed(deeper); }, 5000));
    EXPECT_FALSE(removed(top));
}

namespace {

// A swap made after the scan or while a name editor is open, under a work folder holding
// the scanned folder s (with s/d1) and OUT/d1, a look-alike of it that must stay untouched.
struct RenameSwap {
    const char* what;
    const char* item;      // below s
    bool fileView;         // edited in the File View, else in the Tree View
    const char* swap;      // shell commands run in the work folder while the editor is open; empty: none
    const char* original;  // where the chosen item is after the swap (and the rename, without a swap)
    bool asRoot;           // the administrator copy's road (mounting needs root)
    bool beforeEditing = false;  // the swap is made after the scan, before F2
};

const RenameSwap kRenameSwaps[] = {
    {"nothing", "d1/victim.txt", false, "", "s/d1/renamed.txt", false},
    {"nothing", "d1/victim.txt", true, "", "s/d1/renamed.txt", false},
    {"top for a link", "d1/victim.txt", false, "mv s s.m && ln -s OUT s", "s.m/d1/victim.txt", false},
    {"top for a link", "d1/victim.txt", true, "mv s s.m && ln -s OUT s", "s.m/d1/victim.txt", false},
    {"top for a link", "victim.txt", false, "mv s s.m && ln -s OUT/d1 s", "s.m/victim.txt", false},
    {"top for a link", "victim.txt", true, "mv s s.m && ln -s OUT/d1 s", "s.m/victim.txt", false},
    {"parent for a real folder", "d1/victim.txt", false, "mv s/d1 s/d1.m && mv nb s/d1", "s/d1.m/victim.txt", false},
    {"item for a link", "d1/victim.txt", true, "mv s/d1/victim.txt s/v.m && ln -s ../../OUT/d1/victim.txt s/d1/victim.txt",
     "s/v.m", false},
    {"parent under a bind mount", "d1/victim.txt", false, "mount --bind OUT/d1 s/d1", "s/d1/victim.txt", true},
    {"top for a link before F2", "d1/victim.txt", false, "mv s s.m && ln -s OUT s", "s.m/d1/victim.txt", false, true},
    {"top for a link before F2", "d1/victim.txt", true, "mv s s.m && ln -s OUT s", "s.m/d1/victim.txt", false, true},
    {"top for a link before F2", "victim.txt", true, "mv s s.m && ln -s OUT/d1 s", "s.m/victim.txt", false, true},
    {"parent under a bind mount before F2", "d1/victim.txt", true, "mount --bind OUT/d1 s/d1", "s/d1/victim.txt", true,
     true},
};

// Opens the name editor on the item, types a new name, makes the swap (or makes it first)
// and presses Return:
// the window must refuse, naming the item, and leave everything as it was (without a swap,
// rename it). An empty string when it did, else what went wrong.
std::string renameWithSwapWhileEditing(const std::string& work, const RenameSwap& c)
{
    hmtest::sh("cd " + hmtest::shQuote(work) + " && rm -rf s s.m OUT nb && mkdir -p s/d1 OUT/d1 nb && "
               "echo v > s/" + c.item + " && echo p > OUT/d1/victim.txt && echo p > nb/victim.txt");
    windowtest::clearSettings();
    MainWindow window;
    window.scanFolder(qs(work + "/s"));
    if (!windowtest::waitUntil([&] { return window.displayedTree() && !window.isJobRunning(); }))
        return "no scan";
    const std::string path = work + "/s/" + c.item;
    const int64_t id = window.displayedTree()->findPath(path.data(), path.size());
    if (id <= 0)
        return "not scanned";
    const bool swapped = *c.swap;
    if (c.beforeEditing && hmtest::sh("cd " + hmtest::shQuote(work) + " && " + c.swap) != 0)
        return "swap failed";
    QTreeView* view = window.treeView();
    if (c.fileView) {
        window.showFileViewPage();
        FileViewPanel* panel = window.fileView();
        const auto listed = [&] {
            const std::vector<uint32_t> ids = panel->listedIds();
            return !panel->isBusy() && std::find(ids.begin(), ids.end(), uint32_t(id)) != ids.end();
        };
        if (!windowtest::waitUntil(listed, 5000))
            return "not listed";
        window.setSelection({uint32_t(id)}, MainWindow::FromFileView);
        view = panel->view();
    } else {
        window.selectNode(uint32_t(id));
    }
    window.startRename();  // F2
    QPointer<QLineEdit> editor = view->viewport()->findChild<QLineEdit*>();
    if (!editor)
        return "no editor";
    editor->setText("renamed.txt");
    if (swapped && !c.beforeEditing && hmtest::sh("cd " + hmtest::shQuote(work) + " && " + c.swap) != 0)
        return "swap failed";
    windowtest::BoxAnswerer answer("OK");
    QTest::keyClick(editor, Qt::Key_Return);  // commits from the event loop
    if (!windowtest::waitUntil([&] { return editor.isNull(); }, 5000))
        return "the editor stayed open";
    std::string wrong;
    if (answer.text != (swapped ? "Couldn't rename \"victim.txt\"" : ""))
        wrong += "box: " + answer.text.toStdString() + " | " + answer.detail.toStdString() + "; ";
    if (window.displayedTree()->node(uint32_t(id)).nameView() != (swapped ? "victim.txt" : "renamed.txt"))
        wrong += "the tree has the wrong name; ";
    if (!swapped)
        return hmtest::readText(work + "/" + c.original) == "v\n" ? wrong : wrong + "not renamed";
    if (c.asRoot)
        hmtest::sh("umount " + hmtest::shQuote(work + "/s/d1"));
    if (hmtest::readText(work + "/OUT/d1/victim.txt") != "p\n")
        wrong += "OUT was touched; ";
    if (hmtest::readText(work + "/" + c.original) != "v\n")
        wrong += "the chosen item was renamed; ";
    for (const char* renamed : {"OUT/d1/renamed.txt", "OUT/renamed.txt", "s/d1/renamed.txt", "s.m/d1/renamed.txt",
                                "s.m/renamed.txt", "s/d1.m/renamed.txt"}) {
        struct stat st {};
        if (::lstat((work + "/" + renamed).c_str(), &st) == 0)
            wrong += std::string(renamed) + " exists; ";
    }
    return wrong;
}

}  // namespace

// Runs as the ordinary account only, started by the test below.
TEST(MainWindowFileOpsUserSide, ASwapWhileTheNameEditorIsOpenRenamesNothing)
{
    const std::string work = qgetenv("HM_RENAME_SWAP_DIR").toStdString();
    if (work.empty())
        GTEST_SKIP() << "runs only as the ordinary account inside MainWindowFileOpsAsUser.ASwapWhileTheNameEditorIsOpenRenamesNothing";
    for (const RenameSwap& c : kRenameSwaps) {
        if (c.asRoot)
            continue;
        EXPECT_EQ(renameWithSwapWhileEditing(work, c), "")
            << c.what << ", " << c.item << (c.fileView ? " in the File View" : " in the Tree View");
    }
}

TEST(MainWindowFileOpsAsUser, ASwapWhileTheNameEditorIsOpenRenamesNothing)
{
    if (!hmtest::isRoot() || hmtest::testUserUid() == uid_t(-1) || !hmtest::haveTool("runuser"))
        GTEST_SKIP() << "needs root, runuser and the ordinary test account";
    hmtest::TempDir dir("hm-rename-swap");
    ::chmod(dir.path().c_str(), 0755);
    ASSERT_EQ(hmtest::sh("chown hmtest " + hmtest::shQuote(dir.path())), 0);
    const std::string self = QFile::symLinkTarget("/proc/self/exe").toStdString();
    int status = -1;
    const std::string output = hmtest::shOutput(
        "runuser -u hmtest -- env -i PATH=/usr/bin:/bin QT_QPA_PLATFORM=offscreen LANG=C.UTF-8 TMPDIR=/tmp "
        "HM_RENAME_SWAP_DIR=" + hmtest::shQuote(dir.path()) + " " + hmtest::sanitizerOptions() + hmtest::shQuote(self) +
            " --gtest_filter=MainWindowFileOpsUserSide.ASwapWhileTheNameEditorIsOpenRenamesNothing 2>&1",
        &status);
    EXPECT_EQ(status, 0) << output;
    EXPECT_NE(output.find("[  PASSED  ] 1 test"), std::string::npos) << output;
    // As root: the administrator copy's road, with a bind mount over the parent.
    for (const RenameSwap& c : kRenameSwaps) {
        if (!c.asRoot)
            continue;
        EXPECT_EQ(renameWithSwapWhileEditing(dir.path(), c), "") << c.what;
    }
}
