#include "ui/header/HeaderPanel.h"

#include "tests/support/FuseServer.h"
#include "tests/support/TestSupport.h"
#include "tests/ui/header/HeaderTestSupport.h"
#include "ui/header/ScanButton.h"
#include "ui/header/VolumeCombo.h"

#include <QAbstractItemView>
#include <QElapsedTimer>
#include <QLabel>
#include <QProgressBar>
#include <QSignalSpy>
#include <QStandardItemModel>
#include <QTest>
#include <QToolButton>
#include <QTranslator>

#include "app/ValueFormat.h"

#include <chrono>

using headertest::FakeVolumes;
using headertest::mountLine;

namespace {

constexpr uint64_t GB = 1000000000ull;

// A language whose word for "Cancel" is very long.
class LongCancel : public QTranslator {
public:
    QString translate(const char*, const char* source, const char*, int) const override {
        return QLatin1String(source) == QLatin1String("Cancel")
                   ? QStringLiteral("Cancel the scan that is running right now, please")
                   : QString();
    }
    bool isEmpty() const override { return false; }
};

class HeaderPanelTest : public ::testing::Test {
protected:
    void SetUp() override {
        headertest::clearSettings();
        fake.table = mountLine(20, "8:1", "/", "/", "ext4", "/dev/sda1") +
                     mountLine(21, "8:17", "/", "/media/usb", "vfat", "/dev/sdb1");
        fake.usage["/"] = FakeVolumes::answer(100 * GB, 40 * GB);
        fake.usage["/media/usb"] = FakeVolumes::answer(8 * GB, 2 * GB);
        fake.labels["/dev/sdb1"] = QStringLiteral("STICK");
    }
    void TearDown() override { headertest::clearSettings(); }

    static void store(const char* key, const QVariant& value) {
        AppSettings::instance()->settings()->setValue(QLatin1String(key), value);
    }
    static QStringList items(const HeaderPanel& panel) {
        QStringList result;
        const QComboBox* combo = panel.sourceCombo();
        for (int i = 0; i < combo->count(); ++i) {
            const bool separator = combo->itemData(i, Qt::AccessibleDescriptionRole).toString() ==
                                   QLatin1String("separator");
            result.append(separator ? QStringLiteral("---") : combo->itemText(i));
        }
        return result;
    }
    static QString text(const HeaderPanel& panel, const char* name) {
        return panel.findChild<QLabel*>(QLatin1String(name))->text();
    }
    static QStringList values(const HeaderPanel& panel) {
        QStringList result;
        for (const char* name :
             {"totalSpaceLabel", "usedSpaceLabel", "usedPercentLabel", "freeSpaceLabel", "freePercentLabel"})
            result.append(text(panel, name));
        return result;
    }
    static void activate(HeaderPanel& panel, const QString& data) {
        const int index = panel.sourceCombo()->findData(data);
        ASSERT_GE(index, 0) << data.toStdString();
        panel.sourceCombo()->setCurrentIndex(index);
        emit panel.sourceCombo()->activated(index);
    }

    FakeVolumes fake;
};

}  // namespace

TEST_F(HeaderPanelTest, ListsVolumesFoldersAndSpecialItemsInOrder) {
    {
        HeaderPanel panel;
        EXPECT_EQ(items(panel), (QStringList{"/ (/dev/sda1)", "/media/usb (STICK \u00B7 /dev/sdb1)", "---",
                                             "<Select Folder...>", "<Select Multiple...>", "<MFT file>",
                                             "<CSV file>"}));
        EXPECT_EQ(panel.selectedPath(), QStringLiteral("/"));
        EXPECT_FALSE(panel.isFolderSelection());
    }
    // Recent folders first, then the dialog's own folders not already there; volume roots once.
    store("customFolders", QStringList{"/home/a", "/media/usb", "/srv"});
    store("selectMultipleCustomFolders", QStringList{"/srv", "/opt"});
    svl::SmbMountInfo share;
    share.server = "nas";
    share.share = "media";
    share.mountPoint = "/run/user/1000/gvfs/smb-share:server=nas,share=media";
    fake.shares = {share};
    HeaderPanel panel;
    EXPECT_EQ(items(panel), (QStringList{"/ (/dev/sda1)", "/media/usb (STICK \u00B7 /dev/sdb1)", "smb://nas/media",
                                         "---", "/home/a", "/srv", "/opt", "---", "<Select Folder...>",
                                         "<Select Multiple...>", "<MFT file>", "<CSV file>"}));
    activate(panel, QStringLiteral("/opt"));
    EXPECT_TRUE(panel.isFolderSelection());
    EXPECT_EQ(HeaderPanel::selectableSources().size(), 3);
}

TEST_F(HeaderPanelTest, SpecialItemsEmitRequestsAndKeepOrLeaveTheSelection) {
    HeaderPanel panel;
    QSignalSpy folder(&panel, &HeaderPanel::selectFolderRequested);
    QSignalSpy multiple(&panel, &HeaderPanel::selectMultipleRequested);
    QSignalSpy csv(&panel, &HeaderPanel::selectCsvRequested);
    QSignalSpy changed(&panel, &HeaderPanel::selectionChanged);

    activate(panel, QStringLiteral("/media/usb"));
    ASSERT_EQ(changed.count(), 1);
    EXPECT_EQ(changed[0][0].toString(), QStringLiteral("/media/usb"));

    activate(panel, QLatin1String(HeaderPanel::kSelectFolderKey));
    activate(panel, QLatin1String(HeaderPanel::kSelectMultipleKey));
    EXPECT_EQ(folder.count(), 1);
    EXPECT_EQ(multiple.count(), 1);
    EXPECT_EQ(changed.count(), 1) << "request items never report a selection";
    EXPECT_EQ(panel.selectedPath(), QStringLiteral("/media/usb"));

    activate(panel, QLatin1String(HeaderPanel::kSelectCsvKey));
    EXPECT_EQ(csv.count(), 1);
    EXPECT_TRUE(panel.isCsvItem());
    EXPECT_TRUE(panel.selectedPath().isEmpty());
    panel.refreshSources();
    EXPECT_TRUE(panel.isCsvItem()) << "a rebuild keeps the import item";
    // A request item chosen now returns to the CSV item, the last real one.
    activate(panel, QLatin1String(HeaderPanel::kSelectFolderKey));
    EXPECT_TRUE(panel.isCsvItem());
    activate(panel, QLatin1String(HeaderPanel::kSelectMftKey));
    EXPECT_TRUE(panel.isMftItem());
    EXPECT_TRUE(panel.selectedPath().isEmpty());
}

TEST_F(HeaderPanelTest, RecentFoldersKeepTheNewestTen) {
    HeaderPanel panel;
    QSignalSpy changes(AppSettings::instance(), &AppSettings::changed);
    for (int i = 1; i <= 11; ++i)
        panel.selectPath(QStringLiteral("/data/f%1").arg(i));
    const QStringList recent = AppSettings::instance()->settings()->value("customFolders").toStringList();
    ASSERT_EQ(recent.size(), 10);
    EXPECT_EQ(recent.first(), QStringLiteral("/data/f11"));
    EXPECT_EQ(recent.last(), QStringLiteral("/data/f2")) << "the 11th drops the oldest";
    EXPECT_EQ(panel.selectedPath(), QStringLiteral("/data/f11"));
    EXPECT_TRUE(panel.isFolderSelection());

    changes.clear();
    panel.selectPath(QStringLiteral("/data/f11"));  // already listed: nothing written
    panel.selectPath(QStringLiteral("/media/usb"));  // a volume: nothing written
    EXPECT_EQ(changes.count(), 0);
    EXPECT_EQ(panel.selectedPath(), QStringLiteral("/media/usb"));

    // The chosen folder shows through "<Select Folder...>", also when it is a recent folder.
    panel.setChosenFolder(QStringLiteral("/data/f5"));
    EXPECT_TRUE(panel.isSelectFolderItem());
    EXPECT_EQ(panel.selectedPath(), QStringLiteral("/data/f5"));
    panel.refreshSources();
    EXPECT_TRUE(panel.isSelectFolderItem());
}

TEST_F(HeaderPanelTest, NothingToSelectFallsBackToTheFirstItem) {
    fake.table = mountLine(20, "0:5", "/", "/proc", "proc", "proc");
    HeaderPanel panel;
    EXPECT_EQ(items(panel).first(), QStringLiteral("---")) << "no recent folders: one separator only";
    EXPECT_EQ(items(panel).count(QStringLiteral("---")), 1);
    EXPECT_EQ(panel.sourceCombo()->currentIndex(), 0);
}

TEST_F(HeaderPanelTest, ScanButtonStartsOrStopsAndBusyStateFollows) {
    HeaderPanel panel;
    QSignalSpy scan(&panel, &HeaderPanel::scanRequested);
    QSignalSpy stop(&panel, &HeaderPanel::stopRequested);
    ScanButton* button = panel.scanButton();
    emit button->clicked();
    panel.setBusy(true);
    EXPECT_EQ(button->text(), QStringLiteral("Cancel"));
    EXPECT_FALSE(panel.sourceCombo()->isEnabled());
    EXPECT_FALSE(button->isMenuEnabled());
    emit button->clicked();
    EXPECT_EQ(scan.count(), 1);
    EXPECT_EQ(stop.count(), 1);

    auto* progress = panel.findChild<QProgressBar*>(QStringLiteral("progressBar"));
    panel.setProgress(-1);
    EXPECT_EQ(progress->maximum(), 0);
    panel.setProgress(40);
    EXPECT_EQ(progress->maximum(), 100);
    EXPECT_EQ(progress->value(), 40);
    panel.setProgress(-1);
    panel.setBusy(false);
    EXPECT_EQ(progress->maximum(), 100);
    EXPECT_EQ(button->text(), QStringLiteral("Scan"));
    EXPECT_TRUE(panel.sourceCombo()->isEnabled());
    EXPECT_TRUE(button->isMenuEnabled());

    // The badge widens the button by 18; a long "Cancel" widens it and narrows the combo to 120 at least.
    const QFontMetrics metrics(button->font());
    const int text = std::max(metrics.horizontalAdvance(QStringLiteral("Scan")), metrics.horizontalAdvance("Cancel"));
    const int plainWidth = button->minimumWidth();
    EXPECT_EQ(plainWidth, std::max(text + 36, 85));
    panel.setElevated(true);
    EXPECT_EQ(button->minimumWidth(), std::max(text + 18 + 36, 85));
    const int caption = panel.findChild<QLabel*>(QStringLiteral("selectCaption"))->sizeHint().width();
    EXPECT_EQ(panel.sourceCombo()->width(), std::clamp(426 - caption - button->minimumWidth(), 120, 279));
    LongCancel translator;
    QCoreApplication::installTranslator(&translator);
    panel.setElevated(false);
    QCoreApplication::removeTranslator(&translator);
    EXPECT_GT(button->minimumWidth(), plainWidth + 100);
    EXPECT_EQ(panel.sourceCombo()->width(), 120);
}

TEST_F(HeaderPanelTest, FunnelReportsClicksButNotProgrammaticChanges) {
    HeaderPanel panel;
    auto* funnel = panel.findChild<QToolButton*>(QStringLiteral("funnelButton"));
    QSignalSpy toggled(&panel, &HeaderPanel::filterPanelToggled);
    panel.setFilterPanelChecked(true);
    EXPECT_TRUE(funnel->isChecked());
    EXPECT_EQ(toggled.count(), 0);
    funnel->blockSignals(true);
    panel.setFilterPanelChecked(false);
    EXPECT_TRUE(funnel->signalsBlocked()) << "an outer block stays in force";
    funnel->blockSignals(false);
    funnel->click();
    ASSERT_EQ(toggled.count(), 1);
    EXPECT_TRUE(toggled[0][0].toBool());

    QSignalSpy denied(&panel, &HeaderPanel::accessDeniedClicked);
    auto* deniedButton = panel.findChild<QToolButton*>(QStringLiteral("accessDeniedButton"));
    EXPECT_TRUE(deniedButton->isHidden());
    panel.setAccessDeniedVisible(true);
    EXPECT_FALSE(deniedButton->isHidden());
    deniedButton->click();
    EXPECT_EQ(denied.count(), 1);
}

TEST_F(HeaderPanelTest, SpaceLabelsOfVolumesFoldersImportsAndSeveralRoots) {
    HeaderPanel panel;
    panel.updateSpaceLabels(QStringLiteral("/media/usb"));
    activate(panel, QStringLiteral("/media/usb"));
    panel.updateSpaceLabels(QStringLiteral("/media/usb"));
    EXPECT_EQ(text(panel, "selectionLabel"), QStringLiteral("/media/usb"));
    EXPECT_EQ(text(panel, "selectionDetailLabel"), QStringLiteral("  STICK \u00B7 /dev/sdb1"));
    EXPECT_EQ(values(panel), (QStringList{"7.5\u00A0GB", "5.6\u00A0GB", "(75.0%)", "1.9\u00A0GB", "(25.0%)"}));

    // Two roots on one volume count it twice.
    panel.showMultiple({QStringLiteral("/home/a"), QStringLiteral("/home/b")});
    EXPECT_EQ(text(panel, "selectionLabel"), QStringLiteral("<Multiple>"));
    EXPECT_EQ(text(panel, "selectionDetailLabel"), QStringLiteral("  [/home/a] [/home/b]"));
    EXPECT_EQ(panel.spaceTotal(), 200 * GB);
    EXPECT_EQ(panel.spaceFree(), 80 * GB);
    EXPECT_EQ(values(panel)[2], QStringLiteral("(60.0%)"));
    EXPECT_EQ(values(panel)[4], QStringLiteral("(40.0%)"));
    // Sums that would pass 2^64 stop at the largest count.
    fake.usage["/media/usb"] = FakeVolumes::answer(~0ull - 5, ~0ull - 5);
    panel.showMultiple({QStringLiteral("/media/usb"), QStringLiteral("/media/usb/b")});
    EXPECT_EQ(panel.spaceTotal(), ~0ull);
    EXPECT_EQ(values(panel)[1], formatSize(0));
    fake.usage["/media/usb"] = FakeVolumes::answer(8 * GB, 2 * GB);
    // One root on no volume clears all sizes.
    fake.table = mountLine(21, "8:17", "/", "/media/usb", "vfat", "/dev/sdb1");
    panel.showMultiple({QStringLiteral("/media/usb"), QStringLiteral("/gone")});
    EXPECT_EQ(values(panel), QStringList(5, QString()));
    EXPECT_EQ(panel.spaceTotal(), 0u);
    panel.clearMultipleSources();

    panel.showImportedFile(QStringLiteral("/tmp/x.csv"), false, 0, 0, false);
    EXPECT_TRUE(panel.isCsvItem());
    EXPECT_EQ(text(panel, "selectionLabel"), QStringLiteral("<CSV file>"));
    EXPECT_EQ(text(panel, "selectionDetailLabel"), QStringLiteral("  /tmp/x.csv"));
    EXPECT_EQ(values(panel), QStringList(5, QString()));
    panel.showImportedFile(QStringLiteral("/tmp/c.mft"), true, 1000, 1500, true);
    EXPECT_EQ(text(panel, "selectionLabel"), QStringLiteral("<MFT file>"));
    EXPECT_EQ(values(panel)[1], formatSize(0)) << "free above total: nothing used";
    EXPECT_EQ(values(panel)[4], QStringLiteral("(150.0%)"));
    panel.clearImportedSource();

    panel.selectPath(QStringLiteral("/media/usb/photos"));
    panel.updateSpaceLabels(QStringLiteral("/media/usb/photos"));
    EXPECT_EQ(text(panel, "selectionLabel"), QStringLiteral("<Folder>"));
    EXPECT_EQ(text(panel, "selectionDetailLabel"), QStringLiteral("  /media/usb/photos"));
    EXPECT_EQ(panel.spaceTotal(), 8 * GB);
}

TEST_F(HeaderPanelTest, GvfsShareShowsItsAddressAndSizes) {
    const std::string point = "/run/user/1000/gvfs/smb-share:server=nas,share=media";
    fake.table += mountLine(30, "0:60", "/", "/run/user/1000/gvfs", "fuse.gvfsd-fuse", "gvfsd-fuse");
    svl::SmbMountInfo share;
    share.server = "nas";
    share.share = "media";
    share.mountPoint = point;
    fake.shares = {share};
    fake.usage[point] = FakeVolumes::answer(4 * GB, GB);
    HeaderPanel panel;
    activate(panel, QString::fromStdString(point));
    panel.updateSpaceLabels(QString::fromStdString(point));
    EXPECT_EQ(text(panel, "selectionLabel"), QStringLiteral("smb://nas/media"));
    EXPECT_TRUE(text(panel, "selectionDetailLabel").isEmpty());
    EXPECT_EQ(panel.spaceTotal(), 4 * GB);
}

TEST_F(HeaderPanelTest, DeadNetworkMountNeverHoldsTheWindow) {
    // Fake devices outside the real table count as local for the watch.
    hmtest::ShortAnswerLimits limits(std::chrono::milliseconds(300), std::chrono::milliseconds(1000));
    fake.table += mountLine(40, "0:4101", "/", "/mnt/dead", "nfs4", "gone:/export");
    fake.blocking = {"/mnt/dead", "/mnt/dead/photos"};
    headertest::LoopGaps gaps;
    QElapsedTimer clock;
    clock.start();
    HeaderPanel panel;
    EXPECT_TRUE(items(panel).contains(QStringLiteral("/mnt/dead (gone:/export)")));
    activate(panel, QStringLiteral("/mnt/dead"));
    panel.updateSpaceLabels(QStringLiteral("/mnt/dead/photos"));
    EXPECT_LT(clock.elapsed(), 600) << "nothing waits for the dead mount to be given up";
    EXPECT_EQ(text(panel, "selectionLabel"), QStringLiteral("/mnt/dead/photos"));
    EXPECT_EQ(values(panel), QStringList(5, QString()));
    ASSERT_TRUE(gaps.run([&] { return !panel.sourcesPending() && !panel.spacePending(); }));
    EXPECT_LT(gaps.longestMs, 300);
    // Given up: offered without sizes; the other volumes show theirs, alone or beside it.
    EXPECT_TRUE(items(panel).contains(QStringLiteral("/mnt/dead (gone:/export)")));
    EXPECT_EQ(panel.selectedPath(), QStringLiteral("/mnt/dead"));
    EXPECT_EQ(values(panel), QStringList(5, QString()));
    panel.updateSpaceLabels(QStringLiteral("/media/usb"));
    ASSERT_TRUE(gaps.run([&] { return !panel.spacePending(); }));
    EXPECT_EQ(panel.spaceTotal(), 8 * GB);
    EXPECT_LT(gaps.longestMs, 300);

    // Opening the drop-down with unchanged mounts rebuilds nothing; a new mount shows up.
    const int calls = fake.usageCalls;
    panel.sourceCombo()->showPopup();
    panel.sourceCombo()->hidePopup();
    EXPECT_EQ(fake.usageCalls, calls);
    fake.table += mountLine(41, "8:33", "/", "/media/new", "ext4", "/dev/sdc1");
    fake.usage["/media/new"] = FakeVolumes::answer(GB, GB);
    panel.sourceCombo()->showPopup();
    panel.sourceCombo()->hidePopup();
    EXPECT_TRUE(items(panel).contains(QStringLiteral("/media/new (/dev/sdc1)")));
    EXPECT_EQ(panel.selectedPath(), QStringLiteral("/mnt/dead"));
    panel.showMultiple({QStringLiteral("/media/usb"), QStringLiteral("/mnt/dead")});
    ASSERT_TRUE(gaps.run([&] { return !panel.spacePending(); }));
    EXPECT_EQ(values(panel), QStringList(5, QString())) << "one root without sizes: no sum";
    EXPECT_LT(gaps.longestMs, 300);
}

// The real mounts: a start folder that is a link into a dead FUSE mount costs that mount only;
// a slow one shows its space.
TEST(HeaderPanelDeadMount, ALinkIntoADeadMountCostsOnlyThatMountAndASlowMountAnswers) {
    if (!hmtest::isRoot())
        GTEST_SKIP() << "mounting a FUSE file system needs root";
    headertest::clearSettings();
    AppSettings::instance()->setSaveEnabled(false);
    // Local disks keep their long limit: only the dead mount may be given up.
    hmtest::ShortAnswerLimits limits(std::chrono::milliseconds(300), std::chrono::seconds(15));
    hmtest::TempDir dir("hm-header-dead");
    const std::string point = dir / "dead", link = dir / "link";
    ::mkdir(point.c_str(), 0755);
    hmtest::DeadFuseMount dead(point);
    if (!dead.ok())
        GTEST_SKIP() << dead.error();
    dead.abortAfter(std::chrono::seconds(30));
    ASSERT_EQ(::symlink(point.c_str(), link.c_str()), 0);
    const QString start = QString::fromStdString(link);

    headertest::LoopGaps gaps;
    HeaderPanel panel;
    panel.selectPath(start);
    panel.updateSpaceLabels(start);
    ASSERT_TRUE(gaps.run([&] { return !panel.sourcesPending() && !panel.spacePending(); }));
    EXPECT_EQ(panel.spaceTotal(), 0u) << "the link's volume does not answer: no sizes";
    panel.refreshSources();
    ASSERT_TRUE(gaps.run([&] { return !panel.sourcesPending(); }));
    EXPECT_GE(panel.sourceCombo()->findData(QStringLiteral("/")), 0) << "the system disk is still offered";
    panel.updateSpaceLabels(QStringLiteral("/"));
    ASSERT_TRUE(gaps.run([&] { return !panel.spacePending(); }));
    EXPECT_GT(panel.spaceTotal(), 0u);
    EXPECT_LT(gaps.longestMs, 300);

    // A mount slower than the window may wait, but answering within its limit, shows its space.
    hmtest::ShortAnswerLimits slowLimits(std::chrono::milliseconds(1500), std::chrono::seconds(15));
    hmtest::FuseServer slow({{"a", hmtest::FuseEntry::Kind::Folder}});
    ASSERT_TRUE(slow.mount(dir / "slow")) << slow.error();
    slow.setAnswerDelay(std::chrono::milliseconds(400));
    panel.updateSpaceLabels(QString::fromStdString(dir / "slow/a"));
    ASSERT_TRUE(gaps.run([&] { return !panel.spacePending(); }));
    EXPECT_GT(panel.spaceTotal(), 0u) << "slow is not dead";
    EXPECT_LT(gaps.longestMs, 300);
    headertest::clearSettings();
}
