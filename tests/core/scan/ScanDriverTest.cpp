// The scan drivers: roots that are missing, files or links, several roots under the virtual
// root, the exclusion filter, the remote-source hook, automatic thread counts and cancel.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <thread>

#include "core/analysis/Filter.h"
#include "core/scan/FolderWalker.h"
#include "core/scan/RemoteSource.h"
#include "core/scan/RootProbe.h"
#include "core/scan/ScanDriver.h"
#include "core/scan/MountWatch.h"
#include "core/tree/ScanTree.h"
#include "tests/core/scan/ScanTestSupport.h"
#include "tests/support/FuseServer.h"
#include "tests/support/TestSupport.h"

using namespace svl::NodeFlag;
using scantest::nodeAt;

namespace {

std::string readLink(const std::string& p) {
    char buf[4096];
    const ssize_t n = readlink(p.c_str(), buf, sizeof buf);
    return n > 0 ? std::string(buf, size_t(n)) : std::string();
}

struct statx statOf(const std::string& p) {
    struct statx st{};
    statx(AT_FDCWD, p.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS, &st);
    return st;
}

// A source whose walk always fails, and a provider that says every folder is on a share.
class FailingSource : public svl::RemoteSource {
public:
    int walk(const std::string&, const svl::RemoteVisitor&, const std::function<bool()>&, std::string& error) override {
        error = "could not connect or log in";
        return -1;
    }
};

// A share holding "sub/g" (20 bytes) and "f" (10 bytes) below the start folder.
class ListingSource : public svl::RemoteSource {
public:
    int walk(const std::string& start, const svl::RemoteVisitor& visitor, const std::function<bool()>& cancelled,
             std::string&) override {
        if (cancelled())
            return 0;
        svl::RemoteEntry top[2];
        top[0].name = "sub";
        top[0].isDir = true;
        top[1].name = "f";
        top[1].size = 10;
        top[1].allocated = 4096;
        top[1].mtime = 1600000000.5;
        unsigned char descend[2] = {1, 0};
        visitor(start, top, 2, descend, 0);
        if (descend[0]) {
            svl::RemoteEntry inner[1];
            inner[0].name = "g";
            inner[0].size = 20;
            inner[0].allocated = 4096;
            unsigned char none[1] = {0};
            visitor(start + "/sub", inner, 1, none, 0);
        }
        return 1;
    }
};

class FakeProvider : public svl::RemoteProvider {
public:
    explicit FakeProvider(std::chrono::milliseconds openDelay, bool works = false) : m_delay(openDelay), m_works(works) {}
    std::optional<svl::SmbMountInfo> findSmbMount(const std::string& path) override {
        asked.push_back(path);
        svl::SmbMountInfo m;
        m.server = "server";
        m.share = "share";
        m.path = "inside";
        m.mountPoint = path;
        return m;
    }
    std::unique_ptr<svl::RemoteSource> open(const svl::SmbMountInfo&) override {
        std::this_thread::sleep_for(m_delay);
        ++opened;
        if (m_works)
            return std::make_unique<ListingSource>();
        return std::make_unique<FailingSource>();
    }
    std::vector<std::string> asked;
    int opened = 0;

private:
    std::chrono::milliseconds m_delay;
    bool m_works;
};

}  // namespace

TEST(ScanSingle, MissingPathGivesNoNodesAndOneError) {
    hmtest::TempDir dir;
    svl::ScanProgress progress;
    auto tree = svl::scanSingle(dir / "does-not-exist", {}, &progress);
    EXPECT_EQ(tree->nodeCount, 0u);
    EXPECT_EQ(tree->errors, 1u);
    EXPECT_EQ(tree->seconds, 0.0);
    EXPECT_FALSE(tree->incomplete);
    EXPECT_TRUE(tree->newestTimes.empty());
}

TEST(ScanSingle, RegularFileGivesOneNode) {
    hmtest::TempDir dir;
    scantest::makeFile(dir / "f", 12345, 1600000000);
    svl::ScanProgress progress;
    auto tree = svl::scanSingle(dir / "f", {}, &progress);
    ASSERT_EQ(tree->nodeCount, 1u);
    const svl::ScanNode& root = tree->node(0);
    EXPECT_EQ(root.size, 12345u);
    EXPECT_EQ(root.allocated, statOf(dir / "f").stx_blocks * 512);
    EXPECT_EQ(root.modified, 1600000000);
    EXPECT_EQ(root.flags, 0);
    EXPECT_EQ(std::string(root.nameView()), dir / "f");
    EXPECT_EQ(tree->newestTimes[0], 1600000000);
    EXPECT_EQ(progress.fraction.load(), 1.0);
    EXPECT_EQ(tree->errors, 0u);
}

TEST(ScanSingle, SymlinkToFolderIsNamedByTheLinkAndReadsTheFolder) {
    hmtest::TempDir dir;
    ASSERT_EQ(hmtest::sh("mkdir -p " + hmtest::shQuote(dir / "real/inner")), 0);
    scantest::makeFile(dir / "real/a", 10, 1600000000);
    ASSERT_EQ(symlink((dir / "real").c_str(), (dir / "link").c_str()), 0);
    auto tree = svl::scanSingle(dir / "link", {}, nullptr);
    ASSERT_EQ(tree->nodeCount, 3u);
    EXPECT_EQ(std::string(tree->node(0).nameView()), dir / "link");
    EXPECT_EQ(tree->node(0).flags, Folder);
    EXPECT_EQ(tree->node(0).modified, statOf(dir / "real").stx_mtime.tv_sec);
    EXPECT_NE(nodeAt(*tree, "a"), UINT32_MAX);
    EXPECT_NE(nodeAt(*tree, "inner"), UINT32_MAX);
    EXPECT_EQ(tree->node(0).size, 10u);
    // The examination's figures and the walk come from one descriptor: the folder's own path.
    const svl::ProbedRoot examined = svl::examineRoot(dir / "link");
    EXPECT_EQ(examined.top.walkPath, dir / "real");
    EXPECT_GE(examined.top.handle, 0);
    EXPECT_TRUE(S_ISDIR(examined.st.stx_mode));
}

// The top is swapped while scans run, as a link retargeted and as two folders exchanged: the
// identity recorded for it is always that of the folder whose contents the tree shows at the top.
TEST(ScanSingle, TopSwappedDuringScansIsRecordedAsTheFolderItShows) {
    for (const bool link : {true, false}) {
        hmtest::TempDir dir;
        for (const std::string name : {"A", "B"}) {
            ASSERT_EQ(hmtest::sh("mkdir -p " + hmtest::shQuote(dir / name + "/inner")), 0);
            scantest::makeFile(dir / name + "/only-" + name, 10, 1600000000);
            scantest::makeFile(dir / name + "/inner/in-" + name, 10, 1600000000);
        }
        if (link)
            ASSERT_EQ(symlink("A", (dir / "top").c_str()), 0);
        else
            ASSERT_EQ(rename((dir / "A").c_str(), (dir / "top").c_str()), 0);
        const uint64_t inodeA = statOf(link ? dir / "A" : dir / "top").stx_ino;
        std::atomic<bool> done{false};
        std::thread swapper([&] {
            for (unsigned k = 0; !done; ++k) {
                if (link) {
                    (void)symlink(k % 2 ? "A" : "B", (dir / "next").c_str());
                    (void)rename((dir / "next").c_str(), (dir / "top").c_str());
                } else {
                    (void)renameat2(AT_FDCWD, (dir / "B").c_str(), AT_FDCWD, (dir / "top").c_str(), RENAME_EXCHANGE);
                }
            }
        });
        svl::ScanOptions options;
        options.threads = 1;
        int mismatches = 0;
        for (int run = 0; run < 400 && mismatches == 0; ++run) {
            // Every other run with descriptor 0 free (standard input closed): the top's may be 0.
            std::optional<hmtest::StandardInputClosed> closed;
            if (run % 2)
                closed.emplace();
            auto tree = svl::scanSingle(dir / "top", options, nullptr);
            const bool recordedA = tree->scannedTops.at(dir / "top").inode == inodeA;
            // Below the top the walk goes by path: a link's target stays put, a swapped folder does not.
            mismatches += nodeAt(*tree, recordedA ? "only-A" : "only-B") == UINT32_MAX ||
                          (link && nodeAt(*tree, recordedA ? "inner/in-A" : "inner/in-B") == UINT32_MAX) ||
                          (closed && !hmtest::StandardInputClosed::stillFree());
        }
        done = true;
        swapper.join();
        EXPECT_EQ(mismatches, 0) << (link ? "link" : "folder");
    }
}

TEST(ScanSingle, SymlinkToFileIsOneLinkNode) {
    hmtest::TempDir dir;
    scantest::makeFile(dir / "target", 500, 1600000000);
    ASSERT_EQ(symlink("target", (dir / "link").c_str()), 0);
    auto tree = svl::scanSingle(dir / "link", {}, nullptr);
    ASSERT_EQ(tree->nodeCount, 1u);
    EXPECT_EQ(tree->node(0).flags, Symlink);
    EXPECT_EQ(tree->node(0).size, readLink(dir / "link").size());
}

TEST(ScanSingle, EmptyFolderAddsItsWholeWeight) {
    hmtest::TempDir dir;
    mkdir((dir / "e").c_str(), 0755);
    svl::ScanProgress progress;
    auto tree = svl::scanSingle(dir / "e", {}, &progress);
    ASSERT_EQ(tree->nodeCount, 1u);
    EXPECT_EQ(tree->node(0).childCount, 0u);
    EXPECT_EQ(progress.reachedFraction, 1.0);
    EXPECT_EQ(progress.fraction.load(), 1.0);
}

TEST(ScanSingle, ProgressCountsMatchTheTree) {
    hmtest::TempDir dir;
    const std::string root = dir / "root";
    scantest::makeFixtureTree(root, dir / "outside");
    svl::ScanProgress progress;
    auto tree = svl::scanSingle(root, {}, &progress);
    const svl::ScanNode& r = tree->node(0);
    EXPECT_EQ(progress.files.load(), r.filesBelow);
    EXPECT_EQ(progress.folders.load(), r.foldersBelow);
    EXPECT_EQ(progress.allocatedBytes.load(), r.allocated - scantest::ownAllocated(*tree, 0));
    EXPECT_GT(tree->seconds, 0.0);
}

TEST(ScanSingle, ProgressCountsRiseWhileOneHugeFolderIsRead) {
    hmtest::TempDir dir;
    const std::string root = dir / "huge";
    ASSERT_EQ(::mkdir(root.c_str(), 0755), 0);
    constexpr uint64_t kFiles = 40000;
    for (uint64_t i = 0; i < kFiles; ++i) {
        const int fd = ::open((root + "/f" + std::to_string(i)).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0);
        ::close(fd);
    }
    // Entries examined one by one in inode order, and in batches by extra threads.
    for (const int rotational : {1, 0}) {
        svl::ScanOptions options;
        options.rotational = rotational;
        svl::ScanProgress progress;
        std::atomic<bool> done{false};
        std::unique_ptr<svl::ScanTree> tree;
        std::thread scan([&] {
            tree = svl::scanSingle(root, options, &progress);
            done = true;
        });
        bool seenPart = false;
        while (!done) {
            const uint64_t files = progress.files.load();
            seenPart = seenPart || (files > 0 && files < kFiles);
        }
        scan.join();
        EXPECT_TRUE(seenPart) << "rotational " << rotational;
        EXPECT_EQ(progress.files.load(), kFiles);
        EXPECT_EQ(tree->node(0).filesBelow, kFiles);
    }
}

TEST(ScanSingle, CancelBeforeTheStartGivesIncompleteTree) {
    hmtest::TempDir dir;
    const std::string root = dir / "root";
    scantest::makeFixtureTree(root, dir / "outside");
    svl::ScanProgress progress;
    progress.cancel = true;
    auto tree = svl::scanSingle(root, {}, &progress);
    EXPECT_TRUE(tree->incomplete);
    EXPECT_EQ(tree->nodeCount, 1u);
    EXPECT_LT(progress.fraction.load(), 1.0);
    EXPECT_EQ(tree->node(0).childCount, 0u);
}

TEST(ScanSingle, NegativeOrZeroThreadsChooseAutomatically) {
    EXPECT_EQ(svl::Shared::workerCount(-3, false, false, 8), 64);
    EXPECT_EQ(svl::Shared::workerCount(0, false, false, 8), 64);
    EXPECT_EQ(svl::Shared::workerCount(0, false, false, 96), 96);
    EXPECT_EQ(svl::Shared::workerCount(-1, false, true, 96), 2);
    EXPECT_EQ(svl::Shared::workerCount(0, true, false, 12), 12);
    EXPECT_EQ(svl::Shared::workerCount(0, true, true, 12), 12);
    EXPECT_EQ(svl::Shared::workerCount(0, true, false, 0), 1);
    EXPECT_EQ(svl::Shared::workerCount(5, true, false, 12), 5);
    EXPECT_EQ(svl::Shared::workerCount(5, false, true, 12), 5);

    hmtest::TempDir dir;
    const std::string root = dir / "root";
    scantest::makeFixtureTree(root, dir / "outside");
    svl::ScanOptions o;
    o.threads = -7;
    auto tree = svl::scanSingle(root, o, nullptr);
    scantest::expectMatchesFindAndDu(*tree, root);
}

TEST(ScanSingle, WalkerStartsTheAutomaticCount) {
    hmtest::TempDir dir;
    scantest::makeFile(dir / "f", 1, 1600000000);
    svl::ScanTree tree;
    const char* name = tree.storeName(dir.path());
    ASSERT_EQ(tree.allocateNodes(1), 0u);
    tree.node(0) = svl::ScanNode{name, 0, 0, 0, 0, 0, 0, 0, 0, uint16_t(dir.path().size()), Folder};
    for (const auto& [hw, rotational, expected] : {std::tuple{3u, false, 64}, std::tuple{100u, false, 100},
                                                   std::tuple{100u, true, 2}}) {
        svl::ScanOptions o;
        o.hardwareThreads = hw;
        o.threads = -1;
        auto owned = std::make_shared<svl::Shared>(tree, o, nullptr);
        svl::Shared& walk = *owned;
        walk.rotational = rotational;
        svl::WalkJob job;
        job.path = dir.path();
        job.weight = 1;
        walk.queueJob(job);
        walk.runWorkers(o.threads);
        EXPECT_EQ(walk.workersStarted, expected) << hw << " " << rotational;
        tree.node(0).firstChild = tree.node(0).childCount = 0;
    }
}

TEST(ScanSingle, ExclusionFilterLeavesEntriesOutButCopiesAllNames) {
    hmtest::TempDir dir;
    const std::string root = dir / "root";
    ASSERT_EQ(hmtest::sh("mkdir -p " + hmtest::shQuote(root + "/mixed") + " " + hmtest::shQuote(root + "/allgone") + " " +
                         hmtest::shQuote(root + "/skipped.log/inner")),
              0);
    scantest::makeFile(root + "/mixed/a.log", 100, 1600000000);
    scantest::makeFile(root + "/mixed/b.txt", 200, 1600000000);
    scantest::makeFile(root + "/allgone/c.log", 300, 1600000000);
    scantest::makeFile(root + "/allgone/d.log", 400, 1600000000);
    scantest::makeFile(root + "/skipped.log/inner/e.txt", 500, 1600000000);
    const svl::Filter filter = svl::decodeFilterText("*.log", false, nullptr);
    ASSERT_FALSE(filter.empty());
    svl::ScanOptions o;
    o.exclude = &filter;
    svl::ScanProgress progress;
    auto tree = svl::scanSingle(root, o, &progress);
    scantest::expectWellFormed(*tree);
    EXPECT_EQ(nodeAt(*tree, "mixed/a.log"), UINT32_MAX);
    EXPECT_NE(nodeAt(*tree, "mixed/b.txt"), UINT32_MAX);
    EXPECT_EQ(nodeAt(*tree, "skipped.log"), UINT32_MAX);
    const uint32_t allGone = nodeAt(*tree, "allgone");
    ASSERT_NE(allGone, UINT32_MAX);
    EXPECT_EQ(tree->node(allGone).childCount, 0u);
    EXPECT_EQ(tree->node(allGone).firstChild, 0u);
    EXPECT_EQ(tree->node(0).size, 200u);
    EXPECT_EQ(tree->nodeCount, 4u);  // root, mixed, allgone, b.txt
    // Name pool: the root's name, the root folder's whole listing (skipped.log included),
    // mixed's whole listing (a.log included); nothing for allgone.
    const uint64_t expected = (root.size() + 1) + (6 + 8 + 12) + (6 + 6);
    EXPECT_EQ(tree->nameUsed.load(), expected);
    EXPECT_EQ(progress.files.load(), 1u);
    EXPECT_EQ(progress.fraction.load(), 1.0);
}

TEST(ScanSingle, RemoteSourceThatFailsFallsBackAndLoginTimeIsNotCounted) {
    hmtest::TempDir dir;
    const std::string root = dir / "root";
    scantest::makeFixtureTree(root, dir / "outside");
    FakeProvider provider(std::chrono::milliseconds(400));
    svl::ScanOptions o;
    o.provider = &provider;
    const auto t = std::chrono::steady_clock::now();
    auto tree = svl::scanSingle(root, o, nullptr);
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
    EXPECT_EQ(provider.opened, 1);
    ASSERT_EQ(provider.asked.size(), 1u);
    EXPECT_EQ(provider.asked[0], root);  // the real path
    EXPECT_FALSE(tree->remote);
    scantest::expectMatchesFindAndDu(*tree, root);
    EXPECT_GE(wall, 0.4);
    EXPECT_LT(tree->seconds, wall - 0.35);
}

TEST(ScanMultiple, EmptyListGivesNoNodes) {
    auto tree = svl::scanMultiple({}, {}, nullptr);
    EXPECT_EQ(tree->nodeCount, 0u);
    EXPECT_EQ(tree->errors, 0u);
}

TEST(ScanMultiple, MissingPathIsUnreadableChild) {
    hmtest::TempDir dir;
    svl::ScanProgress progress;
    auto tree = svl::scanMultiple({dir / "missing"}, {}, &progress);
    ASSERT_EQ(tree->nodeCount, 2u);
    EXPECT_EQ(std::string(tree->node(0).nameView()), "Select Multiple");
    EXPECT_EQ(tree->node(0).flags, VirtualRoot | Folder);
    EXPECT_EQ(tree->node(0).firstChild, 1u);
    EXPECT_EQ(tree->node(0).childCount, 1u);
    EXPECT_EQ(tree->node(1).flags, Folder | Unreadable);
    EXPECT_EQ(std::string(tree->node(1).nameView()), dir / "missing");
    EXPECT_EQ(tree->errors, 1u);
    EXPECT_EQ(progress.errorCount.load(), 1u);
    EXPECT_EQ(progress.fraction.load(), 1.0);
    EXPECT_FALSE(tree->incomplete);
    EXPECT_EQ(tree->unreachedRoots, (std::vector<std::pair<uint32_t, svl::RootReach>>{{1, svl::RootReach::Missing}}));
}

// Modes only hold for an ordinary user: the scan runs in a child with the test user's ids.
TEST(ScanMultiple, RootsTheUserMayNotReadAreDeniedNotMissing) {
    if (!hmtest::isRoot())
        GTEST_SKIP() << "needs root to switch to the test user";
    hmtest::TempDir dir;
    ASSERT_EQ(hmtest::sh("mkdir -p " + hmtest::shQuote(dir / "open") + " " + hmtest::shQuote(dir / "closed") + " " +
                         hmtest::shQuote(dir / "private/inner")),
              0);
    scantest::makeFile(dir / "open/f", 100, 1600000000);
    scantest::makeFile(dir / "closed/hidden", 8192, 1600000000);
    hmtest::setMtime(dir / "closed", 1500000000);
    const struct statx closed = statOf(dir / "closed");
    chmod((dir / "closed").c_str(), 0000);
    chmod((dir / "private").c_str(), 0700);
    const std::vector<std::string> roots{dir / "open", dir / "closed", dir / "private/inner", dir / "missing"};
    const int rc = hmtest::runAsTestUser([&] {
        auto tree = svl::scanMultiple(roots, {}, nullptr);
        EXPECT_EQ(tree->node(1).flags, Folder);
        EXPECT_EQ(tree->node(2).flags, Folder | Unreadable | AccessDenied);
        // Its own figures are there to read, though not its contents.
        EXPECT_EQ(tree->node(2).allocated, closed.stx_blocks * 512);
        EXPECT_EQ(tree->node(2).modified, 1500000000);
        EXPECT_EQ(tree->node(3).flags, Folder | Unreadable | AccessDenied) << "not reachable through its parent";
        EXPECT_EQ(tree->node(4).flags, Folder | Unreadable);
        EXPECT_EQ(tree->errors, 3u);
        EXPECT_EQ(tree->unreachedRoots, (std::vector<std::pair<uint32_t, svl::RootReach>>{
                                            {2, svl::RootReach::Denied},
                                            {3, svl::RootReach::Denied},
                                            {4, svl::RootReach::Missing}}));
        // Alone, a folder that may not be listed is its root only, flagged denied and named.
        auto single = svl::scanSingle(roots[1], {}, nullptr);
        EXPECT_EQ(single->nodeCount, 1u);
        EXPECT_EQ(single->node(0).flags, Folder | Unreadable | AccessDenied);
        EXPECT_EQ(single->unreachedRoots, (std::vector<std::pair<uint32_t, svl::RootReach>>{{0, svl::RootReach::Denied}}));
        return ::testing::Test::HasFailure() ? 1 : 0;
    });
    EXPECT_EQ(rc, 0);
}

// A mount whose server never answered and one whose server was stopped, as a root alone and
// beside a readable folder: examined within the limit, it does not answer and costs only itself.
TEST(ScanMultiple, RootsThatDoNotAnswerCostOnlyThemselves) {
    if (!hmtest::isRoot())
        GTEST_SKIP() << "mounting FUSE file systems needs root";
    hmtest::ShortAnswerLimits limits(std::chrono::milliseconds(1500));
    hmtest::TempDir dir;
    ASSERT_EQ(hmtest::sh("mkdir -p " + hmtest::shQuote(dir / "open") + " " + hmtest::shQuote(dir / "dead")), 0);
    scantest::makeFile(dir / "open/f", 100, 1600000000);
    hmtest::DeadFuseMount dead(dir / "dead");
    if (!dead.ok())
        GTEST_SKIP() << dead.error();
    dead.abortAfter(std::chrono::seconds(60));
    hmtest::StoppedFuseMount stopped(dir.path());
    if (!stopped.ok())
        GTEST_SKIP() << stopped.error();
    hmtest::writeFile(stopped.mountPoint() + "/f", "x");
    stopped.stop(std::chrono::seconds(60));
    for (const std::string& point : {dir / "dead", stopped.mountPoint()}) {
        const auto started = std::chrono::steady_clock::now();
        auto single = svl::scanSingle(point, {}, nullptr);
        EXPECT_EQ(single->nodeCount, 0u) << point;
        EXPECT_EQ(single->unreachedRoots, (std::vector<std::pair<uint32_t, svl::RootReach>>{{0, svl::RootReach::NoAnswer}}));
        auto several = svl::scanMultiple({dir / "open", point}, {}, nullptr);
        ASSERT_EQ(several->nodeCount, 4u) << point;
        EXPECT_EQ(several->node(1).filesBelow, 1u);
        EXPECT_EQ(several->node(2).flags, Folder | Unreadable) << "not denied, and nothing read from underneath";
        EXPECT_EQ(several->node(2).allocated, 0u);
        EXPECT_EQ(several->node(2).modified, 0);
        EXPECT_TRUE(svl::modifiedUnknown(several->node(2)));
        EXPECT_EQ(several->unreachedRoots, (std::vector<std::pair<uint32_t, svl::RootReach>>{{2, svl::RootReach::NoAnswer}}));
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5)) << point;
        // Its examination is still stuck: asked again, the mount answers "no" at once.
        const auto again = std::chrono::steady_clock::now();
        EXPECT_EQ(svl::probeRoots({point})[0].reach, svl::RootReach::NoAnswer);
        EXPECT_LT(std::chrono::steady_clock::now() - again, std::chrono::milliseconds(400)) << point;
    }
}

// Network and FUSE mounts get the short limit.
TEST(ScanMultiple, NetworkMountsGetTheShortLimit) {
    for (const char* type : {"nfs", "cifs", "fuse", "fuseblk", "fuse.sshfs"})
        EXPECT_TRUE(svl::isNetworkFsType(type)) << type;
    for (const char* type : {"ext4", "tmpfs", "fusectl"})
        EXPECT_FALSE(svl::isNetworkFsType(type)) << type;
}

TEST(ScanMultiple, FoldersFileAndLinkUnderTheVirtualRoot) {
    hmtest::TempDir dir;
    scantest::makeFixtureTree(dir / "one", dir / "outside");
    ASSERT_EQ(hmtest::sh("mkdir -p " + hmtest::shQuote(dir / "two/x")), 0);
    scantest::makeFile(dir / "two/x/y", 4096 * 3, 1600000000);
    scantest::makeFile(dir / "file", 777, 1500000000);
    ASSERT_EQ(symlink((dir / "two").c_str(), (dir / "linked").c_str()), 0);
    svl::ScanProgress progress;
    const std::vector<std::string> paths{dir / "one", dir / "two", dir / "file", dir / "linked"};
    auto tree = svl::scanMultiple(paths, {}, &progress);
    scantest::expectWellFormed(*tree);
    ASSERT_EQ(tree->node(0).childCount, 4u);
    for (uint32_t i = 0; i < 4; ++i)
        EXPECT_EQ(std::string(tree->node(i + 1).nameView()), paths[i]);
    EXPECT_EQ(tree->node(3).flags, 0);
    EXPECT_EQ(tree->node(3).size, 777u);
    EXPECT_EQ(tree->node(4).flags, Folder);
    EXPECT_EQ(tree->node(4).filesBelow, 1u);
    EXPECT_EQ(tree->node(4).size, 4096u * 3);
    EXPECT_EQ(tree->node(0).size, tree->node(1).size + tree->node(2).size + 777 + tree->node(4).size);
    EXPECT_EQ(tree->node(0).modified, 0);
    EXPECT_EQ(tree->node(0).allocated, tree->node(1).allocated + tree->node(2).allocated + tree->node(3).allocated +
                                           tree->node(4).allocated);
    EXPECT_EQ(tree->node(1).allocated, scantest::duAllocated(dir / "one"));
    EXPECT_EQ(progress.fraction.load(), 1.0);
    EXPECT_NEAR(progress.reachedFraction, 1.0, 1e-9);
    EXPECT_FALSE(tree->incomplete);
    EXPECT_EQ(tree->errors, 0u);
    EXPECT_TRUE(tree->unreachedRoots.empty());
    auto missing = svl::scanSingle(dir / "missing", {}, nullptr);
    EXPECT_EQ(missing->nodeCount, 0u);
    EXPECT_EQ(missing->unreachedRoots, (std::vector<std::pair<uint32_t, svl::RootReach>>{{0, svl::RootReach::Missing}}));
}

TEST(ScanMultiple, RemoteFallbackWalksTheResolvedPath) {
    hmtest::TempDir dir;
    ASSERT_EQ(hmtest::sh("mkdir -p " + hmtest::shQuote(dir / "real/sub")), 0);
    scantest::makeFile(dir / "real/sub/f", 99, 1600000000);
    ASSERT_EQ(symlink((dir / "real").c_str(), (dir / "via-link").c_str()), 0);
    FakeProvider provider(std::chrono::milliseconds(0));
    svl::ScanOptions o;
    o.provider = &provider;
    svl::ScanProgress progress;
    auto tree = svl::scanMultiple({dir / "via-link"}, o, &progress);
    EXPECT_EQ(provider.opened, 1);
    scantest::expectWellFormed(*tree);
    ASSERT_EQ(tree->nodeCount, 4u);
    EXPECT_EQ(tree->node(1).flags, Folder);
    EXPECT_EQ(tree->node(1).size, 99u);
    EXPECT_EQ(tree->errors, 0u);
    EXPECT_FALSE(tree->incomplete);
    EXPECT_EQ(progress.fraction.load(), 1.0);
}

TEST(ScanMultiple, CancelledScanIsIncomplete) {
    hmtest::TempDir dir;
    scantest::makeFixtureTree(dir / "one", dir / "outside");
    svl::ScanProgress progress;
    progress.cancel = true;
    auto tree = svl::scanMultiple({dir / "one", dir / "outside"}, {}, &progress);
    EXPECT_TRUE(tree->incomplete);
    EXPECT_EQ(tree->nodeCount, 3u);
    EXPECT_LT(progress.fraction.load(), 1.0);
}

TEST(ScanSingle, FolderOnAShareIsReadThroughTheRemoteSource) {
    hmtest::TempDir dir;
    mkdir((dir / "mounted").c_str(), 0755);
    FakeProvider provider(std::chrono::milliseconds(0), true);
    svl::ScanOptions o;
    o.provider = &provider;
    svl::ScanProgress progress;
    auto tree = svl::scanSingle(dir / "mounted", o, &progress);
    EXPECT_TRUE(tree->remote);
    EXPECT_FALSE(tree->incomplete);
    scantest::expectWellFormed(*tree);
    ASSERT_EQ(tree->nodeCount, 4u);
    EXPECT_EQ(tree->node(nodeAt(*tree, "sub")).flags, Folder);
    EXPECT_EQ(tree->node(nodeAt(*tree, "sub/g")).size, 20u);
    EXPECT_EQ(tree->node(nodeAt(*tree, "f")).modified, 1600000000);
    EXPECT_EQ(tree->node(0).size, 30u);
    EXPECT_EQ(tree->node(0).filesBelow, 2u);
    EXPECT_EQ(progress.fraction.load(), 1.0);
}

TEST(ScanMultiple, RemoteRootReadBesideALocalOne) {
    hmtest::TempDir dir;
    mkdir((dir / "mounted").c_str(), 0755);
    ASSERT_EQ(hmtest::sh("mkdir -p " + hmtest::shQuote(dir / "local/x")), 0);
    scantest::makeFile(dir / "local/x/y", 7, 1600000000);
    struct OneShare : FakeProvider {
        explicit OneShare(std::string p) : FakeProvider(std::chrono::milliseconds(0), true), share(std::move(p)) {}
        std::optional<svl::SmbMountInfo> findSmbMount(const std::string& path) override {
            if (path != share)
                return std::nullopt;
            return FakeProvider::findSmbMount(path);
        }
        std::string share;
    } provider(dir / "mounted");
    svl::ScanOptions o;
    o.provider = &provider;
    svl::ScanProgress progress;
    auto tree = svl::scanMultiple({dir / "local", dir / "mounted"}, o, &progress);
    EXPECT_TRUE(tree->remote);
    EXPECT_FALSE(tree->incomplete);
    scantest::expectWellFormed(*tree);
    EXPECT_EQ(tree->node(1).size, 7u);
    EXPECT_EQ(tree->node(2).size, 30u);
    EXPECT_EQ(tree->node(2).childCount, 2u);
    EXPECT_EQ(tree->errors, 0u);
    EXPECT_EQ(progress.fraction.load(), 1.0);
}
