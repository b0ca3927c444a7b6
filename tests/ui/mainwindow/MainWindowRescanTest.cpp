// Rescan of selected folders in one window, on real folders.
#include "tests/ui/mainwindow/MainWindowTestSupport.h"

#include <QAction>
#include <QElapsedTimer>
#include <QMenu>
#include <QMenuBar>
#include <QTest>

#include "core/tree/ScanTree.h"
#include "integration/LiveMonitor.h"
#include "ui/mainwindow/MainWindow.h"
#include "ui/mainwindow/PageTabs.h"

using windowtest::waitUntil;

namespace {

class MainWindowRescan : public ::testing::Test {
protected:
    void SetUp() override {
        windowtest::clearSettings();
        AppSettings::instance()->setSaveEnabled(false);
        m_root = m_dir.path() + "/root";
        ::mkdir(m_root.c_str(), 0755);
        windowtest::makeFolder(m_root, 3, 4);
    }
    void scan(MainWindow& window) {
        window.scanFolder(QString::fromStdString(m_root));
        ASSERT_TRUE(waitUntil([&] { return window.displayedTree() && !window.isJobRunning(); }));
    }
    static int64_t idOf(const MainWindow& window, const std::string& path) {
        return window.displayedTree()->findPath(path.data(), path.size());
    }
    static bool shows(const MainWindow& window, const std::string& path) {
        const int64_t id = idOf(window, path);
        return id >= 0 && !(window.displayedTree()->node(uint32_t(id)).flags & svl::NodeFlag::Removed);
    }

    hmtest::TempDir m_dir{"hm-rescan"};
    std::string m_root;
};

TEST_F(MainWindowRescan, RescanSplicesTheSelectedFolderAndKeepsTheSelection) {
    MainWindow window;
    scan(window);
    QAction* rescanAction = nullptr;
    for (QAction* action : window.findChildren<QAction*>())
        if (action->text() == "Rescan Selected Folder")
            rescanAction = action;
    ASSERT_TRUE(rescanAction && rescanAction->text() == "Rescan Selected Folder");
    window.setSelection({}, MainWindow::FromBoth);
    EXPECT_FALSE(rescanAction->isEnabled());  // the menu action follows the selection without the menu opening
    const uint32_t d1 = uint32_t(idOf(window, m_root + "/d1"));
    window.setSelection({d1}, MainWindow::FromBoth);
    ASSERT_TRUE(window.canRescanSelection());
    EXPECT_TRUE(rescanAction->isEnabled());
    hmtest::writeFile(m_root + "/d1/fresh.ccc", "new");
    hmtest::writeFile(m_root + "/d2/unseen.ccc", "not in the selection");
    window.liveMonitor()->stop();  // only the rescan may bring the change in
    window.rescanSelectedFolders();
    ASSERT_TRUE(window.isJobRunning());
    EXPECT_TRUE(window.menuBar()->isEnabled()) << "Quit and the other menus work during a rescan";
    EXPECT_FALSE(window.tabs()->isEnabled());
    EXPECT_FALSE(window.canRescanSelection());
    EXPECT_FALSE(rescanAction->isEnabled());
    ASSERT_TRUE(waitUntil([&] { return !window.isJobRunning() && shows(window, m_root + "/d1/fresh.ccc"); }));
    EXPECT_TRUE(window.statusText().startsWith("Scan complete in ")) << window.statusText().toStdString();
    EXPECT_FALSE(shows(window, m_root + "/d2/unseen.ccc"));
    EXPECT_TRUE(window.menuBar()->isEnabled());
    EXPECT_EQ(window.currentSelection(), std::vector<uint32_t>{uint32_t(idOf(window, m_root + "/d1"))});
    EXPECT_EQ(window.displayedTree(), window.currentTree());
    EXPECT_NE(window.liveMonitor()->mode(), LiveMonitor::Mode::Idle);
}

TEST_F(MainWindowRescan, FoldersTheScanDidNotEnterAreNotRescanned) {
    if (!hmtest::isRoot())
        GTEST_SKIP() << "needs root for the mounts";
    for (const char* folder : {"/mnt", "/bound"})
        ASSERT_EQ(::mkdir((m_root + folder).c_str(), 0755), 0);
    hmtest::Mounts mounts;
    ASSERT_TRUE(mounts.mount("-t tmpfs none", m_root + "/mnt"));
    ASSERT_TRUE(mounts.bind(m_root + "/d0", m_root + "/bound"));
    hmtest::writeFile(m_root + "/mnt/f", "on another device");
    MainWindow window;
    scan(window);
    bool whole = false;
    for (const char* folder : {"/mnt", "/bound"}) {
        const uint32_t id = uint32_t(idOf(window, m_root + folder));
        ASSERT_TRUE(window.displayedTree()->node(id).flags & svl::NodeFlag::OtherDevice) << folder;
        window.setSelection({id}, MainWindow::FromBoth);
        EXPECT_TRUE(window.rescanTargets(&whole).empty()) << folder;
        EXPECT_FALSE(window.canRescanSelection()) << folder;
    }
    const uint32_t d1 = uint32_t(idOf(window, m_root + "/d1"));
    window.setSelection({d1, uint32_t(idOf(window, m_root + "/mnt"))}, MainWindow::FromBoth);
    EXPECT_EQ(window.rescanTargets(&whole), std::vector<uint32_t>{d1});
}

TEST_F(MainWindowRescan, CancelledRescanLeavesTheTreeAndSaysSo) {
    MainWindow window;
    scan(window);
    std::shared_ptr<svl::ScanTree> before;
    // The worker may finish a small folder before the cancel arrives: try a few times.
    for (int attempt = 0; attempt < 5; ++attempt) {
        before = window.currentTree();
        window.setSelection({uint32_t(idOf(window, m_root + "/d0"))}, MainWindow::FromBoth);
        window.rescanSelectedFolders();
        window.stopJob();
        ASSERT_TRUE(waitUntil([&] { return !window.isJobRunning(); }));
        if (window.statusText().startsWith("Scan canceled after "))
            break;
    }
    EXPECT_TRUE(window.statusText().startsWith("Scan canceled after ")) << window.statusText().toStdString();
    EXPECT_EQ(window.currentTree(), before);
    EXPECT_EQ(window.displayedTree(), before);
    EXPECT_TRUE(window.menuBar()->isEnabled());
    EXPECT_NE(window.liveMonitor()->mode(), LiveMonitor::Mode::Idle) << "watching again after the cancel";

    // A rescan stuck in a dead mount ends on the cancel at once, the tree left as it was; a
    // rescan of the mount point itself lists it at once as another file system, without
    // waiting on it.
    if (!hmtest::isRoot())
        return;
    ::mkdir((m_root + "/d1/sub").c_str(), 0755);
    hmtest::writeFile(m_root + "/d1/sub/x", "x");
    window.setSelection({uint32_t(idOf(window, m_root + "/d1"))}, MainWindow::FromBoth);
    window.rescanSelectedFolders();
    ASSERT_TRUE(waitUntil([&] { return !window.isJobRunning(); }));
    before = window.currentTree();
    hmtest::DeadFuseMount dead(m_root + "/d1");
    if (!dead.ok())
        GTEST_SKIP() << dead.error();
    window.setSelection({uint32_t(idOf(window, m_root + "/d1/sub"))}, MainWindow::FromBoth);
    window.rescanSelectedFolders();
    QTest::qWait(300);
    ASSERT_TRUE(window.isJobRunning());
    window.stopJob();
    ASSERT_TRUE(waitUntil([&] { return !window.isJobRunning(); }, 2000));
    EXPECT_TRUE(window.statusText().startsWith("Scan canceled after ")) << window.statusText().toStdString();
    EXPECT_EQ(window.currentTree(), before);
    EXPECT_TRUE(window.menuBar()->isEnabled());
    // Quit from the menu during a rescan stuck in the mount closes the window at once, the
    // rescan given up.
    window.setSelection({uint32_t(idOf(window, m_root + "/d1/sub"))}, MainWindow::FromBoth);
    window.show();
    window.rescanSelectedFolders();
    QTest::qWait(300);
    ASSERT_TRUE(window.isJobRunning() || waitUntil([&] { return window.isJobRunning(); }, 2000));
    QAction* quit = nullptr;
    for (QAction* action : window.menuBar()->actions().constFirst()->menu()->actions())
        if (action->text() == "Quit")
            quit = action;
    ASSERT_TRUE(quit);
    QElapsedTimer clock;
    clock.start();
    quit->trigger();
    EXPECT_FALSE(window.isVisible());
    EXPECT_FALSE(window.isJobRunning());
    EXPECT_LT(clock.elapsed(), 1000);
    // The window closed, its job slot is free.
    window.setSelection({uint32_t(idOf(window, m_root + "/d1"))}, MainWindow::FromBoth);
    window.rescanSelectedFolders();
    ASSERT_TRUE(waitUntil([&] { return !window.isJobRunning(); }, 5000));
    EXPECT_EQ(window.currentTree()->node(uint32_t(idOf(window, m_root + "/d1"))).flags,
              svl::NodeFlag::Folder | svl::NodeFlag::OtherDevice);
}

}  // namespace
