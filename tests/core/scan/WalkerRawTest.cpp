// The walker's raw road: a folder tree built from a loaded raw index instead of listing
// folders, the 3000 ms cancel grace, mount points and subvolume links examined live, and a
// real ext4 volume read through its metadata by the scan driver.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <chrono>

#include "core/scan/FolderWalker.h"
#include "core/scan/ScanDriver.h"
#include "core/tree/ScanTree.h"
#include "tests/core/scan/ScanTestSupport.h"
#include "tests/core/scan/WalkerTestSupport.h"
#include "tests/support/TestSupport.h"

using namespace svl::NodeFlag;
using scantest::MemoryRawIndex;
using scantest::RawWalk;
using scantest::nodeAt;

TEST(WalkerRaw, BuildsTheTreeFromTheIndex) {
    auto index = std::make_unique<MemoryRawIndex>(2);
    index->addFolder(10, 0755, 2000, 16);
    index->addFolder(11, 0555, 2100);  // read-only folder
    index->addFile(20, S_IFREG | 0644, 1000, 8, 3000);
    index->addFile(21, S_IFREG | 0444, 5, 0, 3100);            // read-only, nothing allocated
    index->addFile(22, S_IFLNK | 0777, 7, 0, 3200);            // symbolic link
    index->addFile(23, S_IFLNK | 0555, 7, 0, 3300);            // link without write bits: Symlink alone
    index->addFile(30, S_IFREG | 0644, 4096, 8, 3400, 3);      // three names, decided by identity
    index->addFile(31, S_IFREG | 0644, 100, 8, 3500, 2);       // two names, roles given by the index
    index->link(2, "dir", 10);
    index->link(2, "ro", 11);
    index->link(2, "file", 20);
    index->link(10, "rofile", 21);
    index->link(10, "link", 22);
    index->link(10, "link2", 23);
    index->link(2, "h1", 30);
    index->link(10, "h2", 30);
    index->link(11, "h3", 30);
    index->link(2, "counted", 31, 1);
    index->link(10, "further", 31, 2);
    RawWalk w;
    w.options.hardwareThreads = 3;
    w.run(std::move(index), "/volume");
    auto& tree = w.tree;
    scantest::expectWellFormed(tree);
    EXPECT_EQ(w.walk->workersStarted, 3);  // one per processor on a raw walk
    ASSERT_EQ(tree.nodeCount, 12u);
    EXPECT_EQ(tree.node(0).childCount, 5u);
    const uint32_t dir = nodeAt(tree, "dir");
    EXPECT_EQ(tree.node(dir).flags, Folder);
    EXPECT_EQ(tree.node(dir).modified, 2000);
    EXPECT_EQ(tree.node(nodeAt(tree, "ro")).flags, Folder | ReadOnly);
    EXPECT_EQ(tree.node(nodeAt(tree, "file")).allocated, 8u * 512);
    EXPECT_EQ(tree.node(nodeAt(tree, "file")).modified, 3000);
    EXPECT_EQ(tree.node(nodeAt(tree, "dir/rofile")).flags, ReadOnly);
    EXPECT_EQ(tree.node(nodeAt(tree, "dir/link")).flags, Symlink);
    EXPECT_EQ(tree.node(nodeAt(tree, "dir/link2")).flags, Symlink);
    int extra = 0;
    for (const char* p : {"h1", "dir/h2", "ro/h3"})
        extra += (tree.node(nodeAt(tree, p)).flags & ExtraHardLink) ? 1 : 0;
    EXPECT_EQ(extra, 2);
    EXPECT_EQ(tree.node(nodeAt(tree, "counted")).flags, 0);
    EXPECT_EQ(tree.node(nodeAt(tree, "dir/further")).flags, ExtraHardLink);
    // Sizes count every name, allocated bytes each file once; dir's own 16 units included.
    EXPECT_EQ(tree.node(0).size, 1000u + 5 + 7 + 7 + 3 * 4096 + 2 * 100);
    EXPECT_EQ(tree.node(0).allocated, (16 + 8 + 8 + 8 + 8) * 512u);
    EXPECT_EQ(tree.errors, 0u);
    EXPECT_FALSE(tree.incomplete);
    // A raw walk leaves the file and folder counters to the loader; the fraction gets its weight.
    EXPECT_EQ(w.progress.files.load(), 0u);
    EXPECT_EQ(w.progress.folders.load(), 0u);
    EXPECT_NEAR(w.progress.fraction.load(), 0.15, 1e-12);
}

TEST(WalkerRaw, UnlistableFolderAndUnexaminableEntry) {
    auto index = std::make_unique<MemoryRawIndex>(2);
    index->addFolder(10, 0755, 2000);
    index->addFile(20, S_IFREG | 0644, 10, 8, 3000);
    index->addFile(21, S_IFREG | 0644, 10, 8, 3000);
    index->link(2, "broken", 10);
    index->link(2, "ghost", 20);
    index->link(2, "fine", 21);
    index->failChildren(10);
    index->forgetStat(20);
    RawWalk w;
    w.run(std::move(index), "/volume", 1.0);
    auto& tree = w.tree;
    EXPECT_EQ(tree.node(nodeAt(tree, "broken")).flags, Folder | Unreadable);
    EXPECT_EQ(tree.node(nodeAt(tree, "ghost")).flags, Unreadable);
    EXPECT_EQ(tree.node(nodeAt(tree, "fine")).flags, 0);
    EXPECT_EQ(tree.errors, 2u);
    EXPECT_EQ(w.progress.errorCount.load(), 2u);
    EXPECT_NEAR(w.progress.fraction.load(), 1.0, 1e-12);
}

TEST(WalkerRaw, AFolderListedAgainIsEnteredOnceAndCountedAsAnError) {
    // What damaged folder blocks give: a folder naming itself (a "." whose name byte was lost),
    // a folder under two parents and a folder naming the root. Folders are claimed when their
    // parent is read, so the root's "shared-too" always wins over "a/shared".
    auto damaged = [] {
        auto index = std::make_unique<MemoryRawIndex>(2);
        index->addFolder(10, 0755, 1000);
        index->addFolder(11, 0755, 1000);
        index->addFile(20, S_IFREG | 0644, 7, 8, 1000);
        index->link(2, "a", 10);
        index->link(10, std::string(1, '\0'), 10);
        index->link(10, "shared", 11);
        index->link(2, "shared-too", 11);
        index->link(11, "up", 2);
        index->link(11, "f", 20);
        return index;
    };
    for (int threads : {1, 4}) {
        SCOPED_TRACE(threads);
        RawWalk w;
        w.options.threads = threads;
        w.run(damaged(), "/volume", 1.0);
        auto& tree = w.tree;
        scantest::expectWellFormed(tree);
        EXPECT_EQ(tree.nodeCount, 4u);
        EXPECT_EQ(tree.node(nodeAt(tree, "a")).childCount, 0u);
        EXPECT_EQ(tree.node(nodeAt(tree, "shared-too/f")).size, 7u);
        EXPECT_EQ(tree.node(0).size, 7u);
        EXPECT_EQ(tree.errors, 3u);
        EXPECT_EQ(w.progress.errorCount.load(), 3u);
        EXPECT_FALSE(tree.incomplete);
        EXPECT_NEAR(w.progress.fraction.load(), 1.0, 1e-12);
    }
}

TEST(WalkerRaw, CancelKeepsBuildingForTheGraceThenStops) {
    // A chain of 400 folders, each listed in 20 ms: about 8 s without a cancel.
    auto index = std::make_unique<MemoryRawIndex>(2);
    for (uint64_t i = 0; i < 400; ++i) {
        index->addFolder(100 + i, 0755, 1000);
        index->link(i == 0 ? 2 : 100 + i - 1, "d", 100 + i);
    }
    index->setChildrenDelay(std::chrono::milliseconds(20));
    RawWalk w;
    w.progress.cancel = true;
    const auto t = std::chrono::steady_clock::now();
    w.run(std::move(index), "/volume");
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
    EXPECT_GE(s, 2.9);
    EXPECT_LT(s, 5.0);
    EXPECT_TRUE(w.walk->graceExpired.load());
    EXPECT_TRUE(w.tree.incomplete);
    EXPECT_GT(w.tree.nodeCount, 50u);
    EXPECT_LT(w.tree.nodeCount, 401u);
    scantest::expectWellFormed(w.tree);
}

TEST(WalkerRaw, CancelWithinTheGraceStillGivesTheWholeTree) {
    auto index = std::make_unique<MemoryRawIndex>(2);
    for (uint64_t i = 0; i < 50; ++i) {
        index->addFolder(100 + i, 0755, 1000);
        index->link(2, "d" + std::to_string(i), 100 + i);
        index->addFile(1000 + i, S_IFREG | 0644, 1, 8, 1000);
        index->link(100 + i, "f", 1000 + i);
    }
    RawWalk w;
    w.progress.cancel = true;
    w.run(std::move(index), "/volume");
    EXPECT_FALSE(w.walk->graceExpired.load());
    EXPECT_FALSE(w.tree.incomplete);
    EXPECT_EQ(w.tree.nodeCount, 101u);
}

TEST(WalkerRaw, FolderWalkStopsAtOnceOnCancel) {
    hmtest::TempDir dir;
    scantest::makeFixtureTree(dir / "root", dir / "outside");
    svl::ScanTree tree;
    scantest::writeRoot(tree, dir / "root");
    svl::ScanOptions options;
    svl::ScanProgress progress;
    progress.cancel = true;
    auto owned = std::make_shared<svl::Shared>(tree, options, &progress);
    svl::Shared& walk = *owned;
    EXPECT_TRUE(walk.shouldStop());
    svl::WalkJob job;
    job.path = dir / "root";
    job.weight = 1;
    walk.queueJob(job);
    walk.runWorkers(4);
    scantest::finishWalk(tree, walk, &progress);
    EXPECT_TRUE(tree.incomplete);
    EXPECT_EQ(tree.nodeCount, 1u);
    EXPECT_FALSE(walk.graceExpired.load());
}

TEST(WalkerRaw, SubvolumeLinksAndMountPointsAreExaminedLive) {
    if (!hmtest::isRoot())
        GTEST_SKIP() << "needs root for a bind mount";
    hmtest::TempDir dir;
    const std::string root = dir / "root";
    ASSERT_EQ(hmtest::sh("mkdir -p " + hmtest::shQuote(root + "/mnt") + " " + hmtest::shQuote(root + "/sv") + " " +
                         hmtest::shQuote(root + "/x/mnt") + " " + hmtest::shQuote(dir / "elsewhere")),
              0);
    ASSERT_EQ(hmtest::sh("mount --bind " + hmtest::shQuote(dir / "elsewhere") + " " + hmtest::shQuote(root + "/mnt")), 0);
    hmtest::setMtime(root + "/mnt", 1234567);  // the bind mount's root, i.e. "elsewhere"
    hmtest::setMtime(root + "/sv", 7654321);
    auto index = std::make_unique<MemoryRawIndex>(2);
    index->addFolder(10, 0755, 5);  // "mnt": a mount point below the root
    index->addFolder(11, 0755, 6);  // "sv": a subvolume link
    index->addFolder(12, 0755, 7);  // "x"
    index->addFolder(13, 0755, 8);  // "x/mnt": same name, no mount point
    index->link(2, "mnt", 10);
    index->link(2, "sv", 11);
    index->link(2, "x", 12);
    index->link(12, "mnt", 13);
    index->setSubvolumeLink(11);
    RawWalk w;
    w.run(std::move(index), root, 0.15, true);
    hmtest::sh("umount " + hmtest::shQuote(root + "/mnt"));
    auto& tree = w.tree;
    EXPECT_EQ(tree.node(nodeAt(tree, "mnt")).modified, 1234567);
    EXPECT_EQ(tree.node(nodeAt(tree, "sv")).modified, 7654321);
    EXPECT_EQ(tree.node(nodeAt(tree, "x")).modified, 7);
    EXPECT_EQ(tree.node(nodeAt(tree, "x/mnt")).modified, 8);
}

TEST(WalkerRaw, MountPointsBelowTheRootAreCollected) {
    if (!hmtest::isRoot())
        GTEST_SKIP() << "needs root for bind mounts";
    hmtest::TempDir dir;
    const std::string root = dir / "root";
    ASSERT_EQ(hmtest::sh("mkdir -p " + hmtest::shQuote(root + "/a/deep") + " " + hmtest::shQuote(dir / "rootish") + " " +
                         hmtest::shQuote(dir / "src")),
              0);
    ASSERT_EQ(hmtest::sh("mount --bind " + hmtest::shQuote(dir / "src") + " " + hmtest::shQuote(root + "/a/deep")), 0);
    ASSERT_EQ(hmtest::sh("mount --bind " + hmtest::shQuote(dir / "src") + " " + hmtest::shQuote(dir / "rootish")), 0);
    svl::RawWalkContext ctx;
    svl::collectMountPointsBelow(ctx, root + "/");
    svl::RawWalkContext same;
    svl::collectMountPointsBelow(same, root);
    hmtest::sh("umount " + hmtest::shQuote(root + "/a/deep") + "; umount " + hmtest::shQuote(dir / "rootish"));
    EXPECT_EQ(ctx.mountPaths, std::unordered_set<std::string>{root + "/a/deep"});
    EXPECT_EQ(ctx.mountNames, std::unordered_set<std::string>{"deep"});
    EXPECT_EQ(same.mountPaths, ctx.mountPaths);
}

// The whole raw road through the driver: an ext4 volume read from its metadata gives the
// same tree as walking its folders, a mount whose server is gone inside it included.
TEST(WalkerRaw, Ext4VolumeReadRawEqualsTheWalk) {
    if (!hmtest::isRoot())
        GTEST_SKIP() << "needs root for a loop device";
    hmtest::TempDir dir;
    hmtest::LoopMount vol(dir.path(), "mkfs.ext4 -q -F -b 4096", 64);
    ASSERT_TRUE(vol.ok()) << vol.error();
    const std::string root = vol.mountPoint();
    scantest::makeFixtureTree(root + "/data", root + "/outside");
    ::mkdir((root + "/data/dead").c_str(), 0755);
    hmtest::sh("sync -f " + hmtest::shQuote(root));
    hmtest::DeadFuseMount dead(root + "/data/dead");
    if (!dead.ok())
        GTEST_SKIP() << dead.error();
    dead.abortAfter(std::chrono::seconds(30));
    svl::ScanOptions walkOptions;
    walkOptions.oneFileSystem = true;
    svl::ScanOptions rawOptions = walkOptions;
    rawOptions.allowRaw = 1;
    rawOptions.hardwareThreads = 4;
    svl::ScanProgress progress;
    auto raw = svl::scanSingle(root, rawOptions, &progress);
    if (!raw->raw)
        GTEST_SKIP() << "the volume was walked: " << raw->rawNote;
    EXPECT_FALSE(raw->incomplete);
    EXPECT_EQ(progress.fraction.load(), 1.0);
    scantest::expectWellFormed(*raw);
    EXPECT_EQ(raw->node(nodeAt(*raw, "data/dead")).flags, Folder | OtherDevice);
    auto walked = svl::scanSingle(root, walkOptions, nullptr);
    EXPECT_FALSE(walked->raw);
    const auto a = scantest::nodesByPath(*raw);
    const auto b = scantest::nodesByPath(*walked);
    ASSERT_EQ(a.size(), b.size());
    int extraRaw = 0, extraWalked = 0;
    for (const auto& [path, id] : b) {
        auto it = a.find(path);
        ASSERT_NE(it, a.end()) << path;
        const svl::ScanNode& r = raw->node(it->second);
        const svl::ScanNode& l = walked->node(id);
        // Which name of a hard-linked file is counted depends on timing; compare the rest.
        extraRaw += (r.flags & ExtraHardLink) ? 1 : 0;
        extraWalked += (l.flags & ExtraHardLink) ? 1 : 0;
        EXPECT_EQ(r.flags & ~ExtraHardLink, l.flags & ~ExtraHardLink) << path;
        EXPECT_EQ(r.size, l.size) << path;
        EXPECT_EQ(r.modified, l.modified) << path;
        if (r.isFolder())
            EXPECT_EQ(scantest::ownAllocated(*raw, it->second), scantest::ownAllocated(*walked, id)) << path;
        else
            EXPECT_EQ(r.allocated, l.allocated) << path;
    }
    EXPECT_EQ(extraRaw, extraWalked);
    EXPECT_EQ(raw->node(0).allocated, walked->node(0).allocated);
}

// Several roots, one of them a volume read through its metadata: the raw walk's rules hold for
// the whole walk and the other root is walked as usual.
TEST(WalkerRaw, RawRootBesideAWalkedRootUnderTheVirtualRoot) {
    if (!hmtest::isRoot())
        GTEST_SKIP() << "needs root for a loop device";
    hmtest::TempDir dir;
    hmtest::LoopMount vol(dir.path(), "mkfs.ext4 -q -F -b 4096", 32);
    ASSERT_TRUE(vol.ok()) << vol.error();
    ASSERT_EQ(hmtest::sh("mkdir -p " + hmtest::shQuote(vol.mountPoint() + "/a/b")), 0);
    scantest::makeFile(vol.mountPoint() + "/a/b/f", 3000, 1600000000);
    scantest::makeFixtureTree(dir / "plain", dir / "outside");
    hmtest::sh("sync -f " + hmtest::shQuote(vol.mountPoint()));
    svl::ScanOptions options;
    options.allowRaw = 1;
    svl::ScanProgress progress;
    auto tree = svl::scanMultiple({vol.mountPoint(), dir / "plain"}, options, &progress);
    if (!tree->raw)
        GTEST_SKIP() << "the volume was walked: " << tree->rawNote;
    EXPECT_NE(tree->rawNote.find("ext4"), std::string::npos) << tree->rawNote;
    EXPECT_FALSE(tree->incomplete);
    EXPECT_EQ(progress.fraction.load(), 1.0);
    scantest::expectWellFormed(*tree);
    ASSERT_EQ(tree->node(0).childCount, 2u);
    EXPECT_EQ(tree->node(1).size, 3000u);
    // The walked root matches what find and du say about it.
    EXPECT_EQ(tree->node(2).allocated, scantest::duAllocated(dir / "plain"));
    EXPECT_EQ(tree->node(2).filesBelow + tree->node(2).foldersBelow, scantest::findPrintf(dir / "plain").size());
    EXPECT_EQ(tree->errors, 0u);
}
