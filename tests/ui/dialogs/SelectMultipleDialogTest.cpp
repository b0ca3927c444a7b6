#include "ui/dialogs/SelectMultipleDialog.h"

#include "app/DirectionalText.h"
#include "app/PathText.h"
#include "core/scan/MountWatch.h"
#include "tests/support/FuseServer.h"
#include "tests/ui/dialogs/DialogTestSupport.h"
#include "ui/views/DirectionalText.h"

#include <QDialogButtonBox>
#include <QElapsedTimer>
#include <QListWidget>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionViewItem>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <tuple>
#include <vector>

using dialogtest::store;
using dialogtest::stored;
using namespace std::chrono_literals;

namespace {

const QList<QPair<QString, QString>> kSources = {{"/ (/dev/sda1)", "/"}, {"/media/usb (STICK)", "/media/usb"}};
// The chooser "Add Folder…" opens, before a test replaces it.
const std::function<QString(QWidget*)> kRealChooser = SelectMultipleDialog::folderChooser();

class SelectMultipleDialogTest : public ::testing::Test {
protected:
    void SetUp() override {
        svl::setAnswerLimits({1000ms, 3000ms});  // a mount is given up after 1 s without an answer
        AppSettings::instance()->settings()->clear();
    }
    void TearDown() override {
        SelectMultipleDialog::folderChooser() = [](QWidget*) { return QString(); };
        svl::setAnswerLimits({});
    }
    static QStringList rows(const SelectMultipleDialog& dialog) {
        QStringList result;
        const auto* list = dialog.findChild<QListWidget*>();
        for (int i = 0; i < list->count(); ++i)
            result.append(list->item(i)->text());
        return result;
    }
    static QPushButton* pushButton(const QDialog& dialog, const QString& text) {
        for (QPushButton* b : dialog.findChildren<QPushButton*>())
            if (b->text() == text)
                return b;
        return nullptr;
    }
};

}  // namespace

TEST_F(SelectMultipleDialogTest, ListsOfferedSourcesThenOwnFoldersOnce) {
    store("selectMultipleCustomFolders", QStringList{"/srv/a", "/media/usb", "/srv/b"});
    SelectMultipleDialog dialog(kSources, {"/media/usb", "/srv/b", "/elsewhere"});
    EXPECT_EQ(rows(dialog), (QStringList{"/ (/dev/sda1)", "/media/usb (STICK)", "/srv/a", "/srv/b"}));
    EXPECT_EQ(dialog.selectedPaths(), (QStringList{"/media/usb", "/srv/b"}));

    auto* remove = pushButton(dialog, QStringLiteral("Remove Folder"));
    auto* list = dialog.findChild<QListWidget*>();
    // Right to left, an own folder is drawn as a path, name by name; a source as one text.
    for (int i = 0; i < list->count(); ++i) {
        const QString text = list->item(i)->text();
        EXPECT_EQ(isolatedCellText(text, list->model()->index(i, 0), Qt::RightToLeft),
                  i < 2 ? isolateText(text, Qt::RightToLeft) : isolatePath(text, Qt::RightToLeft)) << i;
    }
    EXPECT_FALSE(remove->isEnabled());
    list->setCurrentRow(1);
    EXPECT_FALSE(remove->isEnabled()) << "offered sources cannot be removed";
    list->setCurrentRow(2);
    ASSERT_TRUE(remove->isEnabled());
    remove->click();
    EXPECT_EQ(stored("selectMultipleCustomFolders").toStringList(), (QStringList{"/srv/b"}));

    pushButton(dialog, QStringLiteral("Select All"))->click();
    EXPECT_EQ(dialog.selectedPaths().size(), 3);
    pushButton(dialog, QStringLiteral("Select None"))->click();
    EXPECT_TRUE(dialog.selectedPaths().isEmpty());
}

TEST_F(SelectMultipleDialogTest, OneClickTogglesOnceOnTheIndicatorAndOnTheText) {
    SelectMultipleDialog dialog(kSources, {});
    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    auto* list = dialog.findChild<QListWidget*>();
    QListWidgetItem* item = list->item(0);

    QStyleOptionViewItem option;
    option.initFrom(list->viewport());
    option.rect = list->visualItemRect(item);
    option.features |= QStyleOptionViewItem::HasCheckIndicator | QStyleOptionViewItem::HasDisplay;
    option.text = item->text();
    const QRect indicator = list->style()->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &option, list);
    ASSERT_TRUE(indicator.isValid());

    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, indicator.center());
    EXPECT_EQ(item->checkState(), Qt::Checked) << "the indicator toggles once, not twice";
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, indicator.center());
    EXPECT_EQ(item->checkState(), Qt::Unchecked);
    const QPoint onText(option.rect.right() - 20, option.rect.center().y());
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, onText);
    EXPECT_EQ(item->checkState(), Qt::Checked);
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, onText);
    EXPECT_EQ(item->checkState(), Qt::Unchecked);
}

TEST_F(SelectMultipleDialogTest, NestingIsRefusedOnOneFileSystemOnly) {
    hmtest::TempDir dir("hm-nest");
    for (const char* sub : {"data", "data/inner", "data2"})
        ::mkdir((dir / sub).c_str(), 0755);
    const QString data = QString::fromStdString(dir / "data");
    const QString inner = data + QStringLiteral("/inner");
    const QString data2 = QString::fromStdString(dir / "data2");

    struct stat root {}, proc {};
    ASSERT_EQ(::stat("/", &root), 0);
    ASSERT_EQ(::stat("/proc", &proc), 0);
    ASSERT_NE(root.st_dev, proc.st_dev);
    EXPECT_TRUE(SelectMultipleDialog::nestingConflict({"/", "/proc"}).isEmpty()) << "another file system";
    EXPECT_TRUE(SelectMultipleDialog::nestingConflict({data, data2}).isEmpty()) << "a name prefix is no nesting";
    EXPECT_EQ(SelectMultipleDialog::nestingConflict({data + "/", inner}),
              QStringLiteral("\"%1\"\nis included within\n\"%2\"\n\nThey cannot both be selected.")
                  .arg(inner, data + "/"));
    // A missing root below another is named, as the scan names it, and nests in nothing.
    hmtest::writeFile(dir / "f1.bin", "x");
    const QString top = QString::fromStdString(dir.path()), missing = QString::fromStdString(dir / "f1.bin/sub");
    const SelectMultipleDialog::Nesting below = SelectMultipleDialog::checkNesting({top, missing});
    EXPECT_TRUE(below.conflict.isEmpty()) << below.conflict.toStdString();
    EXPECT_EQ(below.unreached, (QList<QPair<QString, QString>>{{missing, "does not exist"}}));

    // What the paths are decides, not their text: {inner, outer, nested}.
    ::symlink(data.toUtf8().constData(), (dir / "link").c_str());
    ::symlink(data2.toUtf8().constData(), (dir / "data/to-data2").c_str());
    const QString link = QString::fromStdString(dir / "link");
    std::vector<std::tuple<QString, QString, bool>> cases = {
        {data, link, true}, {link + "/inner", data, true}, {data + "/to-data2", data, false}};
    hmtest::Mounts mounts;
    if (hmtest::isRoot()) {
        for (const char* sub : {"bm", "data/m", "data2/deep"})
            ::mkdir((dir / sub).c_str(), 0755);
        ASSERT_TRUE(mounts.bind(dir / "data", dir / "bm"));
        ASSERT_TRUE(mounts.bind(dir / "data2", dir / "data/m"));
        const QString bm = QString::fromStdString(dir / "bm");
        cases.insert(cases.end(), {{bm, data, true}, {bm + "/inner", data, true}, {inner, bm, true},
                                   {data2 + "/deep", data, true}, {data2, data, false}});
        // Two folders of a tmpfs holding another tmpfs: both have device major 0, yet the one
        // mounted inside a shows nothing of b.
        const std::string t = dir / "t";
        ::mkdir(t.c_str(), 0755);
        ASSERT_TRUE(mounts.mount("-t tmpfs none", t));
        for (const char* sub : {"/a", "/a/m", "/b"})
            ::mkdir((t + sub).c_str(), 0755);
        ASSERT_TRUE(mounts.mount("-t tmpfs none", t + "/a/m"));
        cases.push_back({QString::fromStdString(t + "/b"), QString::fromStdString(t + "/a"), false});
    }
    // A Btrfs subvolume inside another is a device of its own that the walk does not enter; the
    // volume, mounted inside data, does not make data hold data2.
    std::unique_ptr<hmtest::LoopMount> btrfs;
    if (hmtest::isRoot() && hmtest::haveTool("mkfs.btrfs")) {
        btrfs = std::make_unique<hmtest::LoopMount>(dir / "data", "mkfs.btrfs -q -f", 128);
        ASSERT_TRUE(btrfs->ok()) << btrfs->error();
        const std::string top = btrfs->mountPoint();
        ASSERT_EQ(hmtest::sh("cd " + hmtest::shQuote(top) + " && btrfs -q subvolume create sv && mkdir plain"), 0);
        const QString volume = QString::fromStdString(top);
        cases.insert(cases.end(), {{volume + "/sv", volume, false}, {volume + "/plain", volume, true}});
    }
    for (const auto& [in, out, nested] : cases) {
        EXPECT_EQ(SelectMultipleDialog::nestingConflict({in, out}),
                  nested ? QStringLiteral("\"%1\"\nis included within\n\"%2\"\n\nThey cannot both be selected.")
                               .arg(in, out)
                         : QString())
            << in.toStdString() << " in " << out.toStdString();
    }
}

// OK with a root on a stopped server beside two good ones: the window's loop is never held
// over 300 ms and the dialog is accepted once the mount's limit has passed; the stopped root is
// named as not answering, and nesting among the others is still found.
TEST_F(SelectMultipleDialogTest, AStoppedRootBesideGoodOnesNeverHoldsTheWindow) {
    if (!hmtest::isRoot())
        GTEST_SKIP() << "mounting a FUSE file system needs root";
    hmtest::TempDir dir("hm-nest-stopped");
    for (const char* sub : {"a", "b", "b/in"})
        ::mkdir((dir / sub).c_str(), 0755);
    hmtest::FuseServer server({{"f", hmtest::FuseEntry::Kind::File, 1}});
    ASSERT_TRUE(server.mount(dir / "stopped")) << server.error();
    struct stat st {};
    ASSERT_EQ(::stat((dir / "stopped/f").c_str(), &st), 0);
    server.stopReading();
    const QString a = QString::fromStdString(dir / "a"), b = QString::fromStdString(dir / "b");
    const QString stopped = QString::fromStdString(dir / "stopped");
    store("selectMultipleCustomFolders", QStringList{a, b, stopped});
    SelectMultipleDialog dialog({}, {a, b, stopped});
    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    dialogtest::LoopGaps gaps;
    dialog.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
    EXPECT_TRUE(QTest::qWaitFor([&] { return dialog.result() == QDialog::Accepted; }, 10000));
    EXPECT_LT(gaps.longest, 300);
    EXPECT_EQ(dialog.selectedPaths().size(), 3);
    // The window's own refusal, as --multi or F5 ask it, holds nothing either, once the mount
    // is asked again after its refusal has passed.
    QTest::qWait(1500);
    dialogtest::LoopGaps refusing;
    QElapsedTimer clock;
    clock.start();
    EXPECT_FALSE(SelectMultipleDialog::refuseNesting(nullptr, {a, b, stopped}));
    EXPECT_GE(clock.elapsed(), 500) << "asked again";
    QTest::qWait(50);  // the first tick after a hold measures it
    EXPECT_LT(refusing.longest, 300);

    const SelectMultipleDialog::Nesting nesting = SelectMultipleDialog::checkNesting({b, b + "/in", stopped});
    EXPECT_TRUE(nesting.conflict.startsWith("\"" + b + "/in\"\nis included")) << nesting.conflict.toStdString();
    EXPECT_EQ(nesting.unreached, (QList<QPair<QString, QString>>{{stopped, "does not answer"}}));
}

TEST_F(SelectMultipleDialogTest, OkStaysOpenOnAConflictAndAcceptsOtherwise) {
    hmtest::TempDir dir("hm-nest");
    ::mkdir((dir / "a").c_str(), 0755);
    const QString outer = QString::fromStdString(dir.path());
    const QString inner = QString::fromStdString(dir / "a");
    store("selectMultipleCustomFolders", QStringList{outer, inner});
    SelectMultipleDialog dialog({}, {outer, inner});
    dialog.show();
    dialogtest::MessageBoxCatcher box;
    box.arm();
    dialog.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
    QTRY_COMPARE(box.title, QStringLiteral("Cannot select these items"));
    EXPECT_TRUE(box.text.startsWith("\"" + inner + "\""));
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_EQ(dialog.selectedPaths().size(), 2);

    pushButton(dialog, QStringLiteral("Select None"))->click();
    dialog.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
    QTRY_COMPARE(dialog.result(), int(QDialog::Accepted));
    EXPECT_TRUE(dialog.selectedPaths().isEmpty());
}

TEST_F(SelectMultipleDialogTest, AddedFoldersAreStoredAtOnceAndNeverTwice) {
    QString next;
    SelectMultipleDialog::folderChooser() = [&next](QWidget*) { return next; };
    SelectMultipleDialog dialog(kSources, {});
    auto* add = pushButton(dialog, QStringLiteral("Add Folder\u2026"));
    next = QStringLiteral("/media/usb");
    add->click();
    next = QString();  // cancelled
    add->click();
    EXPECT_EQ(rows(dialog).size(), 2);
    EXPECT_FALSE(stored("selectMultipleCustomFolders").isValid());

    next = QStringLiteral("/srv/new");
    add->click();
    add->click();
    EXPECT_EQ(rows(dialog), (QStringList{"/ (/dev/sda1)", "/media/usb (STICK)", "/srv/new"}));
    EXPECT_TRUE(dialog.selectedPaths().isEmpty()) << "added unticked";
    dialog.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Cancel)->click();
    EXPECT_EQ(stored("selectMultipleCustomFolders").toStringList(), (QStringList{"/srv/new"}));

    // A name that is not UTF-8 is stored in a form that keeps its bytes, and listed again.
    next = pathText("/srv/caf\xe9");
    SelectMultipleDialog second(kSources, {});
    pushButton(second, QStringLiteral("Add Folder\u2026"))->click();
    EXPECT_EQ(stored("selectMultipleCustomFolders").toStringList(), (QStringList{"/srv/new", "file:///srv/caf%E9"}));
    SelectMultipleDialog third(kSources, {});
    EXPECT_EQ(rows(third).last(), next);
}

// "Add Folder…" and a typed folder on a dead mount: the chooser says it does not answer and
// stays open; a folder that answers is added.
TEST_F(SelectMultipleDialogTest, AddFolderSaysATypedDeadFolderDoesNotAnswer) {
    if (!hmtest::isRoot())
        GTEST_SKIP() << "mounting a FUSE file system needs root";
    hmtest::TempDir dir("hm-add-dead");
    const QString point = QString::fromStdString(dir / "dead"), alive = QString::fromStdString(dir / "alive");
    ::mkdir(point.toUtf8().constData(), 0755);
    ::mkdir(alive.toUtf8().constData(), 0755);
    hmtest::DeadFuseMount dead(point.toStdString());
    if (!dead.ok())
        GTEST_SKIP() << dead.error();
    dead.abortAfter(std::chrono::seconds(20));  // a chooser that waits in the mount is let go, and fails on the time
    SelectMultipleDialog::folderChooser() = kRealChooser;
    SelectMultipleDialog dialog(kSources, {});
    dialogtest::ChooserTyping user;
    user.paths = {point, alive};
    user.start();
    QElapsedTimer clock;
    clock.start();
    pushButton(dialog, QStringLiteral("Add Folder\u2026"))->click();
    EXPECT_LT(clock.elapsed(), 5000);
    ASSERT_EQ(user.warnings.size(), 1);
    EXPECT_TRUE(user.warnings[0].contains("does not answer")) << user.warnings[0].toStdString();
    EXPECT_EQ(rows(dialog), (QStringList{"/ (/dev/sda1)", "/media/usb (STICK)", alive}));
}
