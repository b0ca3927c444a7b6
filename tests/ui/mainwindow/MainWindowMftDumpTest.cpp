// "Dump MFT File" from the window over a real NTFS volume (mkntfs, filled through ntfs-3g;
// root only): the dump equals the one the core writes for the same device, is private to the
// invoking user, never goes through a link planted at its name or on its way, and a cancelled
// dump leaves nothing and says nothing. The name suggestions and refusals need no volume.
#include "tests/ui/mainwindow/MainWindowTestSupport.h"

#include <QAction>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMenu>
#include <QMenuBar>
#include <QProgressDialog>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <fstream>
#include <memory>

#include "core/rawindex/MftDump.h"
#include "core/rawindex/RawEligibility.h"
#include "integration/ItemPlace.h"
#include "ui/header/HeaderPanel.h"
#include "ui/mainwindow/MainWindow.h"

using shelltest::qs;
using shelltest::ScopedEnv;
using windowtest::BoxAnswerer;
using windowtest::readAll;
using windowtest::waitUntil;

namespace {

bool writeText(const std::string& path, const std::string& text) {
    std::ofstream out(path);
    out << text;
    return bool(out.flush());
}

// Hidden files in the folder: a dump's temporary file that was left behind.
std::string leftovers(const std::string& dir) {
    return hmtest::shOutput("ls -A " + hmtest::shQuote(dir) + " | grep '^[.]' || true");
}

// Reads of one block device by this process, slowed through a blkio cgroup of its own.
class ThrottledReads {
public:
    ThrottledReads(const std::string& device, long bytesPerSecond) {
        struct stat st {};
        if (::stat(device.c_str(), &st) != 0 || ::mkdir(m_dir.c_str(), 0755) != 0)
            return;
        const std::string rule =
            std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev)) + " " +
            std::to_string(bytesPerSecond);
        m_ok = writeText(m_dir + "/blkio.throttle.read_bps_device", rule) &&
               writeText(m_dir + "/cgroup.procs", std::to_string(getpid()));
    }
    ~ThrottledReads() {
        writeText("/sys/fs/cgroup/blkio/cgroup.procs", std::to_string(getpid()));
        ::rmdir(m_dir.c_str());
    }
    bool ok() const { return m_ok; }

private:
    std::string m_dir = "/sys/fs/cgroup/blkio/hm-dump-" + std::to_string(getpid());
    bool m_ok = false;
};

class MainWindowMftDump : public ::testing::Test {
protected:
    // More than 8 MiB of records, so the copy takes several pieces and a cancel lands between them.
    static void SetUpTestSuite() {
        if (!hmtest::isRoot() || !hmtest::haveTool("mkntfs") || !hmtest::haveTool("ntfs-3g")) {
            s_skip = "needs root, mkntfs and ntfs-3g";
            return;
        }
        s_dir = std::make_unique<hmtest::TempDir>("window-mft");
        s_mount = std::make_unique<hmtest::LoopMount>(s_dir->path(), "mkntfs -F -Q -q", 64, "ntfs-3g");
        if (!s_mount->ok()) {
            s_skip = "no NTFS loop mount: " + s_mount->error();
            return;
        }
        const std::string mp = hmtest::shQuote(s_mount->mountPoint());
        const std::string fill = "python3 -c \"import sys\nfor i in range(9000): open(sys.argv[1] + '/f%05d' % i, 'w')"
                                 ".write(str(i))\" " + mp;
        if (hmtest::sh(fill) != 0 ||
            hmtest::sh("umount " + mp + " && mount -t ntfs-3g " + hmtest::shQuote(s_mount->device()) + " " + mp) != 0)
            s_skip = "filling the volume through ntfs-3g failed";
    }
    static void TearDownTestSuite() {
        s_mount.reset();
        s_dir.reset();
    }
    void SetUp() override {
        windowtest::clearSettings();
        AppSettings::instance()->setSaveEnabled(false);
        if (!s_skip.empty())
            GTEST_SKIP() << s_skip;
        m_window = std::make_unique<MainWindow>();
        m_window->saveFileNameHook = [this](const QString&, const QString& proposed, const QString&) {
            proposals << proposed;
            return answer;
        };
    }

    QString volume() const { return qs(s_mount->mountPoint()); }

    static inline std::string s_skip;
    static inline std::unique_ptr<hmtest::TempDir> s_dir;
    static inline std::unique_ptr<hmtest::LoopMount> s_mount;
    std::unique_ptr<MainWindow> m_window;
    hmtest::TempDir m_out{"window-mft-out"};
    QStringList proposals;
    QString answer;
};

TEST_F(MainWindowMftDump, DumpEqualsTheCoreDumpAndBelongsToTheInvokingUserOnly) {
    const uid_t uid = hmtest::testUserUid();
    const gid_t gid = hmtest::testUserGid();
    ASSERT_NE(uid, uid_t(-1));
    ScopedEnv userUid("ZRT_USER_UID", std::to_string(uid));
    ScopedEnv userGid("ZRT_USER_GID", std::to_string(gid));

    // The File menu offers the dump for the NTFS volume the header shows.
    m_window->header()->selectPath(volume());
    QMenu* file = m_window->menuBar()->actions().first()->menu();
    emit file->aboutToShow();
    EXPECT_TRUE(m_window->dumpMftAction()->isEnabled());

    answer = qs(m_out / "Disk");  // the suffix is added
    {
        BoxAnswerer ok(QStringLiteral("OK"));
        m_window->dumpMftCommand();
        ASSERT_TRUE(waitUntil([&] { return !ok.text.isEmpty(); }));
        EXPECT_EQ(ok.text, "MFT data dumped to file " + qs(m_out / "Disk.mft"));
    }
    EXPECT_EQ(proposals, QStringList{QDir::home().filePath(QFileInfo(volume()).fileName() + ".mft")});
    EXPECT_EQ(AppSettings::instance()->settings()->value("mftLastFolder").toString(), qs(m_out.path()));

    std::string device;
    uint64_t freeBytes = 0;
    ASSERT_TRUE(svl::isNtfsVolume(s_mount->mountPoint(), &device, &freeBytes));
    const svl::MftDumpResult headless = svl::dumpMft(device, m_out / "headless.mft", freeBytes, nullptr, {});
    ASSERT_TRUE(headless.done) << headless.error;
    const QByteArray dumped = readAll(m_out / "Disk.mft");
    EXPECT_GT(dumped.size(), 8 << 20);
    EXPECT_TRUE(dumped == readAll(m_out / "headless.mft"));
    struct stat st {};
    ASSERT_EQ(::stat((m_out / "Disk.mft").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(st.st_uid, uid);
    EXPECT_EQ(st.st_gid, gid);

    // A typed upper-case suffix is kept as it is; the user's world-readable file there is
    // replaced by a private one.
    answer = qs(m_out / "Upper.MFT");
    hmtest::writeFile(m_out / "Upper.MFT", "old");
    ASSERT_EQ(::chmod((m_out / "Upper.MFT").c_str(), 0644) | ::chown((m_out / "Upper.MFT").c_str(), uid, gid), 0);
    {
        BoxAnswerer ok(QStringLiteral("OK"));
        m_window->dumpMft(volume());
        ASSERT_TRUE(waitUntil([&] { return !ok.text.isEmpty(); }));
    }
    ASSERT_EQ(::stat((m_out / "Upper.MFT").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_FALSE(QFileInfo::exists(qs(m_out / "Upper.MFT.mft")));

    // A link in a folder the user owns, to a folder only root may enter, or planted at the
    // chosen name: refused; neither the link nor root's file behind it changes.
    const std::string shared = m_out / "shared", rootonly = m_out / "rootonly", victim = rootonly + "/victim.mft";
    ASSERT_EQ(::mkdir(shared.c_str(), 0755) | ::mkdir(rootonly.c_str(), 0700) | ::chown(shared.c_str(), uid, gid), 0);
    hmtest::writeFile(victim, "keep me");
    ASSERT_EQ(::chmod(victim.c_str(), 0600), 0);
    ASSERT_EQ(::symlink(rootonly.c_str(), (shared + "/out").c_str()), 0);
    ASSERT_EQ(::symlink(victim.c_str(), (shared + "/linked.mft").c_str()), 0);
    for (const std::string& path : {shared + "/out/victim.mft", shared + "/linked.mft"}) {
        answer = qs(path);
        BoxAnswerer ok(QStringLiteral("OK"));
        m_window->dumpMft(volume());
        ASSERT_TRUE(waitUntil([&] { return !ok.text.isEmpty(); }));
        EXPECT_EQ(ok.text, "Couldn't dump the MFT: " + belowLinkText(answer));
    }
    EXPECT_EQ(readAll(victim), "keep me");
    ASSERT_EQ(::stat(victim.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u);
    ASSERT_EQ(::lstat((shared + "/linked.mft").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(leftovers(m_out.path()) + leftovers(shared), "");
}

TEST_F(MainWindowMftDump, CancelEndsTheDumpSilentlyAndLeavesNothing) {
    hmtest::sh("blockdev --flushbufs " + hmtest::shQuote(s_mount->device()));
    ThrottledReads slow(s_mount->device(), 8 << 20);
    if (!slow.ok())
        GTEST_SKIP() << "no blkio cgroup to slow the volume's reads down";
    hmtest::writeFile(m_out / "Cancelled.mft", "an earlier dump");
    answer = qs(m_out / "Cancelled.mft");
    int progressSeen = -1;
    QTimer presser;
    QObject::connect(&presser, &QTimer::timeout, [&] {
        auto* dialog = m_window->findChild<QProgressDialog*>(QStringLiteral("mftDumpProgress"));
        if (dialog && dialog->isVisible() && progressSeen < 0) {
            progressSeen = dialog->value();
            dialog->cancel();
        }
    });
    presser.start(5);
    BoxAnswerer anyBox(QStringLiteral("OK"));
    m_window->dumpMft(volume());
    QCoreApplication::processEvents();
    EXPECT_GE(progressSeen, 0);
    EXPECT_TRUE(anyBox.texts.isEmpty()) << anyBox.texts.join('|').toStdString();
    EXPECT_EQ(readAll(m_out / "Cancelled.mft"), "an earlier dump");
    EXPECT_EQ(leftovers(m_out.path()), "");
}

// Name suggestions and refusals, on any machine.
TEST(MainWindowMftDumpNames, SuggestionsAndRefusalsBeforeAnyVolumeIsRead) {
    windowtest::clearSettings();
    AppSettings::instance()->setSaveEnabled(false);
    MainWindow window;
    QStringList proposals;
    window.saveFileNameHook = [&](const QString& title, const QString& proposed, const QString& filter) {
        proposals << title + "|" + proposed + "|" + filter;
        return QString();
    };
    window.dumpMft(QStringLiteral("/"));
    AppSettings::instance()->setValue("mftLastFolder", QStringLiteral("/srv/dumps"));
    window.dumpMft(QStringLiteral("/media/usb"));
    EXPECT_EQ(proposals, QStringList({"Dump MFT File|" + QDir::home().filePath("volume.mft") + "|MFT dump files (*.mft)",
                                      "Dump MFT File|/srv/dumps/usb.mft|MFT dump files (*.mft)"}));

    hmtest::TempDir dir("mft-names");
    const svl::MftDumpResult r = window.dumpMftTo(qs(dir.path()), qs(dir / "x.mft"));
    EXPECT_FALSE(r.done);
    EXPECT_EQ(r.error, dir.path() + " is not an NTFS volume");
    EXPECT_FALSE(QFileInfo::exists(qs(dir / "x.mft")));

    window.header()->selectPath(qs(dir.path()));
    BoxAnswerer ok(QStringLiteral("OK"));
    window.dumpMftCommand();
    ASSERT_TRUE(waitUntil([&] { return !ok.text.isEmpty(); }));
    EXPECT_EQ(ok.text, "Select an NTFS volume first: its Master File Table is what gets dumped.");
    QMenu* file = window.menuBar()->actions().first()->menu();
    emit file->aboutToShow();
    EXPECT_FALSE(window.dumpMftAction()->isEnabled());
}

// A volume on a mount that never answers is no NTFS volume, and asking does not hold the window.
TEST(MainWindowMftDumpDeadMount, AVolumeThatDoesNotAnswerIsRefusedAtOnce) {
    if (!hmtest::isRoot())
        GTEST_SKIP() << "mounting a FUSE file system needs root";
    windowtest::clearSettings();
    AppSettings::instance()->setSaveEnabled(false);
    hmtest::ShortAnswerLimits limits(std::chrono::milliseconds(400));
    hmtest::TempDir dir("mft-dead");
    const std::string point = dir / "dead";
    ::mkdir(point.c_str(), 0755);
    hmtest::DeadFuseMount dead(point);
    if (!dead.ok())
        GTEST_SKIP() << dead.error();
    MainWindow window;
    window.header()->selectPath(qs(point));
    dead.abortAfter(std::chrono::seconds(5));
    QElapsedTimer clock;
    clock.start();
    emit window.menuBar()->actions().first()->menu()->aboutToShow();
    EXPECT_FALSE(window.dumpMftAction()->isEnabled());
    BoxAnswerer ok(QStringLiteral("OK"));
    window.dumpMftCommand();
    ASSERT_TRUE(waitUntil([&] { return !ok.text.isEmpty(); }));
    EXPECT_EQ(ok.text, "Select an NTFS volume first: its Master File Table is what gets dumped.");
    EXPECT_EQ(window.dumpMftTo(qs(point), qs(dir / "x.mft")).error, point + " is not an NTFS volume");
    EXPECT_LT(clock.elapsed(), 2000);
}

}  // namespace
