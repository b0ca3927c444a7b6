// File-system boundaries met by the walk: loop-mounted ext4 and XFS volumes inside the
// scanned folder (one-file-system mode), two subvolumes of one Btrfs volume (one file
// system), a bind mount whose source the scan already counts, and mounts whose server is gone.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <optional>

#include "core/scan/RescanFolder.h"
#include "core/scan/ScanDriver.h"
#include "core/tree/ScanTree.h"
#include "tests/core/scan/ScanTestSupport.h"
#include "tests/support/TestSupport.h"

using namespace svl::NodeFlag;
using hmtest::sh;
using hmtest::shQuote;
using scantest::nodeAt;

namespace {

std::string lastComponent(const std::string& p) { return p.substr(p.rfind('/') + 1); }

}  // namespace

TEST(WalkerBoundary, OneFileSystemStopsAtExt4AndXfsMounts) {
    if (!hmtest::isRoot())
        GTEST_SKIP() << "needs root for loop devices";
    hmtest::TempDir dir;
    const std::string root = dir / "root";
    mkdir(root.c_str(), 0755);
    scantest::makeFile(root + "/here", 1000, 1600000000);
    hmtest::LoopMount ext4(root, "mkfs.ext4 -q -F -b 4096", 32);
    ASSERT_TRUE(ext4.ok()) << ext4.error();
    hmtest::LoopMount xfs(root, "mkfs.xfs -q -f", 320);
    ASSERT_TRUE(xfs.ok()) << xfs.error();
    for (const hmtest::LoopMount* m : {&ext4, &xfs}) {
        ASSERT_EQ(sh("mkdir -p " + shQuote(m->mountPoint() + "/inside")), 0);
        scantest::makeFile(m->mountPoint() + "/inside/file", 50000, 1600000000);
    }
    sh("sync -f " + shQuote(ext4.mountPoint()) + " && sync -f " + shQuote(xfs.mountPoint()));
    const std::string names[] = {lastComponent(ext4.mountPoint()), lastComponent(xfs.mountPoint())};

    svl::ScanOptions stay;
    stay.oneFileSystem = true;
    auto tree = svl::scanSingle(root, stay, nullptr);
    scantest::expectWellFormed(*tree);
    for (const std::string& name : names) {
        const uint32_t id = nodeAt(*tree, name);
        ASSERT_NE(id, UINT32_MAX) << name;
        EXPECT_EQ(tree->node(id).flags, Folder | OtherDevice) << name;
        EXPECT_EQ(tree->node(id).childCount, 0u) << name;
    }
    // The images themselves lie on the root's file system and are counted.
    EXPECT_NE(nodeAt(*tree, lastComponent(ext4.image())), UINT32_MAX);
    EXPECT_EQ(tree->node(0).filesBelow, 3u);
    EXPECT_EQ(tree->errors, 0u);

    auto all = svl::scanSingle(root, {}, nullptr);
    for (const std::string& name : names) {
        const uint32_t id = nodeAt(*all, name);
        ASSERT_NE(id, UINT32_MAX);
        EXPECT_EQ(all->node(id).flags & OtherDevice, 0);
        EXPECT_NE(nodeAt(*all, name + "/inside/file"), UINT32_MAX) << name;
    }
    EXPECT_EQ(all->node(0).size, tree->node(0).size + 2 * 50000);
    // du -x stops at the same places and leaves the mount points' own folders out: their
    // blocks belong to the other file systems, which the walk does not ask.
    for (const std::string& name : names)
        EXPECT_EQ(tree->node(nodeAt(*tree, name)).allocated, 0u) << name;
    EXPECT_EQ(tree->node(0).allocated, scantest::duAllocated(root));
    xfs.unmount();
    ext4.unmount();
}

TEST(WalkerBoundary, TwoSubvolumesOfOneBtrfsVolumeAreOneFileSystem) {
    if (!hmtest::isRoot())
        GTEST_SKIP() << "needs root for loop devices";
    if (!hmtest::haveTool("mkfs.btrfs") || !hmtest::haveTool("btrfs"))
        GTEST_SKIP() << "needs btrfs-progs";
    hmtest::TempDir dir;
    hmtest::LoopMount top(dir.path(), "mkfs.btrfs -q -f", 256);
    ASSERT_TRUE(top.ok()) << top.error();
    ASSERT_EQ(sh("btrfs -q subvolume create " + shQuote(top.mountPoint() + "/a") + " >/dev/null && btrfs -q subvolume create " +
                 shQuote(top.mountPoint() + "/b") + " >/dev/null"),
              0);
    const std::string scanRoot = dir / "home";
    mkdir(scanRoot.c_str(), 0755);
    ASSERT_EQ(sh("mount -o subvol=a " + shQuote(top.device()) + " " + shQuote(scanRoot)), 0);
    ASSERT_EQ(sh("mkdir -p " + shQuote(scanRoot + "/inner/b") + " " + shQuote(scanRoot + "/stick")), 0);
    ASSERT_EQ(sh("mount -o subvol=b " + shQuote(top.device()) + " " + shQuote(scanRoot + "/inner/b")), 0);
    scantest::makeFile(scanRoot + "/inner/b/in-b", 123, 1600000000);
    hmtest::LoopMount stick(dir.path(), "mkfs.ext4 -q -F", 16);
    ASSERT_TRUE(stick.ok()) << stick.error();
    ASSERT_EQ(sh("mount --bind " + shQuote(stick.mountPoint()) + " " + shQuote(scanRoot + "/stick")), 0);
    scantest::makeFile(stick.mountPoint() + "/on-stick", 456, 1600000000);

    svl::ScanOptions stay;
    stay.oneFileSystem = true;
    auto tree = svl::scanSingle(scanRoot, stay, nullptr);
    sh("umount " + shQuote(scanRoot + "/stick") + "; umount " + shQuote(scanRoot + "/inner/b") + "; umount " +
       shQuote(scanRoot));
    scantest::expectWellFormed(*tree);
    EXPECT_EQ(tree->node(nodeAt(*tree, "inner/b")).flags, Folder);
    EXPECT_NE(nodeAt(*tree, "inner/b/in-b"), UINT32_MAX);
    EXPECT_EQ(tree->node(nodeAt(*tree, "stick")).flags, Folder | OtherDevice);
    EXPECT_EQ(tree->node(nodeAt(*tree, "stick")).childCount, 0u);
    EXPECT_EQ(tree->node(0).size, 123u);
}

TEST(WalkerBoundary, BindMountIsMarkedWithItsSourceAndNotEntered) {
    if (!hmtest::isRoot())
        GTEST_SKIP() << "needs root for a bind mount";
    hmtest::TempDir dir;
    const std::string root = dir / "root";
    ASSERT_EQ(sh("mkdir -p " + shQuote(root + "/src/deep") + " " + shQuote(root + "/dst")), 0);
    scantest::makeFile(root + "/src/deep/f", 5000, 1600000000);
    ASSERT_EQ(sh("mount --bind " + shQuote(root + "/src") + " " + shQuote(root + "/dst")), 0);

    svl::ScanOptions detect;
    detect.detectBindMounts = true;
    auto tree = svl::scanSingle(root, detect, nullptr);
    // A bind mount of the same file system is no boundary of a one-file-system walk.
    svl::ScanOptions sameFileSystem;
    sameFileSystem.oneFileSystem = true;
    auto plain = svl::scanSingle(root, sameFileSystem, nullptr);
    auto multi = svl::scanMultiple({root}, detect, nullptr);
    auto rescan = svl::rescanFolder(root + "/dst", {root}, {}, nullptr);
    struct stat src {};
    ASSERT_EQ(::stat((root + "/src").c_str(), &src), 0);
    sh("umount " + shQuote(root + "/dst"));

    scantest::expectWellFormed(*tree);
    const uint32_t dst = nodeAt(*tree, "dst");
    ASSERT_NE(dst, UINT32_MAX);
    EXPECT_EQ(tree->node(dst).flags, Folder | OtherDevice | BindMount);
    EXPECT_EQ(tree->node(dst).childCount, 0u);
    ASSERT_EQ(tree->bindSources.count(dst), 1u);
    EXPECT_EQ(tree->bindSources.at(dst), root + "/src");
    EXPECT_EQ(tree->bindSources.size(), 1u);
    EXPECT_EQ(tree->node(0).size, 5000u);
    // Without detection the contents are counted twice.
    EXPECT_EQ(plain->node(0).size, 10000u);
    EXPECT_TRUE(plain->bindSources.empty());
    // The mount a walk entered is recorded as it was, also by a rescan of its folder; one
    // not entered is not.
    EXPECT_TRUE(tree->enteredMounts.empty());
    ASSERT_EQ(plain->enteredMounts.size(), 1u);
    const svl::ScanTree::MountIdentity entered = plain->enteredMounts.at(nodeAt(*plain, "dst"));
    EXPECT_EQ(entered.inode, uint64_t(src.st_ino));
    EXPECT_NE(entered.mountId, 0u);
    ASSERT_TRUE(rescan && rescan->enteredMounts.count(0));
    EXPECT_EQ(rescan->enteredMounts.at(0), entered);
    // Under the virtual root the same folder is found below the root's node.
    uint32_t multiDst = UINT32_MAX;
    for (uint32_t id = 2; id < multi->nodeCount; ++id)
        if (multi->node(id).parent == 1 && multi->node(id).nameView() == "dst")
            multiDst = id;
    ASSERT_NE(multiDst, UINT32_MAX);
    EXPECT_EQ(multi->node(multiDst).flags, Folder | OtherDevice | BindMount);
    EXPECT_EQ(multi->bindSources.count(multiDst), 1u);
}

// A mount that another mount hides is no boundary: the folder of that name is entered, and so
// is a mount of the same file system beside it.
TEST(WalkerBoundary, AMountHiddenUnderAnotherIsNoBoundary) {
    if (!hmtest::isRoot())
        GTEST_SKIP() << "needs root to mount";
    hmtest::TempDir dir;
    const std::string root = dir / "root";
    ASSERT_EQ(sh("mkdir -p " + shQuote(root + "/s/y") + " " + shQuote(dir / "cover/y") + " " + shQuote(dir / "cover/z") +
                 " " + shQuote(dir / "beside")),
              0);
    scantest::makeFile(dir / "cover/y/f", 700, 1600000000);
    scantest::makeFile(dir / "beside/g", 300, 1600000000);
    hmtest::Mounts mounts;
    ASSERT_TRUE(mounts.mount("-t tmpfs none", root + "/s/y"));
    ASSERT_TRUE(mounts.bind(dir / "cover", root + "/s"));  // hides the tmpfs, shows cover/y
    ASSERT_TRUE(mounts.bind(dir / "beside", root + "/s/z"));
    svl::ScanOptions options;
    options.oneFileSystem = true;
    auto tree = svl::scanSingle(root, options, nullptr);
    EXPECT_EQ(tree->node(nodeAt(*tree, "s/y")).flags, Folder);
    EXPECT_NE(nodeAt(*tree, "s/y/f"), UINT32_MAX);
    EXPECT_NE(nodeAt(*tree, "s/z/g"), UINT32_MAX);
}

// Mounts whose server is gone, beside readable folders: every road of the walk lists their
// mount points from the mount table without waiting on them and counts the rest exactly.
TEST(WalkerBoundary, DeadMountsAreListedWithoutWaitingOnThem) {
    if (!hmtest::isRoot())
        GTEST_SKIP() << "mounting a FUSE file system needs root";
    hmtest::TempDir dir;
    const std::string root = dir / "root";
    ASSERT_EQ(sh("mkdir -p " + shQuote(root + "/a/dead") + " " + shQuote(root + "/a/b") + " " +
                 shQuote(root + "/many/dead")),
              0);
    scantest::makeFile(root + "/a/b/f", 1000, 1600000000);
    scantest::makeFile(root + "/a/g", 2000, 1600000000);
    // Enough entries for the extra examining threads.
    constexpr int kMany = 8200;
    for (int i = 0; i < kMany; ++i)
        ::close(::open((root + "/many/f" + std::to_string(i)).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
    hmtest::DeadFuseMount deadA(root + "/a/dead"), deadMany(root + "/many/dead");
    if (!deadA.ok())
        GTEST_SKIP() << deadA.error();
    ASSERT_TRUE(deadMany.ok()) << deadMany.error();
    // A road that asks the mounts waits until they are cut off, and then fails.
    deadA.abortAfter(std::chrono::seconds(30));
    deadMany.abortAfter(std::chrono::seconds(30));

    const auto expectListed = [](const svl::ScanTree& tree, const std::string& rel) {
        const uint32_t id = nodeAt(tree, rel);
        ASSERT_NE(id, UINT32_MAX) << rel;
        EXPECT_EQ(tree.node(id).flags, Folder | OtherDevice) << rel;
        EXPECT_EQ(tree.node(id).childCount, 0u) << rel;
        EXPECT_EQ(tree.node(id).allocated, 0u) << rel;
    };
    struct Road {
        const char* name;
        svl::ReadMethod method;
        int32_t rotational;
        bool severalRoots;
    };
    const Road roads[] = {{"getdents", svl::ReadMethod::Getdents, 0, false},
                          {"readdir", svl::ReadMethod::Readdir, 0, false},
                          {"io_uring", svl::ReadMethod::GetdentsIoUring, 0, false},
                          {"inode order", svl::ReadMethod::Getdents, 1, false},
                          {"several roots", svl::ReadMethod::Getdents, 0, true}};
    svl::ScanOptions options;
    options.oneFileSystem = true;
    options.detectBindMounts = true;
    for (const Road& road : roads) {
        SCOPED_TRACE(road.name);
        options.readMethod = uint32_t(road.method);
        options.rotational = road.rotational;
        const auto started = std::chrono::steady_clock::now();
        const auto tree = road.severalRoots ? svl::scanMultiple({root + "/a", root + "/many"}, options, nullptr)
                                            : svl::scanSingle(root, options, nullptr);
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
        scantest::expectWellFormed(*tree);
        const std::string top = road.severalRoots ? root + "/" : "";
        expectListed(*tree, top + "a/dead");
        expectListed(*tree, top + "many/dead");
        EXPECT_EQ(tree->node(0).filesBelow, 2u + kMany);
        EXPECT_EQ(tree->node(0).size, 3000u);
        EXPECT_EQ(tree->errors, 0u);
        EXPECT_FALSE(tree->incomplete);
    }

    // Ctrl+F5 on the mount point itself (with descriptor 0 free, as in a program started with
    // standard input closed), and on the folder that holds it.
    const auto started = std::chrono::steady_clock::now();
    std::optional<hmtest::StandardInputClosed> closed(std::in_place);
    const auto point = svl::rescanFolder(root + "/a/dead", {root}, options, nullptr);
    EXPECT_TRUE(hmtest::StandardInputClosed::stillFree());
    closed.reset();
    ASSERT_TRUE(point);
    ASSERT_EQ(point->nodeCount, 1u);
    EXPECT_EQ(point->node(0).flags, Folder | OtherDevice);
    const auto holder = svl::rescanFolder(root + "/a", {root}, options, nullptr);
    ASSERT_TRUE(holder);
    expectListed(*holder, "dead");
    EXPECT_EQ(holder->node(0).filesBelow, 2u);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
}
