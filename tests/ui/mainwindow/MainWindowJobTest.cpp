// The job road in one window: real scans of generated folders through the job thread,
// cancelling, failures, and the displayed tree under filter threads and removals.
#include "tests/ui/mainwindow/MainWindowTestSupport.h"
#include "tests/ui/dialogs/DialogTestSupport.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QTreeView>

#include <memory>
#include <thread>

#include "app/PathText.h"
#include "core/tree/ScanTree.h"
#include "integration/LiveMonitor.h"
#include "ui/dialogs/FolderChooser.h"
#include "ui/dialogs/SelectMultipleDialog.h"
#include "ui/header/HeaderPanel.h"
#include "ui/header/VolumeCombo.h"
#include "ui/mainwindow/EmptyStateWidget.h"
#include "ui/mainwindow/MainWindow.h"
#include "ui/treemap/TreemapPanel.h"
#include "ui/treemap/TreemapWidget.h"
#include "ui/views/FileTypesModel.h"
#include "ui/views/NodeModel.h"
#include "ui/views/FileTypesView.h"
#include "ui/views/FilterField.h"
#include "ui/views/FilterPanel.h"

using windowtest::waitUntil;

namespace {

class MainWindowJob : public ::testing::Test {
protected:
    void SetUp() override {
        windowtest::clearSettings();
        AppSettings::instance()->setSaveEnabled(false);
        m_root = m_dir.path();
    }

    // `dead`, a FUSE mount nobody serves, beside `alive`, a small tree, in the scanned folder;
    // not ok() where FUSE cannot be mounted.
    hmtest::ShortAnswerLimits m_limits{std::chrono::milliseconds(400)};

    std::unique_ptr<hmtest::DeadFuseMount> deadBesideAlive() {
        ::mkdir((m_root + "/dead").c_str(), 0755);
        ::mkdir((m_root + "/alive").c_str(), 0755);
        windowtest::makeFolder(m_root + "/alive", 2, 3);
        return std::make_unique<hmtest::DeadFuseMount>(m_root + "/dead");
    }

    // Scans and waits for the result.
    void scan(MainWindow& window, const std::string& path) {
        window.scanFolder(QString::fromStdString(path));
        ASSERT_TRUE(waitUntil([&] { return !window.isJobRunning(); }));
    }

    // Whether a displayed node with this path exists and is not removed.
    static bool shows(const svl::ScanTree& tree, const std::string& path) {
        const int64_t id = tree.findPath(path.data(), path.size());
        return id >= 0 && !(tree.node(uint32_t(id)).flags & svl::NodeFlag::Removed);
    }

    hmtest::TempDir m_dir{"hm-window"};
    std::string m_root;
};

TEST_F(MainWindowJob, ScanThroughTheJobFillsTheViews) {
    windowtest::makeFolder(m_root, 3, 4);
    MainWindow window;
    EXPECT_EQ(window.emptyState()->text(), "Ready to Scan");
    window.scanFolder(QString::fromStdString(m_root));
    EXPECT_TRUE(window.isJobRunning());
    EXPECT_EQ(window.emptyState()->text(), "Scanning…");
    // A second request while the slot is busy is ignored.
    window.scanFolder(QStringLiteral("/nonexistent-second-request"));
    ASSERT_TRUE(waitUntil([&] { return !window.isJobRunning(); }));

    EXPECT_TRUE(window.statusText().startsWith("Scan complete in ")) << window.statusText().toStdString();
    ASSERT_TRUE(window.currentTree());
    EXPECT_EQ(window.currentTree()->nodeCount, 1u + 1 + 3 * (1 + 4));
    EXPECT_EQ(window.currentTree()->node(0).filesBelow, 13u);
    EXPECT_EQ(window.displayedTree(), window.currentTree());
    EXPECT_FALSE(window.isEmptyPageShown());
    EXPECT_TRUE(window.treemapPanel()->titleLabel()->text().contains(QString::fromStdString(m_root)));
    EXPECT_TRUE(window.windowTitle().startsWith("Hollowmere — <Folder> "));
    // The treemap and the file types are built on a worker after the tree is shown.
    ASSERT_TRUE(waitUntil([&] { return !window.treemapPanel()->treemap()->buildPending(); }));
    EXPECT_FALSE(window.treemapPanel()->treemap()->image().isNull());
    const auto& types = window.fileTypes()->fileTypesModel()->rows();
    ASSERT_EQ(types.size(), 2u);
    EXPECT_EQ(types[0].files + types[1].files, 13u);
    EXPECT_FALSE(window.fileTypes()->isHidden());
}

TEST_F(MainWindowJob, MissingPathShowsTheFailedPage) {
    MainWindow window;
    scan(window, m_root + "/does-not-exist");
    EXPECT_EQ(window.statusText(), QString::fromStdString("Could not read " + m_root + "/does-not-exist: does not exist"));
    EXPECT_TRUE(window.isEmptyPageShown());
    EXPECT_EQ(window.emptyState()->text(), "Scan Failed");
    EXPECT_EQ(window.emptyState()->hints(), QStringList{window.statusText()});
    EXPECT_FALSE(window.currentTree());
    // The slot is free again.
    windowtest::makeFolder(m_root, 1, 1);
    scan(window, m_root);
    EXPECT_TRUE(window.currentTree());
}

TEST_F(MainWindowJob, SeveralRootsMustBeApartAndThereAndNamesKeepTheirBytes) {
    windowtest::makeFolder(m_root, 2, 2);
    MainWindow window;
    const QString top = QString::fromStdString(m_root);
    ASSERT_EQ(::symlink("d0", (m_root + "/link-d0").c_str()), 0);
    for (const QStringList& roots : {QStringList{top, top + "/d0"}, QStringList{top + "/d0", top + "/link-d0"}}) {
        // As --multi, a restart or F5 would ask: refused with the Select Multiple dialog's text.
        windowtest::BoxAnswerer answer(QStringLiteral("OK"));
        window.scanMultiple(roots);
        ASSERT_TRUE(waitUntil([&] { return !answer.texts.isEmpty(); }, 5000));
        EXPECT_EQ(answer.text, SelectMultipleDialog::nestingConflict(roots));
        EXPECT_TRUE(answer.text.contains("is included within")) << roots.join(' ').toStdString();
        EXPECT_FALSE(window.isJobRunning());
        EXPECT_FALSE(window.currentTree());
    }

    // A missing root costs only itself: the others are shown and it is named.
    ASSERT_EQ(hmtest::sh("find " + hmtest::shQuote(m_root + "/d0") + " -exec touch -h -d @-100000000 {} +"), 0);
    window.scanMultiple({top + "/d0", top + "/gone"});
    ASSERT_TRUE(waitUntil([&] { return !window.isJobRunning(); }));
    EXPECT_TRUE(window.statusText().startsWith("Scan complete in ")) << window.statusText().toStdString();
    EXPECT_TRUE(window.statusText().endsWith(" - Could not read " + top + "/gone: does not exist"))
        << window.statusText().toStdString();
    ASSERT_TRUE(window.currentTree());
    EXPECT_FALSE(window.isEmptyPageShown());
    EXPECT_EQ(window.currentTree()->node(1).filesBelow, 2u);
    EXPECT_EQ(window.currentTree()->node(2).flags, svl::NodeFlag::Folder | svl::NodeFlag::Unreadable);
    const auto icon = [&](uint32_t id) {
        return window.nodeModel()->data(window.nodeModel()->indexForId(id), Qt::DecorationRole).value<QIcon>().cacheKey();
    };
    EXPECT_NE(icon(2), icon(1)) << "the missing root's row shows a warning";
    // Its date was never read: an empty cell that sorts as the oldest.
    const auto modified = [&](uint32_t id) {
        return window.nodeModel()->indexForId(id).siblingAtColumn(NodeModel::ModifiedColumn).data().toString();
    };
    EXPECT_EQ(modified(2), QString());
    EXPECT_FALSE(modified(1).isEmpty());
    window.nodeModel()->sort(NodeModel::ModifiedColumn, Qt::AscendingOrder);
    EXPECT_EQ(window.nodeModel()->childOrder(0).front(), 2u) << "older than a folder from 1966";
    // A root that is not there is not one whose access was denied.
    auto* deniedButton = window.header()->findChild<QToolButton*>(QStringLiteral("accessDeniedButton"));
    ASSERT_TRUE(deniedButton);
    EXPECT_FALSE(deniedButton->isVisibleTo(window.header()));
    // None there: the scan fails as a single missing start folder does.
    window.scanMultiple({top + "/gone", top + "/gone2"});
    ASSERT_TRUE(waitUntil([&] { return !window.isJobRunning(); }));
    EXPECT_EQ(window.statusText(),
              "Could not read " + top + "/gone: does not exist; " + top + "/gone2: does not exist");
    EXPECT_EQ(window.emptyState()->text(), "Scan Failed");

    const std::string bad = m_root + "/bad\xff" "name";
    ASSERT_EQ(::mkdir(bad.c_str(), 0755), 0);
    hmtest::writeFile(bad + "/x", "abc");
    window.scanPath(pathText(bad));
    ASSERT_TRUE(waitUntil([&] { return !window.isJobRunning(); }));
    ASSERT_TRUE(window.currentTree()) << window.statusText().toStdString();
    EXPECT_EQ(window.currentTree()->node(0).nameView(), bad);
    EXPECT_EQ(window.currentTree()->node(0).filesBelow, 1u);
    // The header sizes its volume too, as the exports' drive columns need.
    EXPECT_GT(window.header()->spaceTotal(), 0u);
}

TEST_F(MainWindowJob, CancelAtOnceAndMidScan) {
    // Enough files that a loaded machine still has the walk running when the cancel comes.
    constexpr int kFolders = 400, kFiles = 40;
    windowtest::makeFolder(m_root, kFolders, kFiles);
    MainWindow window;

    // At once: the cancel flag is set before the worker has read anything.
    window.scanFolder(QString::fromStdString(m_root));
    window.stopJob();
    ASSERT_TRUE(waitUntil([&] { return !window.isJobRunning(); }));
    EXPECT_TRUE(window.statusText().startsWith("Scan canceled after ")) << window.statusText().toStdString();
    if (!window.currentTree()) {
        EXPECT_TRUE(window.isEmptyPageShown());
        EXPECT_EQ(window.emptyState()->text(), "Scan Cancelled");
    }

    // Mid-scan: a partial tree of more than the root is kept and shown.
    bool cancelledMidway = false;
    for (int attempt = 0; attempt < 10 && !cancelledMidway; ++attempt) {
        window.scanFolder(QString::fromStdString(m_root));
        // The worker needs nothing from this thread: watch its counters without turning the loop.
        while (window.scanProgress().files.load() < 50 && !window.scanProgress().cancel.load()
               && window.scanProgress().fraction.load() < 1)
            std::this_thread::yield();
        const bool stillRunning = window.isJobRunning();
        window.stopJob();
        ASSERT_TRUE(waitUntil([&] { return !window.isJobRunning(); }));
        // A tree holding every file means the walk ended before the cancel: try again.
        cancelledMidway = stillRunning && window.currentTree() && window.currentTree()->nodeCount > 1
                          && window.currentTree()->node(0).filesBelow < uint32_t(kFolders * kFiles);
    }
    ASSERT_TRUE(cancelledMidway) << "the scan always ended before it could be cancelled";
    EXPECT_TRUE(window.statusText().startsWith("Scan canceled after ")) << window.statusText().toStdString();
    EXPECT_FALSE(window.isEmptyPageShown());
    EXPECT_LT(window.currentTree()->node(0).filesBelow, uint32_t(kFolders * kFiles + 1));
}

TEST_F(MainWindowJob, SourceChoicesWaitWhileAJobRuns) {
    const std::string first = m_root + "/first";
    ::mkdir(first.c_str(), 0755);
    windowtest::makeFolder(first, 400, 15);
    MainWindow window;
    // Any chooser that opens is counted and closed, so a fault cannot hang the test.
    int choosersOpened = 0;
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [&] {
        if (QWidget* modal = QApplication::activeModalWidget()) {
            ++choosersOpened;
            modal->close();
        }
    });
    closer.start(10);
    window.scanFolder(QString::fromStdString(first));
    ASSERT_TRUE(window.isJobRunning());
    const QString title = window.windowTitle();
    window.chooseFolder();      // F3
    window.chooseMultiple();    // Alt+F3
    window.chooseCsvFile();     // Shift+F3
    window.chooseMftFile();
    window.onSourceSelected(QString::fromStdString(m_root));
    EXPECT_EQ(choosersOpened, 0);
    EXPECT_EQ(window.windowTitle(), title);
    ASSERT_TRUE(waitUntil([&] { return !window.isJobRunning(); }));
    EXPECT_EQ(window.header()->selectedPath(), QString::fromStdString(first));
    EXPECT_EQ(window.windowTitle(), title);
}

TEST_F(MainWindowJob, CancelEndsAScanStuckOnADeadMountAtOnce) {
    if (!hmtest::isRoot())
        GTEST_SKIP() << "mounting a FUSE file system needs root";
    const std::string point = m_root + "/dead";
    const std::string alive = m_root + "/alive";
    const std::unique_ptr<hmtest::DeadFuseMount> dead = deadBesideAlive();
    if (!dead->ok())
        GTEST_SKIP() << dead->error();
    QElapsedTimer clock;
    {
        MainWindow window;
        window.scanFolder(QString::fromStdString(point));
        QTest::qWait(300);  // the worker is in the kernel by now
        ASSERT_TRUE(window.isJobRunning());
        clock.start();
        window.stopJob();
        ASSERT_TRUE(waitUntil([&] { return !window.isJobRunning(); }, 5000));
        EXPECT_LT(clock.elapsed(), 2000);
        EXPECT_TRUE(window.statusText().startsWith("Scan canceled after ")) << window.statusText().toStdString();
        EXPECT_EQ(window.emptyState()->text(), "Scan Cancelled");
        // The slot is free while the old worker is still stuck.
        scan(window, alive);
        ASSERT_TRUE(window.currentTree());
        EXPECT_EQ(window.currentTree()->node(0).filesBelow, 7u);
        // The folder that holds the mount is read whole, the mount point listed without waiting
        // on it, and the watches are set up.
        dead->abortAfter(std::chrono::seconds(20));  // a scan that waits in the mount fails instead of hanging
        clock.start();
        scan(window, m_root);
        EXPECT_LT(clock.elapsed(), 10000);
        const int64_t mountPoint = window.currentTree()->findPath(point.data(), point.size());
        ASSERT_GE(mountPoint, 0);
        EXPECT_EQ(window.currentTree()->node(uint32_t(mountPoint)).flags, svl::NodeFlag::Folder | svl::NodeFlag::OtherDevice);
        // Not asked, it has no size and no date of its own, as in the export.
        EXPECT_EQ(window.currentTree()->node(uint32_t(mountPoint)).allocated, 0u);
        const QModelIndex row = window.nodeModel()->indexForId(uint32_t(mountPoint));
        EXPECT_EQ(row.siblingAtColumn(NodeModel::ModifiedColumn).data().toString(), QString());
        EXPECT_EQ(window.currentTree()->node(0).filesBelow, 7u);
        EXPECT_NE(window.liveMonitor()->mode(), LiveMonitor::Mode::Idle);
        window.scanFolder(QString::fromStdString(point));
        QTest::qWait(100);
        clock.restart();
    }
    // Closing the window does not wait for ever for a worker stuck in the kernel.
    EXPECT_LT(clock.elapsed(), 5000);
}

TEST_F(MainWindowJob, ChoosersStartAtHomeWhenTheirFolderDoesNotAnswer) {
    if (!hmtest::isRoot())
        GTEST_SKIP() << "mounting a FUSE file system needs root";
    const std::string point = m_root + "/dead";
    ::mkdir(point.c_str(), 0755);
    hmtest::DeadFuseMount dead(point);
    if (!dead.ok())
        GTEST_SKIP() << dead.error();
    MainWindow window;
    window.header()->selectPath(QString::fromStdString(point));
    AppSettings::instance()->setValue("csvImportLastFolder", QString::fromStdString(point));
    QStringList starts;
    QTimer closer;
    QElapsedTimer sinceTick;
    sinceTick.start();
    qint64 longest = 0;
    QObject::connect(&closer, &QTimer::timeout, [&] {
        longest = std::max(longest, sinceTick.restart());
        if (auto* chooser = qobject_cast<FolderChooser*>(QApplication::activeModalWidget())) {
            starts << chooser->directory();
            chooser->reject();
        } else if (auto* files = qobject_cast<QFileDialog*>(QApplication::activeModalWidget())) {
            starts << files->directory().absolutePath();
            files->reject();
        }
    });
    closer.start(10);
    dead.abortAfter(std::chrono::seconds(5));
    QElapsedTimer clock;
    clock.start();
    sinceTick.restart();
    window.chooseFolder();
    window.chooseCsvFile();
    AppSettings::instance()->setValue("mftLastFolder", QString::fromStdString(point));
    window.saveFileNameHook = [&](const QString&, const QString& proposed, const QString&) {
        starts << proposed;
        return QString();
    };
    sinceTick.restart();
    window.dumpMft(QStringLiteral("/media/usb"));
    EXPECT_LT(clock.elapsed(), 2000);
    EXPECT_LT(longest, 300) << "the window answers while the choosers' folders are asked";
    EXPECT_EQ(starts, QStringList({QDir::homePath(), QDir::homePath(), QDir::home().filePath("usb.mft")}));
}

// F3, the path of a dead mount typed and Return: the chooser says the folder does not answer
// and stays open; a folder typed next is chosen and scanned.
TEST_F(MainWindowJob, TheFolderChooserSaysATypedDeadFolderDoesNotAnswer) {
    if (!hmtest::isRoot())
        GTEST_SKIP() << "mounting a FUSE file system needs root";
    const std::string point = m_root + "/dead";
    const std::string alive = m_root + "/alive";
    const std::unique_ptr<hmtest::DeadFuseMount> dead = deadBesideAlive();
    if (!dead->ok())
        GTEST_SKIP() << dead->error();
    dead->abortAfter(std::chrono::seconds(20));  // a chooser that waits in the mount is let go, and fails on the time
    MainWindow window;
    window.header()->selectPath(QString::fromStdString(m_root));
    dialogtest::ChooserTyping user;
    user.paths = {QString::fromStdString(point), QString::fromStdString(alive)};
    user.start();
    QElapsedTimer clock;
    clock.start();
    window.chooseFolder();
    EXPECT_LT(clock.elapsed(), 5000);
    ASSERT_EQ(user.warnings.size(), 1) << user.warnings.join("|").toStdString();
    EXPECT_TRUE(user.warnings[0].contains("does not answer")) << user.warnings[0].toStdString();
    EXPECT_EQ(window.header()->selectedPath(), QString::fromStdString(alive));
    ASSERT_TRUE(waitUntil([&] { return window.currentTree() && !window.isJobRunning(); }));
    EXPECT_EQ(window.currentTree()->node(0).filesBelow, 7u);
}

// A mount that never answered and one whose server was stopped, scanned alone and beside a
// readable folder: the window stays answering and ends in a message or a marked row in time.
TEST_F(MainWindowJob, RootsThatDoNotAnswerEndInAMessageNotAnEmptyFolder) {
    if (!hmtest::isRoot())
        GTEST_SKIP() << "mounting FUSE file systems needs root";
    const std::unique_ptr<hmtest::DeadFuseMount> dead = deadBesideAlive();
    if (!dead->ok())
        GTEST_SKIP() << dead->error();
    dead->abortAfter(std::chrono::seconds(60));
    hmtest::StoppedFuseMount stopped(m_root);
    if (!stopped.ok())
        GTEST_SKIP() << stopped.error();
    hmtest::writeFile(stopped.mountPoint() + "/f", "x");
    stopped.stop(std::chrono::seconds(60));
    const QString alive = QString::fromStdString(m_root + "/alive");
    MainWindow window;
    for (const std::string& point : {m_root + "/dead", stopped.mountPoint()}) {
        const QString root = QString::fromStdString(point);
        QElapsedTimer clock;
        clock.start();
        qint64 longestTurn = 0;
        const auto waitAnswering = [&] {
            while (window.isJobRunning() && clock.elapsed() < 10000) {
                QElapsedTimer turn;
                turn.start();
                QTest::qWait(20);
                longestTurn = std::max(longestTurn, turn.elapsed());
            }
        };
        window.scanFolder(root);
        waitAnswering();
        EXPECT_EQ(window.statusText(), "Could not read " + root + ": does not answer");
        EXPECT_EQ(window.emptyState()->text(), "Scan Failed");
        window.scanMultiple({alive, root});
        waitAnswering();
        EXPECT_LT(clock.elapsed(), 10000);
        EXPECT_LT(longestTurn, 1000) << "the window answered throughout";
        EXPECT_TRUE(window.statusText().endsWith(" - Could not read " + root + ": does not answer"))
            << window.statusText().toStdString();
        ASSERT_TRUE(window.currentTree());
        EXPECT_EQ(window.currentTree()->node(1).filesBelow, 7u);
        EXPECT_EQ(window.currentTree()->node(2).flags, svl::NodeFlag::Folder | svl::NodeFlag::Unreadable);
        EXPECT_FALSE(window.header()->findChild<QToolButton*>(QStringLiteral("accessDeniedButton"))->isVisibleTo(
            window.header()));
    }
}

TEST_F(MainWindowJob, OnlyTheLastOfTwoQuickFiltersShows) {
    windowtest::makeFolder(m_root, 4, 6);
    AppSettings::instance()->setValue("showFilterPanel", true);
    MainWindow window;
    scan(window, m_root);
    const auto full = window.currentTree();
    window.applyFilterTexts("*.aaa", "", false);
    window.applyFilterTexts("*.bbb", "", false);
    ASSERT_TRUE(waitUntil([&] { return !window.isFiltering(); }));
    const auto shown = window.displayedTree();
    ASSERT_TRUE(shown);
    EXPECT_NE(shown, full);
    EXPECT_EQ(window.currentTree(), full);
    EXPECT_TRUE(shows(*shown, m_root + "/d0/f1.bbb"));
    EXPECT_FALSE(shows(*shown, m_root + "/d0/f0.aaa"));
    EXPECT_EQ(shown->node(0).filesBelow, 1u + 4 * 3);

    // A filter that matches nothing leaves the root alone, and the views show that.
    window.applyFilterTexts("*.nomatch", "", false);
    ASSERT_TRUE(waitUntil([&] { return !window.isFiltering(); }));
    ASSERT_TRUE(window.displayedTree());
    EXPECT_EQ(window.displayedTree()->nodeCount, 1u);
    EXPECT_FALSE(window.isEmptyPageShown());

    // Turning the panel off shows the full tree at once, without a thread.
    AppSettings::instance()->setValue("showFilterPanel", false);
    window.refreshDisplayedTree(false);
    EXPECT_FALSE(window.isFiltering());
    EXPECT_EQ(window.displayedTree(), full);
}

TEST_F(MainWindowJob, ClearedFilterEndsWithTheNextScanAndAFilterInForceIsNamed) {
    windowtest::makeFolder(m_root, 2, 3);
    AppSettings::instance()->setValue("showFilterPanel", true);
    MainWindow window;
    window.show();
    scan(window, m_root);
    EXPECT_TRUE(window.filterLabel()->isHidden());
    FilterPanel* panel = window.filterPanel();
    QTest::keyClicks(panel->includeField()->lineEdit(), QStringLiteral("zzz"));
    QTest::keyClick(panel->includeField()->lineEdit(), Qt::Key_Return);
    ASSERT_TRUE(waitUntil([&] { return !window.isFiltering(); }));
    EXPECT_EQ(window.displayedTree()->nodeCount, 1u);
    EXPECT_FALSE(window.filterLabel()->isHidden());
    EXPECT_EQ(window.filterLabel()->text(), QStringLiteral("Include Filter: zzz"));

    // Clear keeps the view filtered until applied; a new scan applies the empty panel.
    QTest::mouseClick(panel->clearButton(), Qt::LeftButton);
    EXPECT_EQ(window.displayedTree()->nodeCount, 1u);
    EXPECT_FALSE(window.filterLabel()->isHidden());
    scan(window, m_root);
    ASSERT_TRUE(waitUntil([&] { return !window.isFiltering(); }));
    EXPECT_EQ(window.displayedTree(), window.currentTree());
    EXPECT_EQ(window.displayedTree()->nodeCount, 1u + 1 + 2 * (1 + 3));
    EXPECT_TRUE(window.filterLabel()->isHidden());
}

TEST_F(MainWindowJob, RemovalDuringAFilterIsAppliedToItsResult) {
    windowtest::makeFolder(m_root, 2, 4);
    AppSettings::instance()->setValue("showFilterPanel", true);
    MainWindow window;
    scan(window, m_root);
    const std::string gone = m_root + "/d1/f1.bbb";
    window.applyFilterTexts("*.bbb", "", false);
    ASSERT_TRUE(window.isFiltering());
    window.onPathsRemoved({QString::fromStdString(gone)});
    ASSERT_TRUE(waitUntil([&] { return !window.isFiltering(); }));
    ASSERT_NE(window.displayedTree(), window.currentTree());
    EXPECT_FALSE(shows(*window.displayedTree(), gone));
    EXPECT_FALSE(shows(*window.currentTree(), gone));
    EXPECT_TRUE(shows(*window.displayedTree(), m_root + "/d1/f3.bbb"));
    EXPECT_EQ(window.displayedTree()->node(0).filesBelow, 1u + 2 * 2 - 1);
    // The file-types summary counts what is left, in the colours it had (once it has them).
    const FileTypesModel* types = window.fileTypes()->fileTypesModel();
    ASSERT_TRUE(waitUntil([&] { return !window.treemapPanel()->treemap()->buildPending(); }));
    const auto coloursBefore = types->colorMap();
    ASSERT_FALSE(coloursBefore.empty());
    window.onPathsRemoved({QString::fromStdString(m_root + "/d0/f1.bbb")});
    ASSERT_TRUE(waitUntil([&] { return !window.treemapPanel()->treemap()->buildPending(); }));
    ASSERT_EQ(types->rows().size(), 1u);
    EXPECT_EQ(types->rows()[0].files, 3u);
    EXPECT_EQ(types->colorMap(), coloursBefore);

    // Without a filter running the removal is immediate; a path outside the displayed
    // (filtered) tree still leaves the full tree.
    const std::string hidden = m_root + "/d0/f0.aaa";
    window.onPathsRemoved({QString::fromStdString(hidden)});
    EXPECT_FALSE(shows(*window.currentTree(), hidden));
    const std::string shownFile = m_root + "/d0/f3.bbb";
    window.onPathsRemoved({QString::fromStdString(shownFile)});
    EXPECT_FALSE(shows(*window.displayedTree(), shownFile));
    EXPECT_FALSE(shows(*window.currentTree(), shownFile));
}

// A start folder that is a link into a mount that never answers: the window keeps answering
// (no turn of its event loop over 300 ms) while the start looks at it and the scan ends.
TEST_F(MainWindowJob, AStartOnADeadMountKeepsTheWindowAnswering) {
    if (!hmtest::isRoot())
        GTEST_SKIP() << "mounting a FUSE file system needs root";
    const std::unique_ptr<hmtest::DeadFuseMount> dead = deadBesideAlive();
    if (!dead->ok())
        GTEST_SKIP() << dead->error();
    dead->abortAfter(std::chrono::seconds(30));
    const std::string link = m_root + "/link";
    ASSERT_EQ(::symlink((m_root + "/dead").c_str(), link.c_str()), 0);
    MainWindow window;
    window.show();
    QElapsedTimer sinceTick;
    qint64 longest = 0;
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [&] {
        longest = std::max(longest, sinceTick.elapsed());
        sinceTick.restart();
    });
    tick.start(10);
    QTest::qWait(50);
    sinceTick.restart();
    longest = 0;
    window.scanPath(QString::fromStdString(link));
    ASSERT_TRUE(waitUntil([&] { return !window.isJobRunning(); }));
    EXPECT_LT(longest, 300);
    EXPECT_EQ(window.statusText(), "Could not read " + QString::fromStdString(link) + ": does not answer");
    EXPECT_GE(window.header()->sourceCombo()->findData(QStringLiteral("/")), 0);
}

// Closing the window ends the event loop at once and gives the job up, also while it waits on a
// mount that never answers.
TEST_F(MainWindowJob, ClosingTheWindowDuringAScanDoesNotHang) {
    std::vector<std::string> roots{m_root};
    std::unique_ptr<hmtest::DeadFuseMount> dead;
    if (hmtest::isRoot()) {
        dead = deadBesideAlive();
        if (dead->ok()) {
            dead->abortAfter(std::chrono::seconds(30));
            roots.push_back(m_root + "/dead");
        }
    }
    windowtest::makeFolder(m_root, 100, 10);
    for (const std::string& root : roots) {
        SCOPED_TRACE(root);
        auto window = std::make_unique<MainWindow>();
        window->show();
        window->scanFolder(QString::fromStdString(root));
        QTest::qWait(200);
        QElapsedTimer clock;
        clock.start();
        QTimer::singleShot(0, window.get(), [&] { window->close(); });
        EXPECT_TRUE(waitUntil([&] { return !window->isVisible(); }, 5000));
        EXPECT_LT(clock.elapsed(), 1000);
        EXPECT_FALSE(window->isJobRunning());
        window.reset();
        EXPECT_LT(clock.elapsed(), 1500) << "the window does not wait for its worker";
    }
}

}  // namespace

namespace {

TEST_F(MainWindowJob, CommandLineFiltersApplyAfterTheScanAndExcludeDuringIt) {
    windowtest::makeFolder(m_root, 3, 4);
    MainWindow window;
    // The panel stays shown although the setting says hidden.
    window.setFilterTexts("*.bbb", "d2");
    EXPECT_FALSE(window.filterPanel()->isHidden());
    scan(window, m_root);
    ASSERT_TRUE(waitUntil([&] { return !window.isFiltering(); }));
    // The exclude text left d2 out of the scan itself; the include text filters afterwards.
    EXPECT_FALSE(shows(*window.currentTree(), m_root + "/d2"));
    EXPECT_TRUE(shows(*window.currentTree(), m_root + "/d1/f0.aaa"));
    EXPECT_FALSE(shows(*window.displayedTree(), m_root + "/d1/f0.aaa"));
    EXPECT_TRUE(shows(*window.displayedTree(), m_root + "/d1/f1.bbb"));
}

}  // namespace

namespace {

TEST_F(MainWindowJob, DeletionOutsideTheProgramLeavesTheViews) {
    windowtest::makeFolder(m_root, 2, 2);
    MainWindow window;
    scan(window, m_root);
    ASSERT_NE(window.liveMonitor()->mode(), LiveMonitor::Mode::Idle);
    const std::string gone = m_root + "/d1/f0.aaa";
    ASSERT_EQ(::unlink(gone.c_str()), 0);
    EXPECT_TRUE(waitUntil([&] { return !shows(*window.displayedTree(), gone); }, 10000));
    EXPECT_EQ(window.displayedTree()->node(0).filesBelow, 4u);

    // A folder moved away and made again at once: its old files leave the views, it stays.
    hmtest::TempDir away("hm-window-away");
    ASSERT_EQ(::rename((m_root + "/d0").c_str(), (away / "d0").c_str()), 0);
    ASSERT_EQ(::mkdir((m_root + "/d0").c_str(), 0755), 0);
    EXPECT_TRUE(waitUntil([&] { return window.displayedTree()->node(0).filesBelow == 2; }, 10000));
    EXPECT_TRUE(shows(*window.displayedTree(), m_root + "/d0"));

    // Switched off, the window stops watching.
    AppSettings::instance()->setValue("monitorFileSystemForChanges", false);
    EXPECT_EQ(window.liveMonitor()->mode(), LiveMonitor::Mode::Idle);
}

}  // namespace
