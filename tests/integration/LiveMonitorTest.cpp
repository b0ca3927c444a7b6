// The live change monitor on real file systems: fanotify as root on loop-mounted ext4, XFS,
// a Btrfs subvolume (folder marks) and tmpfs, ntfs-3g (FUSE: not watched), inotify as an ordinary user,
// and the watch requests of the inotify mode. After runs of changes and folders made again
// the tree must list what a fresh scan lists.
#include "integration/LiveMonitor.h"

#include "core/scan/ScanDriver.h"
#include "core/tree/ScanTree.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSet>
#include <QSignalSpy>

#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <sys/fanotify.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>

using hmtest::TempDir;

namespace {

void ensureApp() {
    static int argc = 1;
    static char arg0[] = "livemonitortest";
    static char* argv[] = {arg0, nullptr};
    if (!QCoreApplication::instance())
        new QCoreApplication(argc, argv);
}

std::shared_ptr<svl::ScanTree> scan(const std::string& path) {
    svl::ScanOptions options;
    return std::shared_ptr<svl::ScanTree>(svl::scanSingle(path, options, nullptr));
}

std::shared_ptr<svl::ScanTree> scanMany(const std::vector<std::string>& paths) {
    svl::ScanOptions options;
    return std::shared_ptr<svl::ScanTree>(svl::scanMultiple(paths, options, nullptr));
}

// Runs the event loop for `ms` milliseconds (or until a batch arrives when stopEarly) and
// returns the union of every batch reported meanwhile.
QSet<QString> collect(LiveMonitor& monitor, int ms, bool stopEarly = true) {
    QSet<QString> paths;
    bool got = false;
    auto connection = QObject::connect(&monitor, &LiveMonitor::pathsRemoved, [&](const QStringList& batch) {
        for (const QString& p : batch)
            paths.insert(p);
        got = true;
    });
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < ms && !(stopEarly && got))
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    // Stragglers of the same burst arrive in the next batch.
    if (got && stopEarly)
        while (timer.elapsed() < ms && timer.elapsed() < 1200)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    QObject::disconnect(connection);
    return paths;
}

QString q(const std::string& s) { return QString::fromStdString(s); }

// Under load a request's watches may take more than its first slice: waits up to 10 s for them.
int watchedSoon(LiveMonitor& monitor, int count) {
    QElapsedTimer timer;
    timer.start();
    while (monitor.watchedCount() < count && timer.elapsed() < 10000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return monitor.watchedCount();
}

// A folder "scan" with files and two levels of subfolders, and a file beside it.
void makeFixture(const std::string& base) {
    ASSERT_EQ(hmtest::sh("mkdir -p " + hmtest::shQuote(base + "/scan/sub/deep")), 0);
    for (const char* name : {"scan/a", "scan/b", "scan/sub/c", "scan/sub/deep/d", "outside"})
        hmtest::writeFile(base + "/" + name, std::string(5000, 'x'));
}

// Deletes a, moves c away, removes deep with its file, rewrites b as an editor does, and
// deletes a file outside the scanned folder; returns what the monitor reported.
QSet<QString> changeFixture(LiveMonitor& monitor, const std::string& base) {
    const std::string s = base + "/scan";
    EXPECT_EQ(::unlink((s + "/a").c_str()), 0);
    EXPECT_EQ(::rename((s + "/sub/c").c_str(), (base + "/c-moved").c_str()), 0);
    EXPECT_EQ(hmtest::sh("rm -r " + hmtest::shQuote(s + "/sub/deep")), 0);
    EXPECT_EQ(::unlink((s + "/b").c_str()), 0);
    hmtest::writeFile(s + "/b", "rewritten");
    EXPECT_EQ(::unlink((base + "/outside").c_str()), 0);
    return collect(monitor, 3000);
}

void expectFixtureReport(const QSet<QString>& reported, const std::string& base) {
    const QString s = q(base + "/scan");
    for (const QString& must : {s + "/a", s + "/sub/c", s + "/sub/deep"})
        EXPECT_TRUE(reported.contains(must)) << must.toStdString();
    // The file inside the removed folder may come too (inotify watches that folder).
    const QSet<QString> allowed{s + "/a", s + "/sub/c", s + "/sub/deep", s + "/sub/deep/d"};
    for (const QString& p : reported)
        EXPECT_TRUE(allowed.contains(p)) << "unexpected " << p.toStdString();
}

// Marks what the monitor reports removed in the tree, as the window does.
void applyReports(LiveMonitor& monitor, const std::shared_ptr<svl::ScanTree>& tree) {
    const auto remove = [tree](const std::vector<std::string>& paths) {
        for (const std::string& path : paths)
            if (const int64_t id = tree->findPath(path.data(), path.size()); id > 0)
                (void)tree->markRemoved(uint32_t(id));
    };
    QObject::connect(&monitor, &LiveMonitor::pathsRemovedBytes, remove);
    QObject::connect(&monitor, &LiveMonitor::foldersReplaced,
                     [tree, remove](const auto& folders) { remove(LiveMonitor::contentsOf(*tree, folders)); });
}

std::map<std::string, uint64_t> sizesShown(const svl::ScanTree& tree) {
    std::map<std::string, uint64_t> rows;
    for (uint32_t id = 0; id < tree.nodeCount; ++id)
        if (!(tree.node(id).flags & svl::NodeFlag::Removed))
            rows.emplace(tree.fullPath(id), tree.node(id).size);
    return rows;
}

// Quick changes first..last-1 among W's files: deleted, saved as editors save them (the old
// one renamed to a backup first), renamed away and back.
void quickChanges(const std::string& w, int first, int last) {
    for (int i = first; i < last; ++i) {
        const std::string f = w + "/f" + std::to_string(i % 300), other = f + "~";
        if (i % 3 == 0) {
            EXPECT_EQ(::unlink(f.c_str()), i < 300 ? 0 : -1);
            continue;
        }
        EXPECT_EQ(::rename(f.c_str(), other.c_str()), 0);
        if (i % 3 == 1)
            hmtest::writeFile(f, std::to_string(i % 300) + "\n");
        EXPECT_EQ(i % 3 == 1 ? ::unlink(other.c_str()) : ::rename(other.c_str(), f.c_str()), 0);
    }
}

// Changes other programs make, in this order: the quick changes up to a count, then commands.
// Show in File Manager on W watches r0 and W with its subfolders; a terminal at deep/T, T with
// its subfolders; V has no watch of its own. Nothing appears but empty folders made again.
struct Sequence {
    int count;
    const char* commands;
    bool sameFolderBack = false;  // told apart only by the entry's own handle under fanotify
};
constexpr Sequence kSequences[] = {
    {330, ""},
    {660, ""},
    // The same folder back, after another stood there, keeps its contents and its watch.
    {660, "mv r0/W/sub away/s1 && mkdir r0/W/sub && mv r0/W/sub away/s2 && mv away/s1 r0/W/sub && rm r0/W/sub/d",
     true},
    {987, "mv r0/W away/W-old && mkdir r0/W && rm away/W-old/b"},
    {987, "rm -r r0/V && mkdir r0/V"},
    {987, "mv r0/deep/T away/T-old && mkdir r0/deep/T"},
    {987, "rmdir r0/deep/T && mkdir r0/deep/T"},
    {987, "rmdir r0/deep/T"},  // seen only where the watch went on to each new T
};

// After each sequence and the monitor's batch, the tree shows what a fresh scan of r0 shows.
void checkSequences(const std::string& base, bool ownHandles = true) {
    const std::string r = base + "/r0", inBase = "cd " + hmtest::shQuote(base) + " || exit 1; ";
    ASSERT_EQ(hmtest::sh(inBase + "mkdir -p away r0/V r0/W/sub r0/deep/T/sub && "
                                  "for i in $(seq 0 299); do echo $i >r0/W/f$i; done"),
              0);
    for (const char* name : {"W/a", "W/b", "W/c", "W/sub/d", "W/sub/e", "V/a", "deep/T/a", "deep/T/sub/b", "deep/e"})
        hmtest::writeFile(r + "/" + name, std::string(30000, 'x'));
    auto tree = scan(r);
    LiveMonitor monitor;
    monitor.start(tree);
    for (const std::string& folder : {r, r + "/W", r + "/deep/T"})
        monitor.watchFolder(q(folder), folder != r, 2000);
    collect(monitor, 500, false);
    applyReports(monitor, tree);
    int done = 0;
    for (const auto& [count, commands, sameFolderBack] : kSequences) {
        quickChanges(r + "/W", std::exchange(done, count), count);
        if (sameFolderBack && !ownHandles)
            continue;
        EXPECT_EQ(hmtest::sh(inBase + commands), 0) << commands;
        collect(monitor, 1000, false);
        EXPECT_EQ(sizesShown(*tree), sizesShown(*scan(r))) << count << " " << commands;
    }
}

struct FileSystemCase {
    const char* label;
    const char* mkfs;
    long long mib;
    const char* mountType;
    bool subvolume;             // scan inside a freshly created Btrfs subvolume
    LiveMonitor::Mode expected;
    bool folderMarks;           // fanotify marks folders one by one
    bool withoutOwnHandles = false;  // as on kernels before 5.17
    bool fuse = false;               // a FUSE mount: never watched, as it may stop answering
};

// Makes fanotify_init refuse FAN_REPORT_TARGET_FID with EINVAL in this thread and the
// threads it starts, as kernels before 5.17 do. Lasts for the process: each test runs in
// its own under ctest.
bool refuseOwnHandles() {
    static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "reads the flags' low word");
    struct sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_fanotify_init, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, args[0])),
        BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, FAN_REPORT_TARGET_FID, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EINVAL),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    struct sock_fprog program = {sizeof filter / sizeof filter[0], filter};
    return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

class LiveMonitorFileSystem : public ::testing::TestWithParam<FileSystemCase> {};

TEST_P(LiveMonitorFileSystem, ReportsDeletionsAndMovesButNotRewrittenOrUnrelatedFiles) {
    const FileSystemCase& c = GetParam();
    if (!hmtest::isRoot())
        GTEST_SKIP() << "needs root for mounts and fanotify";
    ensureApp();
    TempDir dir("hm-live");
    std::string base;
    std::unique_ptr<hmtest::LoopMount> loop;
    hmtest::Mounts mounts;
    if (std::string(c.label) == "tmpfs") {
        ASSERT_EQ(::mkdir((dir / "mnt").c_str(), 0755), 0);
        ASSERT_TRUE(mounts.mount("-t tmpfs none", dir / "mnt"));
        base = dir / "mnt";
    } else {
        loop = std::make_unique<hmtest::LoopMount>(dir.path(), c.mkfs, c.mib, c.mountType);
        if (!loop->ok())
            GTEST_SKIP() << c.label << ": " << loop->error();
        base = loop->mountPoint();
        if (c.subvolume) {
            ASSERT_EQ(hmtest::sh("btrfs -q subvolume create " + hmtest::shQuote(base + "/vol") + " >/dev/null"), 0);
            base += "/vol";
        }
    }
    makeFixture(base);
    if (c.withoutOwnHandles) {
        ASSERT_TRUE(refuseOwnHandles()) << strerror(errno);
    }
    LiveMonitor monitor;
    monitor.start(scan(base + "/scan"));
    ASSERT_EQ(monitor.mode(), c.expected) << c.label;
    EXPECT_EQ(monitor.directoryMarkCount() > 0, c.folderMarks) << c.label;
    if (c.expected == LiveMonitor::Mode::InotifyOnDemand) {
        monitor.watchFolder(q(base + "/scan"), true, 2000);
        collect(monitor, 500, false);
        EXPECT_EQ(monitor.watchedCount(), c.fuse ? 0 : 3);
    }
    if (c.fuse) {
        EXPECT_TRUE(changeFixture(monitor, base).isEmpty());
        return;
    }
    expectFixtureReport(changeFixture(monitor, base), base);
    checkSequences(base, !c.withoutOwnHandles);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, LiveMonitorFileSystem,
    ::testing::Values(
        FileSystemCase{"ext4", "mkfs.ext4 -q -F", 16, "", false, LiveMonitor::Mode::Fanotify, false},
        FileSystemCase{"xfs", "mkfs.xfs -q -f", 320, "", false, LiveMonitor::Mode::Fanotify, false},
        FileSystemCase{"btrfs", "mkfs.btrfs -q -f", 128, "", true, LiveMonitor::Mode::Fanotify, true},
        FileSystemCase{"ntfs", "mkntfs -F -Q -q", 16, "ntfs-3g", false, LiveMonitor::Mode::InotifyOnDemand, false, false, true},
        FileSystemCase{"tmpfs", "", 0, "", false, LiveMonitor::Mode::Fanotify, false},
        FileSystemCase{"ext4_without_own_handles", "mkfs.ext4 -q -F", 16, "", false, LiveMonitor::Mode::Fanotify,
                       false, true}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(LiveMonitorFanotify, NamesPathsAsTheTreeDoesForSeveralRootsAndDropsPendingOnStop) {
    if (!hmtest::isRoot())
        GTEST_SKIP() << "needs root for fanotify";
    ensureApp();
    TempDir dir("hm-live");
    hmtest::LoopMount loop(dir.path(), "mkfs.ext4 -q -F", 16);
    if (!loop.ok())
        GTEST_SKIP() << loop.error();
    const std::string m = loop.mountPoint();
    ASSERT_EQ(hmtest::sh("mkdir -p " + hmtest::shQuote(m + "/one") + " " + hmtest::shQuote(m + "/two")), 0);
    for (const char* name : {"one/x", "one/y", "two/x", "two/.x"})
        hmtest::writeFile(m + "/" + name, "data");
    // The first root is reached through a symbolic link: reports use the link's path.
    ASSERT_EQ(::symlink((m + "/one").c_str(), (dir / "link").c_str()), 0);
    // A third root is a mount that stopped answering since the scan: it is left alone.
    ASSERT_EQ(::mkdir((dir / "dead").c_str(), 0755), 0);
    auto tree = scanMany({dir / "link", m + "/two/", dir / "dead"});
    hmtest::DeadFuseMount dead(dir / "dead");
    ASSERT_TRUE(dead.ok()) << dead.error();
    dead.abortAfter(std::chrono::seconds(30));
    LiveMonitor monitor;
    QElapsedTimer started;
    started.start();
    monitor.start(tree);
    EXPECT_LT(started.elapsed(), 10000);
    ASSERT_EQ(monitor.mode(), LiveMonitor::Mode::Fanotify);
    EXPECT_EQ(monitor.directoryMarkCount(), 0);
    ASSERT_EQ(::unlink((m + "/one/x").c_str()), 0);
    ASSERT_EQ(::unlink((m + "/two/x").c_str()), 0);
    ASSERT_EQ(::unlink((m + "/two/.x").c_str()), 0);
    EXPECT_EQ(collect(monitor, 3000), (QSet<QString>{q(dir / "link/x"), q(m + "/two/x"), q(m + "/two/.x")}));

    // A deletion whose batch has not been flushed when the monitor stops is never reported.
    ASSERT_EQ(::unlink((m + "/one/y").c_str()), 0);
    QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    monitor.stop();
    EXPECT_EQ(monitor.mode(), LiveMonitor::Mode::Idle);
    EXPECT_TRUE(collect(monitor, 800, false).isEmpty());
}

TEST(LiveMonitorStart, EmptyTreesAndFileRootsWatchNothing) {
    ensureApp();
    LiveMonitor monitor;
    monitor.start(nullptr);
    EXPECT_EQ(monitor.mode(), LiveMonitor::Mode::Idle);
    monitor.start(std::make_shared<svl::ScanTree>());
    EXPECT_EQ(monitor.mode(), LiveMonitor::Mode::Idle);
    TempDir dir("hm-live");
    hmtest::writeFile(dir / "file", "x");
    monitor.start(scan(dir / "file"));
    EXPECT_EQ(monitor.mode(), LiveMonitor::Mode::InotifyOnDemand);
    monitor.watchFolder(q(dir / "file"), true, 2000);
    EXPECT_EQ(monitor.watchedCount(), 0);
    // A root the scan could not read (a dead mount, say) gets no fanotify mark.
    auto unread = scan(dir.path());
    unread->node(0).flags |= svl::NodeFlag::Unreadable;
    monitor.start(unread);
    EXPECT_EQ(monitor.mode(), LiveMonitor::Mode::InotifyOnDemand);
}

// What leaves the tree when folders are made again: the entries still shown directly inside
// each named folder that the tree holds, the top included.
TEST(LiveMonitorContents, EntriesStillShownDirectlyInsideTheNamedFolders) {
    TempDir dir("hm-live");
    const std::string r = dir / "root";
    ASSERT_EQ(hmtest::sh("mkdir -p " + hmtest::shQuote(r + "/sub/deep")), 0);
    for (const char* name : {"a", "b", "sub/c"})
        hmtest::writeFile(r + "/" + name, "x");
    auto tree = scan(r);
    const std::string a = r + "/a";
    const int64_t id = tree->findPath(a.data(), a.size());
    ASSERT_GT(id, 0);
    ASSERT_TRUE(tree->markRemoved(uint32_t(id)));
    std::vector<std::string> paths = LiveMonitor::contentsOf(*tree, {r, r + "/none", r + "/sub"});
    std::sort(paths.begin(), paths.end());
    EXPECT_EQ(paths, (std::vector<std::string>{r + "/b", r + "/sub", r + "/sub/c", r + "/sub/deep"}));
}

// Inotify mode (fanotify switched off): what a request watches and in which order.
TEST(LiveMonitorInotify, RequestsWatchLargestFoldersFirstAndSkipWhatCannotBeWatched) {
    ensureApp();
    TempDir dir("hm-live");
    const std::string r = dir / "root";
    ASSERT_EQ(hmtest::sh("mkdir -p " + hmtest::shQuote(r + "/big") + " " + hmtest::shQuote(r + "/mid") + " " +
                         hmtest::shQuote(r + "/mid2") + " " + hmtest::shQuote(r + "/small")),
              0);
    hmtest::writeFile(r + "/big/f", std::string(400000, 'b'));
    hmtest::writeFile(r + "/mid/f", std::string(100000, 'm'));
    hmtest::writeFile(r + "/small/f", "s");
    hmtest::writeFile(r + "/mid2/f", "s");
    hmtest::writeFile(r + "/file", "x");
    ASSERT_EQ(hmtest::sh("mkdir -p " + hmtest::shQuote(r + "/outer/inner")), 0);
    hmtest::writeFile(r + "/outer/inner/f", "s");
    ASSERT_EQ(::symlink((r + "/big").c_str(), (r + "/link").c_str()), 0);
    ASSERT_EQ(::mkdir((r + "/dead").c_str(), 0755), 0);
    LiveMonitor::setFanotifyEnabled(false);
    LiveMonitor monitor;
    monitor.start(scan(r));
    LiveMonitor::setFanotifyEnabled(true);
    // As root, "dead" becomes a mount that never answers after the scan: never watched.
    std::unique_ptr<hmtest::DeadFuseMount> dead;
    if (hmtest::isRoot()) {
        dead = std::make_unique<hmtest::DeadFuseMount>(r + "/dead");
        ASSERT_TRUE(dead->ok()) << dead->error();
        dead->abortAfter(std::chrono::seconds(30));
    }
    QElapsedTimer refusing;
    refusing.start();
    ASSERT_EQ(monitor.mode(), LiveMonitor::Mode::InotifyOnDemand);
    EXPECT_EQ(monitor.folderLimit(), std::min(readMaxUserWatches() / 4, 20000));
    for (const std::string& refused : {r + "/file", r + "/link", r + "/none", std::string("/"), r + "/dead"})
        monitor.watchFolder(q(refused), true, 2000);
    EXPECT_EQ(monitor.watchedCount(), 0);
    EXPECT_LT(refusing.elapsed(), 10000);

    QSignalSpy watched(&monitor, &LiveMonitor::watchedChanged);
    monitor.watchFolder(q(r), true, 3);  // root, big, mid
    EXPECT_EQ(watchedSoon(monitor, 3), 3);
    monitor.watchFolder(q(r + "/big"), false, 2000);  // queued before: nothing new
    EXPECT_EQ(monitor.watchedCount(), 3);
    ASSERT_FALSE(watched.isEmpty());
    EXPECT_EQ(watched.last().at(0).toInt(), 3);

    // Renames report the old name; the unwatched smallest folder reports nothing; a file
    // deleted and written again within the batch is not reported, one replaced by a folder is.
    ASSERT_EQ(::rename((r + "/big/f").c_str(), (r + "/big/g").c_str()), 0);
    ASSERT_EQ(::unlink((r + "/small/f").c_str()), 0);
    ASSERT_EQ(::unlink((r + "/mid/f").c_str()), 0);
    hmtest::writeFile(r + "/mid/f", "again");
    ASSERT_EQ(::unlink((r + "/file").c_str()), 0);
    ASSERT_EQ(::mkdir((r + "/file").c_str(), 0755), 0);
    QSignalSpy replaced(&monitor, &LiveMonitor::foldersReplaced);
    EXPECT_EQ(collect(monitor, 3000), (QSet<QString>{q(r + "/big/f"), q(r + "/file")}));
    EXPECT_TRUE(replaced.isEmpty());  // a file written again is no folder made again

    // A watch below an unwatched folder that moved away reports nothing under the old path.
    monitor.watchFolder(q(r + "/outer/inner"), false, 2000);
    ASSERT_EQ(::rename((r + "/outer").c_str(), (dir / "outer-moved").c_str()), 0);
    ASSERT_EQ(::unlink((dir / "outer-moved/inner/f").c_str()), 0);
    EXPECT_EQ(collect(monitor, 3000), (QSet<QString>{q(r + "/outer")}));

    // The watched folder itself going away is reported through its own watch.
    ASSERT_EQ(hmtest::sh("rm -r " + hmtest::shQuote(r + "/big")), 0);
    EXPECT_EQ(collect(monitor, 3000), (QSet<QString>{q(r + "/big"), q(r + "/big/g")}));

    // Renaming mid, as the window does, leaves the watch of its sibling mid2 under its name.
    monitor.watchFolder(q(r + "/mid2"), false, 2000);
    ASSERT_EQ(::rename((r + "/mid").c_str(), (r + "/mid-new").c_str()), 0);
    monitor.renamePath(r + "/mid", r + "/mid-new");
    ASSERT_EQ(::unlink((r + "/mid2/f").c_str()), 0);
    ASSERT_EQ(::unlink((r + "/mid-new/f").c_str()), 0);  // the renamed folder keeps its watch
    EXPECT_EQ(collect(monitor, 3000), (QSet<QString>{q(r + "/mid"), q(r + "/mid2/f"), q(r + "/mid-new/f")}));

    monitor.stop();
    EXPECT_EQ(watched.last().at(0).toInt(), 0);
    EXPECT_EQ(monitor.watchedCount(), 0);
}

// A chain far deeper than any per-level recursion could take, plus some breadth.
std::shared_ptr<svl::ScanTree> scanDeepAndWide(const std::string& path, int breadth) {
    EXPECT_EQ(::mkdir(path.c_str(), 0755), 0);
    std::string deep = path;
    for (int i = 0; i < 3000 && deep.size() < 1600; ++i) {
        deep += "/d";
        EXPECT_EQ(::mkdir(deep.c_str(), 0755), 0);
    }
    for (int i = 0; i < breadth; ++i)
        EXPECT_EQ(::mkdir((path + "/w" + std::to_string(i)).c_str(), 0755), 0);
    return scan(path);
}

TEST(LiveMonitorInotify, WholeTreeWatchIsSlicedAndAStopCancelsPostedSlices) {
    ensureApp();
    TempDir dir("hm-live");
    const std::string path = dir / "root";
    auto tree = scanDeepAndWide(path, 300);
    LiveMonitor monitor;
    monitor.startInotify(tree, -1);
    ASSERT_EQ(monitor.mode(), LiveMonitor::Mode::InotifyWholeTree);
    QElapsedTimer timer;
    timer.start();
    while (monitor.watchedCount() < int(tree->nodeCount) && timer.elapsed() < 10000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    EXPECT_EQ(monitor.watchedCount(), int(tree->nodeCount));

    // A limit of 5 watches five folders only; slices posted before a stop add nothing.
    monitor.startInotify(tree, 5);
    EXPECT_EQ(watchedSoon(monitor, 5), 5);
    monitor.stop();
    QSignalSpy watched(&monitor, &LiveMonitor::watchedChanged);
    QCoreApplication::processEvents(QEventLoop::AllEvents, 100);
    EXPECT_EQ(monitor.watchedCount(), 0);
    EXPECT_TRUE(watched.isEmpty());
}

// Stopped and started again within one turn of the event loop, the monitor goes on with
// one chain of posted slices: each pass over the posted events runs at most one slice.
TEST(LiveMonitorInotify, ARestartInOneTurnLeavesOneChainOfSlices) {
    ensureApp();
    TempDir dir("hm-live");
    const std::string path = dir / "root";
    auto tree = scanDeepAndWide(path, 6000);
    const auto restarts = {
        std::function<void(LiveMonitor&)>([&](LiveMonitor& monitor) {
            monitor.stop();
            monitor.startInotify(tree, -1);
        }),
        std::function<void(LiveMonitor&)>([&](LiveMonitor& monitor) {
            LiveMonitor::setFanotifyEnabled(false);
            monitor.start(tree);
            LiveMonitor::setFanotifyEnabled(true);
            monitor.watchFolder(q(path), true, 30000);
            monitor.watchFolder(q(path + "/w1"), false, 30000);  // a second request in the same turn
        }),
    };
    int restart = 0;
    for (const auto& restartIn : restarts) {
        SCOPED_TRACE(restart++);
        LiveMonitor monitor;
        monitor.startInotify(tree, -1);
        restartIn(monitor);
        ASSERT_LT(monitor.watchedCount(), int(tree->nodeCount)) << "the first slice must not finish the tree";
        QSignalSpy slices(&monitor, &LiveMonitor::watchedChanged);
        QElapsedTimer timer;
        timer.start();
        int mostPerPass = 0;
        while (monitor.watchedCount() < int(tree->nodeCount) && timer.elapsed() < 20000) {
            slices.clear();
            QCoreApplication::sendPostedEvents(&monitor, QEvent::MetaCall);
            mostPerPass = std::max(mostPerPass, int(slices.size()));
        }
        EXPECT_EQ(monitor.watchedCount(), int(tree->nodeCount));
        EXPECT_EQ(mostPerPass, 1);
    }
}

// A folder emptied of 25,000 files: every path is reported, and the first batch is checked
// in slices posted behind the window's events before it is reported, not in one turn.
TEST(LiveMonitorInotify, ALargeBatchIsCheckedInPostedSlicesAndReportedWhole) {
    ensureApp();
    TempDir dir("hm-live");
    const std::string path = dir / "many";
    ASSERT_EQ(::mkdir(path.c_str(), 0755), 0);
    constexpr int kFiles = 45000;
    for (int i = 0; i < kFiles; ++i)
        ::close(::open((path + "/f" + std::to_string(i)).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
    // As root the kernel's queue is made to hold every event, so that all are queued before
    // the first flush and two full batches wait: the second must go out unasked.
    const char* const kQueueLimit = "/proc/sys/fs/inotify/max_queued_events";
    const std::string oldLimit = hmtest::isRoot() ? hmtest::readText(kQueueLimit) : std::string();
    const bool oneStep = !oldLimit.empty() && hmtest::sh(std::string("echo 65536 >") + kQueueLimit) == 0;
    LiveMonitor monitor;
    monitor.startInotify(scan(path), -1);
    if (oneStep)
        hmtest::sh("echo " + oldLimit.substr(0, oldLimit.find('\n')) + " >" + kQueueLimit);
    ASSERT_EQ(monitor.watchedCount(), 1);
    QSet<QString> reported;
    struct CountSlices : QObject {
        const QSet<QString>* reported;
        int posted = 0;  // before the first report
        int all = 0;
        bool eventFilter(QObject*, QEvent* event) override {
            all += event->type() == QEvent::MetaCall;
            return posted += reported->isEmpty() && event->type() == QEvent::MetaCall, false;
        }
    } slices;
    slices.reported = &reported;
    monitor.installEventFilter(&slices);
    qsizetype firstBatch = 0, largestBatch = 0;
    QObject::connect(&monitor, &LiveMonitor::pathsRemoved, [&](const QStringList& batch) {
        firstBatch = firstBatch ? firstBatch : batch.size();
        largestBatch = std::max(largestBatch, batch.size());
        for (const QString& p : batch)
            reported.insert(p);
    });
    // In steps the kernel's event queue holds, each read before the next.
    for (int i = 0; i < kFiles; ++i) {
        ASSERT_EQ(::unlink((path + "/f" + std::to_string(i)).c_str()), 0);
        if (!oneStep && i % 5000 == 4999)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    QElapsedTimer timer;
    timer.start();
    while (reported.size() < kFiles && timer.elapsed() < 60000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    EXPECT_EQ(reported.size(), kFiles);
    EXPECT_TRUE(reported.contains(q(path + "/f0")) && reported.contains(q(path + "/f" + std::to_string(kFiles - 1))));
    EXPECT_GE(slices.posted, 1);
    // A slice checks at most 4,096 paths, a batch holds at most 20,000, and a slice is not
    // one path.
    EXPECT_GE(slices.posted, (firstBatch - 1) / 4096);
    EXPECT_LE(largestBatch, 20000);
    EXPECT_LT(slices.all, 2000);
}

// One batch's life under what a caller may do while it is checked. "a" holds 10,000 files and
// "b" 16,000 (each more than a slice, and within the kernel's event queue), "a/w" one.
struct BatchRun {
    std::string base;
    LiveMonitor monitor;
    std::shared_ptr<svl::ScanTree> tree;
    std::unique_ptr<hmtest::DeadFuseMount> dead;
    QSet<QString> reported;
    int slicesThisPass = 0;
    int mostSlicesPerPass = 0;

    void fill(const std::string& folder, int files) {
        for (int i = 0; i < files; ++i)
            ::close(::open((folder + "/f" + std::to_string(i)).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
    }
    QSet<QString> removeAll(const std::string& folder, int files) {
        QSet<QString> paths;
        for (int i = 0; i < files; ++i) {
            const std::string path = folder + "/f" + std::to_string(i);
            EXPECT_EQ(::unlink(path.c_str()), 0);
            paths.insert(q(path));
        }
        return paths;
    }
    // Starts on-demand inotify over the base with the folders watched.
    void watch(const std::vector<std::string>& folders) {
        LiveMonitor::setFanotifyEnabled(false);
        monitor.start(tree = scan(base));
        LiveMonitor::setFanotifyEnabled(true);
        for (const std::string& folder : folders)
            monitor.watchFolder(q(base + "/" + folder), true, 10);
    }
    // Runs the event loop a pass at a time until `done` or 30 s, counting the monitor's
    // posted slices per pass.
    void run(const std::function<bool()>& done) {
        struct Count : QObject {
            int* slices;
            bool eventFilter(QObject*, QEvent* event) override { return *slices += event->type() == QEvent::MetaCall, false; }
        } count;
        count.slices = &slicesThisPass;
        monitor.installEventFilter(&count);
        QElapsedTimer timer;
        timer.start();
        while (!done() && timer.elapsed() < 30000) {
            slicesThisPass = 0;
            QCoreApplication::processEvents();
            mostSlicesPerPass = std::max(mostSlicesPerPass, slicesThisPass);
        }
        monitor.removeEventFilter(&count);
    }
    // Runs `act` when the batch's first posted slice arrives, before that slice runs.
    void atFirstSlice(std::function<void()> act) {
        struct Hold : QObject {
            std::function<void()> act;
            bool eventFilter(QObject*, QEvent* event) override {
                if (event->type() == QEvent::MetaCall && act)
                    std::exchange(act, nullptr)();
                return false;
            }
        };
        auto* hold = new Hold;
        hold->act = std::move(act);
        hold->setParent(&monitor);
        monitor.installEventFilter(hold);
    }
};

// Runs fn in a child process whose "/" is a fresh tmpfs (with /proc), in a mount namespace of
// its own; returns fn's result, or 20 when that "/" could not be made.
int inOwnRoot(const std::string& dir, const std::function<int()>& fn) {
    const pid_t child = ::fork();
    if (child == 0) {
        const std::string proc = dir + "/proc";
        const bool made = ::unshare(CLONE_NEWNS) == 0 && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                          ::mount("none", dir.c_str(), "tmpfs", 0, nullptr) == 0 && ::mkdir(proc.c_str(), 0755) == 0 &&
                          ::mount("proc", proc.c_str(), "proc", 0, nullptr) == 0 && ::chroot(dir.c_str()) == 0 &&
                          ::chdir("/") == 0;
        ::_exit(made ? fn() : 20);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST(LiveMonitorBatches, WhatTheCallerSeesForEachStateItBrings) {
    ensureApp();
    struct Row {
        const char* label;
        std::function<QSet<QString>(BatchRun&)> bring;  // returns what must be reported
        bool outOfWatches = false;
    };
    const auto restartOnB = [](BatchRun& r, bool wholeTree) {
        if (wholeTree)
            r.monitor.startInotify(r.tree = scan(r.base + "/b"), -1);
        else
            r.watch({"b"});
        return r.removeAll(r.base + "/b", 16000);
    };
    const auto removeA = [](BatchRun& r, std::function<void()> atFirstSlice) {
        r.watch({"a"});
        if (atFirstSlice)
            r.atFirstSlice(std::move(atFirstSlice));
        return r.removeAll(r.base + "/a", 10000);
    };
    // Watches a/w, which is moved away and made again; `addWatch` adds the watch of the new
    // one (only that one: the kernel may have watches again later).
    const auto remakeW = [](BatchRun& r, std::function<int(int, const char*, uint32_t)> addWatch) {
        r.watch({"a/w"});
        const std::string w = r.base + "/a/w";
        r.monitor.setAddWatchCall([w, addWatch](int fd, const char* path, uint32_t mask) {
            return path == w ? addWatch(fd, path, mask) : ::inotify_add_watch(fd, path, mask);
        });
        EXPECT_EQ(hmtest::sh("cd " + hmtest::shQuote(r.base) + " && mv a/w w-old && mkdir a/w && echo >a/w/g"), 0);
        QSignalSpy replaced(&r.monitor, &LiveMonitor::foldersReplaced);
        r.run([&] { return !replaced.isEmpty(); });
        EXPECT_EQ(replaced.size(), 1);
        r.monitor.watchFolder(q(r.base + "/b"), false, 10);  // watched unless out of watches
        EXPECT_EQ(::unlink((r.base + "/a/w/g").c_str()), 0);
        EXPECT_EQ(::unlink((r.base + "/b/f0").c_str()), 0);
    };
    const Row rows[] = {
        {"larger than a slice", [&](BatchRun& r) { return removeA(r, nullptr); }},
        {"stopped", [&](BatchRun& r) { return removeA(r, [&] { r.monitor.stop(); }), QSet<QString>(); }},
        {"started again",
         [&](BatchRun& r) {
             QSet<QString> b;
             removeA(r, [&] { b = restartOnB(r, false); });
             return b;
         }},
        {"another generation",
         [&](BatchRun& r) {
             QSet<QString> b;
             removeA(r, [&] { b = restartOnB(r, true); });
             return b;
         }},
        // The old slice arrives only once the new batch is being checked (a nested event loop
        // in the caller held it): it must not become a second chain of slices over that batch.
        {"started again, old slice late",
         [&](BatchRun& r) {
             QSet<QString> b;
             removeA(r, [&] {
                 b = restartOnB(r, false);
                 bool newSlice = false;
                 r.atFirstSlice([&] { newSlice = true; });
                 QElapsedTimer timer;
                 timer.start();
                 while (!newSlice && timer.elapsed() < 20000)
                     QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
                 EXPECT_TRUE(newSlice);
                 r.slicesThisPass = 0;  // those of the nested loop's passes
             });
             return b;
         }},
        {"watch made again, out of watches",
         [&](BatchRun& r) {
             remakeW(r, [](int, const char*, uint32_t) { return errno = ENOSPC, -1; });
             return QSet<QString>();
         },
         true},
        // A watch added may leave errno at ENOSPC from before: that is no want of watches.
        {"watch made again",
         [&](BatchRun& r) {
             remakeW(r, [](int fd, const char* path, uint32_t mask) {
                 const int added = ::inotify_add_watch(fd, path, mask);
                 errno = ENOSPC;
                 return added;
             });
             return QSet<QString>{q(r.base + "/a/w/g"), q(r.base + "/b/f0")};
         }},
        // As root: a watched folder moved away, and a mount that never answers put at its path.
        {"watch made again, a mount that does not answer over it",
         [&](BatchRun& r) {
             if (!hmtest::isRoot())
                 return QSet<QString>();
             r.watch({"a/w"});
             EXPECT_EQ(hmtest::sh("cd " + hmtest::shQuote(r.base) + " && mv a/w w-old && mkdir a/w"), 0);
             r.dead = std::make_unique<hmtest::DeadFuseMount>(r.base + "/a/w");
             EXPECT_TRUE(r.dead->ok()) << r.dead->error();
             r.dead->abortAfter(std::chrono::seconds(30));
             QElapsedTimer timer;
             timer.start();
             r.run([&] { return !r.reported.isEmpty(); });
             EXPECT_LT(timer.elapsed(), 10000);
             return QSet<QString>{q(r.base + "/a/w")};
         }},
        // Under fanotify with "/" scanned: the removals inside a folder removed with them come
        // with a folder handle that no longer resolves; their bare names are no paths at the top.
        {"folder of the removal gone, \"/\" scanned",
         [&](BatchRun& r) {
             if (!hmtest::isRoot())
                 return QSet<QString>();
             EXPECT_EQ(inOwnRoot(r.base + "/b", [] {
                           hmtest::writeFile("/victim", "x");
                           if (::mkdir("/dir", 0755) != 0)
                               return 21;
                           hmtest::writeFile("/dir/victim", "x");
                           hmtest::writeFile("/dir/other", "x");
                           svl::ScanOptions options;
                           options.oneFileSystem = true;
                           auto tree = std::shared_ptr<svl::ScanTree>(svl::scanSingle("/", options, nullptr));
                           LiveMonitor monitor;
                           monitor.start(tree);
                           if (monitor.mode() != LiveMonitor::Mode::Fanotify)
                               return 22;
                           applyReports(monitor, tree);
                           if (::unlink("/dir/victim") != 0 || ::unlink("/dir/other") != 0 || ::rmdir("/dir") != 0)
                               return 23;
                           if (collect(monitor, 3000) != QSet<QString>{"/dir"})
                               return 24;
                           const int64_t top = tree->findPath("/victim", 7);
                           return top > 0 && !(tree->node(uint32_t(top)).flags & svl::NodeFlag::Removed) ? 0 : 25;
                       }),
                       0);
             return QSet<QString>();
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        TempDir dir("hm-live-batch");
        BatchRun r;
        r.base = dir.path();
        ASSERT_EQ(hmtest::sh("cd " + hmtest::shQuote(r.base) + " && mkdir -p a/w b && echo >a/w/f"), 0);
        r.fill(r.base + "/a", 10000);
        r.fill(r.base + "/b", 16000);
        QObject::connect(&r.monitor, &LiveMonitor::pathsRemoved, [&](const QStringList& batch) {
            for (const QString& p : batch)
                r.reported.insert(p);
        });
        const QSet<QString> expected = row.bring(r);
        QElapsedTimer quiet;  // done when all expected came and nothing more for 1.5 s
        quiet.start();
        qsizetype seen = -1;
        r.run([&] {
            if (r.reported.size() != seen)
                seen = r.reported.size(), quiet.restart();
            return r.reported.size() >= expected.size() && quiet.elapsed() > 1500;
        });
        EXPECT_EQ(r.reported.size(), expected.size());
        EXPECT_TRUE(QSet<QString>(r.reported).subtract(expected).isEmpty()) << "reported beyond what was removed";
        EXPECT_LE(r.mostSlicesPerPass, 1);  // one chain of slices
        EXPECT_EQ(r.monitor.outOfWatches(), row.outOfWatches);
    }
}

// An ordinary user: fanotify is refused, inotify serves; the rewrite check holds there too.
TEST(LiveMonitorInotify, OrdinaryUserFallsBackToInotify) {
    if (!hmtest::isRoot() || hmtest::testUserUid() == uid_t(-1))
        GTEST_SKIP() << "needs root to switch to the ordinary test account";
    ensureApp();
    TempDir dir("hm-live");
    ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);
    const std::string base = dir / "user";
    const int rc = hmtest::runAsTestUser([&] {
        if (::mkdir(base.c_str(), 0755) != 0)
            return 10;
        makeFixture(base);
        LiveMonitor monitor;
        monitor.start(scan(base + "/scan"));
        if (monitor.mode() != LiveMonitor::Mode::InotifyOnDemand)
            return 11;
        monitor.watchFolder(q(base + "/scan"), true, 2000);
        collect(monitor, 500, false);  // under load the watches may take more than one slice
        if (monitor.watchedCount() != 3)
            return 12;
        const QSet<QString> got = changeFixture(monitor, base);
        const QString s = q(base + "/scan");
        const QSet<QString> expected{s + "/a", s + "/sub/c", s + "/sub/deep", s + "/sub/deep/d"};
        if (got != expected)
            return 13;
        checkSequences(base);
        // A watched folder put back unreadable cannot be watched again; that failure is no
        // want of watches, so a later request is still watched.
        if (hmtest::sh("cd " + hmtest::shQuote(base) + " && mkdir -p w/x w/y w/z && echo >w/y/f") != 0)
            return 15;
        LiveMonitor again;
        again.start(scan(base + "/w"));
        again.watchFolder(q(base + "/w/x"), false, 10);
        if (hmtest::sh("cd " + hmtest::shQuote(base) + " && mv w/x x-old && mkdir -m 0 w/x") != 0)
            return 16;
        collect(again, 1000, false);
        again.watchFolder(q(base + "/w/y"), false, 10);
        if (::unlink((base + "/w/y/f").c_str()) != 0 || collect(again, 3000) != QSet<QString>{q(base + "/w/y/f")})
            return 17;
        // Nor is a folder made unreadable since the scan counted as watched.
        const int watched = again.watchedCount();
        if (::chmod((base + "/w/z").c_str(), 0) != 0)
            return 18;
        again.watchFolder(q(base + "/w/z"), false, 10);
        collect(again, 500, false);
        if (again.watchedCount() != watched)
            return 19;
        return ::testing::Test::HasFailure() ? 14 : 0;
    });
    EXPECT_EQ(rc, 0);
}

}  // namespace

TEST(LiveMonitorBytes, NamesThatAreNotUtf8ArriveAsTheirOwnBytes) {
    ensureApp();
    TempDir dir("hm-live-bytes");
    std::string base = dir.path();
    hmtest::Mounts mounts;
    if (hmtest::isRoot()) {  // fanotify on a file system of its own
        ASSERT_EQ(::mkdir((dir / "mnt").c_str(), 0755), 0);
        ASSERT_TRUE(mounts.mount("-t tmpfs none", dir / "mnt"));
        base = dir / "mnt";
    }
    const std::string bad = base + "/scan/caf\xe9-\xff.txt";  // Latin-1 bytes, not UTF-8
    ASSERT_EQ(::mkdir((base + "/scan").c_str(), 0755), 0);
    hmtest::writeFile(bad, "x");
    hmtest::writeFile(base + "/scan/plain.txt", "y");
    // The monitor's own descriptor is 0, as in a program started with standard input closed.
    hmtest::StandardInputClosed closed;
    LiveMonitor monitor;
    monitor.start(scan(base + "/scan"));
    ASSERT_NE(::fcntl(0, F_GETFD), -1);
    if (monitor.mode() == LiveMonitor::Mode::InotifyOnDemand)
        monitor.watchFolder(q(base + "/scan"), true, 10);
    std::vector<std::string> bytes;
    auto connection = QObject::connect(&monitor, &LiveMonitor::pathsRemovedBytes,
                                       [&](const std::vector<std::string>& batch) {
                                           bytes.insert(bytes.end(), batch.begin(), batch.end());
                                       });
    ASSERT_EQ(::unlink(bad.c_str()), 0);
    QElapsedTimer timer;
    timer.start();
    while (bytes.empty() && timer.elapsed() < 3000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    QObject::disconnect(connection);
    EXPECT_EQ(bytes, std::vector<std::string>{bad});
}
