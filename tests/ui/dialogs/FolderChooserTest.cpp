// The folder chooser as a user meets it: hidden folders shown and hidden again, the typed path
// completed and opened, a slow mount listed in full, and a mount that stops answering (one
// that never answered, one whose server stopped, one behind a link) refused once its limit
// has passed, costing only itself, while the chooser stays open and the window answers.
#include "ui/dialogs/FolderChooser.h"

#include "core/scan/MountWatch.h"
#include "tests/support/FuseServer.h"
#include "tests/ui/dialogs/DialogTestSupport.h"
#include "ui/header/VolumeProbe.h"

#include <QAction>
#include <QCompleter>
#include <QDialogButtonBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>

#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <memory>

using dialogtest::stored;
using namespace std::chrono_literals;

namespace {

class FolderChooserTest : public ::testing::Test {
protected:
    void SetUp() override {
        // A mount is given up after 1 s without an answer (the tests' own seam).
        svl::setAnswerLimits({1000ms, 3000ms});
        AppSettings::instance()->settings()->clear();
        for (const char* name : {"photos", ".cache", "audit", "audio"})
            ::mkdir((m_dir / name).c_str(), 0755);
        hmtest::writeFile(m_dir / ".profile", "x");
        // Links are listed by what they lead to.
        ::symlink("photos", (m_dir / "linked").c_str());
        ::symlink(".profile", (m_dir / "profile").c_str());
    }
    void TearDown() override { svl::setAnswerLimits({}); }
    static QStringList rows(const FolderChooser& chooser) {
        QStringList names;
        const auto* list = chooser.findChild<QListWidget*>(QStringLiteral("folders"));
        for (int i = 0; i < list->count(); ++i)
            names << list->item(i)->text();
        return names;
    }
    // Waits until the chooser has every answer it asked for.
    static bool settled(const FolderChooser& chooser, int ms = 10000) {
        return QTest::qWaitFor([&] { return !chooser.isListing() && !chooser.isChecking(); }, ms);
    }
    hmtest::TempDir m_dir{"hm-chooser"};
    QString m_root = QString::fromStdString(m_dir.path());
};

// Closes every warning box that comes up and keeps its text and when it came.
struct Warnings {
    QStringList texts;
    QList<qint64> times;
    QElapsedTimer clock;
    QTimer closer;
    Warnings() {
        QObject::connect(&closer, &QTimer::timeout, [this] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                texts << box->text();
                times << clock.elapsed();
                box->close();
            }
        });
        closer.start(10);
        clock.start();
    }
};

// The three ways a user reaches a dead mount point `point` in folder `parent`: picked with OK,
// double-clicked, typed with Return. Each is said not to answer once the mount's limit (1 s)
// has passed, the window answering meanwhile, and the chooser stays open on `parent`.
void expectRefused(const QString& parent, const QString& point) {
    FolderChooser chooser(QStringLiteral("Choose"), parent);
    chooser.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&chooser));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !chooser.isListing(); }, 10000));
    auto* list = chooser.findChild<QListWidget*>(QStringLiteral("folders"));
    auto* field = chooser.findChild<QLineEdit*>();
    const QList<QListWidgetItem*> found = list->findItems(QFileInfo(point).fileName(), Qt::MatchExactly);
    ASSERT_EQ(found.size(), 1);
    Warnings warnings;
    dialogtest::LoopGaps gaps;
    const auto next = [&](int count) {
        return QTest::qWaitFor([&] { return warnings.texts.size() == count; }, 10000);
    };
    list->setCurrentItem(found[0]);
    chooser.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
    ASSERT_TRUE(next(1));
    const QPoint at = list->visualItemRect(found[0]).center();
    warnings.clock.restart();
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, at);
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, at);
    ASSERT_TRUE(next(2));
    field->setText(point);
    warnings.clock.restart();
    QTest::keyClick(field, Qt::Key_Return);
    ASSERT_TRUE(next(3));
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(warnings.texts[i].contains("does not answer")) << warnings.texts[i].toStdString();
        EXPECT_LT(warnings.times[i], 5000) << "way " << i;
    }
    EXPECT_LT(gaps.longest, 300);
    EXPECT_TRUE(chooser.isVisible());
    EXPECT_EQ(chooser.directory(), parent);
    EXPECT_TRUE(chooser.selectedFolder().isEmpty());
}

}  // namespace

TEST_F(FolderChooserTest, CtrlHShowsHiddenFoldersAndTheChoiceIsKept) {
    {
        FolderChooser chooser(QStringLiteral("Choose"), m_root);
        chooser.show();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&chooser));
        ASSERT_TRUE(settled(chooser));
        EXPECT_EQ(rows(chooser), (QStringList{"audio", "audit", "linked", "photos"}));
        auto* field = chooser.findChild<QLineEdit*>();
        field->setText(m_root + "/");
        QTest::keyClicks(field, ".");
        EXPECT_EQ(field->completer()->completionCount(), 0);
        QTest::keyClick(chooser.findChild<QListWidget*>(QStringLiteral("folders")), Qt::Key_H, Qt::ControlModifier);
        ASSERT_TRUE(settled(chooser));
        EXPECT_EQ(rows(chooser), (QStringList{".cache", "audio", "audit", "linked", "photos"}));
        QTest::keyClicks(field, "c");
        QTRY_COMPARE(field->completer()->completionCount(), 1);  // completed too
        EXPECT_EQ(stored("folderChooserShowHidden"), QVariant(true));
    }
    FolderChooser next(QStringLiteral("Choose"), m_root);
    ASSERT_TRUE(settled(next));
    EXPECT_EQ(rows(next), (QStringList{".cache", "audio", "audit", "linked", "photos"}));
    // The list's context menu turns them off again.
    const QList<QAction*> menu = next.findChild<QListWidget*>(QStringLiteral("folders"))->actions();
    ASSERT_EQ(menu.size(), 1);
    menu[0]->trigger();
    ASSERT_TRUE(settled(next));
    EXPECT_EQ(rows(next), (QStringList{"audio", "audit", "linked", "photos"}));
    EXPECT_EQ(stored("folderChooserShowHidden"), QVariant(false));
}

// Completion lists the typed folder as its names come; Return opens a typed folder, a
// second Return chooses it; Backspace and Alt+Up go up.
TEST_F(FolderChooserTest, TheTypedPathIsCompletedOpenedAndChosen) {
    FolderChooser chooser(QStringLiteral("Choose"), QStringLiteral("/"));
    chooser.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&chooser));
    ASSERT_TRUE(settled(chooser));
    auto* field = chooser.findChild<QLineEdit*>();
    QCompleter* completer = field->completer();
    field->clear();
    QTest::keyClicks(field, "us");
    QTRY_COMPARE(completer->currentCompletion(), QStringLiteral("usr"));  // relative to the folder listed
    field->clear();
    QTest::keyClicks(field, m_root + "/aud");
    QTRY_COMPARE(completer->completionCount(), 2);
    QStringList offered;
    for (int i = 0; completer->setCurrentRow(i); ++i)
        offered << completer->currentCompletion();
    EXPECT_EQ(offered, (QStringList{m_root + "/audio", m_root + "/audit"}));
    QTest::keyClicks(field, "it");
    EXPECT_EQ(completer->completionCount(), 1);

    field->setText(m_root + "/audit");
    QTest::keyClick(field, Qt::Key_Return);
    ASSERT_TRUE(settled(chooser));
    EXPECT_EQ(chooser.directory(), m_root + "/audit");
    EXPECT_TRUE(chooser.isVisible());
    auto* list = chooser.findChild<QListWidget*>(QStringLiteral("folders"));
    QTest::keyClick(list, Qt::Key_Backspace);
    ASSERT_TRUE(settled(chooser));
    EXPECT_EQ(chooser.directory(), m_root);
    list->setCurrentRow(0);
    QTest::keyClick(list, Qt::Key_Return);
    ASSERT_TRUE(settled(chooser));
    EXPECT_EQ(chooser.directory(), m_root + "/audio") << "Return in the list opens the current row";
    QTest::keyClick(list, Qt::Key_Backspace);
    ASSERT_TRUE(settled(chooser));
    field->clear();
    QTest::keyClicks(field, "aud");
    QTRY_COMPARE(completer->completionCount(), 2);
    QTest::keyClick(field, Qt::Key_Up, Qt::AltModifier);
    ASSERT_TRUE(settled(chooser));
    EXPECT_EQ(chooser.directory(), QFileInfo(m_root).path());
    field->clear();
    QTest::keyClicks(field, QFileInfo(m_root).fileName());
    QTRY_COMPARE(completer->completionCount(), 1);
    // Places: home first, "/" once (as a volume or on its own).
    auto* places = chooser.findChild<QListWidget*>(QStringLiteral("places"));
    int roots = 0;
    for (int i = 0; i < places->count(); ++i)
        roots += places->item(i)->data(Qt::UserRole).toString() == "/";
    EXPECT_EQ(roots, 1);
    {
        // No volume lists "/": it is still offered once.
        volumeSystem().readMounts = [] { return std::vector<svl::MountEntry>(); };
        FolderChooser bare(QStringLiteral("Choose"), m_root);
        resetVolumeSystem();
        const auto* bareRoots = bare.findChild<QListWidget*>(QStringLiteral("places"));
        int count = 0;
        for (int i = 0; i < bareRoots->count(); ++i)
            count += bareRoots->item(i)->data(Qt::UserRole).toString() == "/";
        EXPECT_EQ(count, 1);
    }
    Warnings warnings;
    field->setText(QStringLiteral("~"));
    QTest::keyClick(field, Qt::Key_Return);
    ASSERT_TRUE(settled(chooser));
    EXPECT_EQ(chooser.directory(), QDir::homePath());
    EXPECT_EQ(places->selectedItems(), QList<QListWidgetItem*>{places->item(0)}) << "the place shown is marked";
    for (int i = 0; i < places->count(); ++i)
        if (places->item(i)->data(Qt::UserRole).toString() == "/")
            places->setCurrentRow(i);
    QTest::keyClick(places, Qt::Key_Return);
    ASSERT_TRUE(settled(chooser));
    EXPECT_EQ(chooser.directory(), "/");
    // A missing folder or a file is refused and the chooser stays where it was.
    field->setText(m_root + "/missing");
    QTest::keyClick(field, Qt::Key_Return);
    ASSERT_TRUE(QTest::qWaitFor([&] { return warnings.texts.size() == 1; }, 10000));
    field->setText(m_root + "/profile");
    chooser.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return warnings.texts.size() == 2; }, 10000));
    for (const QString& text : warnings.texts)
        EXPECT_TRUE(text.startsWith("Could not read")) << text.toStdString();
    EXPECT_EQ(chooser.directory(), "/");
    FolderChooser missing(QStringLiteral("Choose"), m_root + "/missing");
    QTRY_COMPARE(missing.directory(), QDir::homePath());
    QTest::mouseClick(places->viewport(), Qt::LeftButton, {}, places->visualItemRect(places->item(0)).center());
    ASSERT_TRUE(settled(chooser));
    EXPECT_EQ(chooser.directory(), QDir::homePath());
    field->setText(m_root);
    QTest::keyClick(field, Qt::Key_Return);
    ASSERT_TRUE(settled(chooser));
    QTest::keyClick(field, Qt::Key_Return);
    QTRY_COMPARE(chooser.result(), int(QDialog::Accepted));
    EXPECT_EQ(chooser.selectedFolder(), m_root);
}

TEST_F(FolderChooserTest, ADeadFuseMountIsRefusedWithinItsLimit) {
    if (!hmtest::isRoot())
        GTEST_SKIP() << "mounting a FUSE file system needs root";
    ::mkdir((m_dir / "dead").c_str(), 0755);
    hmtest::DeadFuseMount dead(m_dir / "dead");
    if (!dead.ok())
        GTEST_SKIP() << dead.error();
    dead.abortAfter(std::chrono::seconds(20));
    expectRefused(m_root, m_root + "/dead");
}

// An NTFS volume whose ntfs-3g server answered, then was stopped: what the kernel remembers of
// it still answers, so only a question that reaches the server shows it dead.
TEST_F(FolderChooserTest, AMountWhoseServerStoppedIsRefusedWithinItsLimit) {
    if (!hmtest::isRoot() || !hmtest::haveTool("mkntfs") || !hmtest::haveTool("ntfs-3g"))
        GTEST_SKIP() << "needs root, mkntfs and ntfs-3g";
    hmtest::StoppedFuseMount ntfs(m_dir.path());
    ASSERT_TRUE(ntfs.ok()) << ntfs.error();
    const QString point = QString::fromStdString(ntfs.mountPoint());
    { FolderChooser first(QStringLiteral("Choose"), point); }  // the kernel now knows its root
    ntfs.stop(std::chrono::seconds(20));
    expectRefused(m_root, point);
}

// Folders on mounts served by the test, each typed with Return: one answering 8 entries every
// 250 ms is listed in full; one whose OPENDIR is withheld does not answer once the limit has
// passed (the list stays); one whose listing fails part-way says so over what it found. The
// window's loop is never held over 300 ms.
TEST_F(FolderChooserTest, ASlowFolderIsListedInFullAndOnlyASilentOneDoesNotAnswer) {
    if (!hmtest::isRoot())
        GTEST_SKIP() << "mounting a FUSE file system needs root";
    std::vector<hmtest::FuseEntry> sixty;
    for (int i = 0; i < 60; ++i)
        sixty.push_back({QStringLiteral("d%1").arg(i, 2, 10, QLatin1Char('0')).toStdString(),
                         hmtest::FuseEntry::Kind::Folder});
    using Server = hmtest::FuseServer;
    struct Row {
        const char* name;
        std::function<void(Server&)> setup, midway;  // midway: once the first entries are shown
        int fewest, most;
        QString warning;
    };
    const std::vector<Row> table = {
        {"slow", [](Server& s) { s.setReaddirChunk(8), s.setAnswerDelay(250ms); }, {}, 60, 60, {}},
        {"silent", [](Server& s) { s.addRule({hmtest::FuseOp::Opendir, "", hmtest::FuseAction::Withhold}); }, {},
         0, 0, "does not answer"},
        {"failing", [](Server& s) { s.setReaddirChunk(8), s.setAnswerDelay(100ms); },
         [](Server& s) { s.addRule({hmtest::FuseOp::Readdir, "", hmtest::FuseAction::Fail, EIO}); }, 8, 59,
         "Could not read"},
    };
    // Kept to the end: a device number freed by one would come back for the next.
    std::vector<std::unique_ptr<Server>> servers;
    for (const Row& row : table) {
        SCOPED_TRACE(row.name);
        Server& server = *servers.emplace_back(std::make_unique<Server>(sixty));
        row.setup(server);
        ASSERT_TRUE(server.mount(m_dir / row.name)) << server.error();
        const QString point = QString::fromStdString(server.mountPoint());
        FolderChooser chooser(QStringLiteral("Choose"), m_root);
        chooser.show();
        ASSERT_TRUE(settled(chooser));
        Warnings warnings;
        dialogtest::LoopGaps gaps;
        auto* field = chooser.findChild<QLineEdit*>();
        field->setText(point);
        QTest::keyClick(field, Qt::Key_Return);
        if (row.midway) {
            ASSERT_TRUE(QTest::qWaitFor([&] { return chooser.directory() == point && !rows(chooser).isEmpty(); }, 10000));
            row.midway(server);
        }
        ASSERT_TRUE(settled(chooser, 20000));
        QTest::qWait(50);  // a warning comes up
        const int listed = chooser.directory() == point ? int(rows(chooser).size()) : 0;
        EXPECT_GE(listed, row.fewest);
        EXPECT_LE(listed, row.most);
        EXPECT_EQ(chooser.directory(), row.fewest > 0 ? point : m_root);
        EXPECT_EQ(warnings.texts.size(), row.warning.isEmpty() ? 0 : 1) << warnings.texts.join('|').toStdString();
        if (!row.warning.isEmpty()) {
            EXPECT_TRUE(warnings.texts.value(0).contains(row.warning)) << warnings.texts.value(0).toStdString();
        }
        if (row.warning.startsWith("Could")) {
            EXPECT_TRUE(chooser.findChild<QLabel*>("listingStatus")->text().startsWith(row.warning)) << "not an empty folder";
        }
        EXPECT_LT(gaps.longest, 300);
    }
    // The slow folder as the ordinary account.
    if (hmtest::testUserUid() == uid_t(-1))
        return;
    ::chmod(m_dir.path().c_str(), 0755);
    const QString slow = QString::fromStdString(servers[0]->mountPoint());
    const int rc = hmtest::runAsTestUser([&] {
        ::alarm(60);
        FolderChooser chooser(QStringLiteral("Choose"), slow);
        const bool listed = QTest::qWaitFor([&] { return !chooser.isListing(); }, 20000);
        return listed && chooser.directory() == slow && rows(chooser).size() == 60 ? 0 : 1;
    });
    EXPECT_EQ(rc, 0);
}

// A healthy folder holding a link into a mount that never answers: its folders are listed at
// once, the link is shown once it is given up, and other folders on the same disk list after.
TEST_F(FolderChooserTest, ALinkIntoADeadMountCostsOnlyItself) {
    if (!hmtest::isRoot())
        GTEST_SKIP() << "mounting a FUSE file system needs root";
    hmtest::FuseServer dead({{"sub", hmtest::FuseEntry::Kind::Folder}});
    dead.addRule({hmtest::FuseOp::Any, "*", hmtest::FuseAction::Withhold});
    ASSERT_TRUE(dead.mount(m_dir / "dead")) << dead.error();
    ::symlink((m_dir / "dead/sub").c_str(), (m_dir / "photos/tosub").c_str());
    ::mkdir((m_dir / "photos/a").c_str(), 0755);
    FolderChooser chooser(QStringLiteral("Choose"), m_root + "/photos");
    chooser.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&chooser));
    Warnings warnings;
    dialogtest::LoopGaps gaps;
    ASSERT_TRUE(QTest::qWaitFor([&] { return rows(chooser) == QStringList{"a"}; }, 10000));
    EXPECT_TRUE(chooser.isListing()) << "the link is still asked";
    // Left before the link answers: its answer is not added to the next folder.
    auto* field = chooser.findChild<QLineEdit*>();
    field->setText(m_root);
    QTest::keyClick(field, Qt::Key_Return);
    ASSERT_TRUE(settled(chooser));
    QTest::qWait(1500);
    EXPECT_EQ(rows(chooser), (QStringList{"audio", "audit", "dead", "linked", "photos"}));
    field->setText(m_root + "/photos");
    QTest::keyClick(field, Qt::Key_Return);
    ASSERT_TRUE(settled(chooser));
    EXPECT_EQ(rows(chooser), (QStringList{"a", "tosub"}));
    auto* list = chooser.findChild<QListWidget*>(QStringLiteral("folders"));
    EXPECT_TRUE(list->item(1)->toolTip().contains("does not answer"));
    // Its own folder and others on "/" list as ever.
    for (const QString& next : {m_root, QStringLiteral("/"), m_root + "/photos"}) {
        field->setText(next);
        QTest::keyClick(field, Qt::Key_Return);
        ASSERT_TRUE(settled(chooser));
        EXPECT_EQ(chooser.directory(), next);
        EXPECT_FALSE(rows(chooser).isEmpty());
    }
    EXPECT_TRUE(warnings.texts.isEmpty()) << warnings.texts.join('|').toStdString();
    EXPECT_LT(gaps.longest, 300);
}
