// Scans across bind mounts and file-system boundaries, end to end through scanSingle
// (root only: the mounts are real).
#include <gtest/gtest.h>

#include <vector>

#include "core/scan/ScanDriver.h"
#include "core/tree/ScanTree.h"
#include "tests/core/scan/BtrfsBindLayout.h"
#include "tests/support/TestSupport.h"

using hmtest::sh;
using hmtest::shQuote;
using hmtest::Mounts;
namespace F = svl::NodeFlag;

namespace {

const svl::ScanNode* node(const svl::ScanTree& tree, const std::string& path) {
    const int64_t id = tree.findPath(path.data(), path.size());
    return id < 0 ? nullptr : &tree.nodes[id];
}

uint32_t idOf(const svl::ScanTree& tree, const std::string& path) {
    const int64_t id = tree.findPath(path.data(), path.size());
    EXPECT_GE(id, 0) << path;
    return uint32_t(id < 0 ? 0 : id);
}

std::unique_ptr<svl::ScanTree> scan(const std::string& path, bool oneFileSystem, bool detectBindMounts) {
    svl::ScanOptions options;
    options.oneFileSystem = oneFileSystem;
    options.detectBindMounts = detectBindMounts;
    options.threads = 4;
    return svl::scanSingle(path, options, nullptr);
}

#define REQUIRE_ROOT()     \
    if (!hmtest::isRoot()) \
        GTEST_SKIP() << "needs root to mount";

}  // namespace

TEST(BoundariesScanTest, BindMountInsideTheRootIsCountedOnce) {
    REQUIRE_ROOT();
    hmtest::TempDir tmp("hm-bindscan");
    const std::string d = tmp / "scan";
    ASSERT_EQ(sh("mkdir -p " + shQuote(d + "/src/loop") + " " + shQuote(d + "/view") + " && ln -s scan " +
                 shQuote(tmp / "link")),
              0);
    hmtest::writeFile(d + "/src/a", std::string(1000, 'a'));
    hmtest::writeFile(d + "/src/b", std::string(2000, 'b'));
    Mounts mounts;
    ASSERT_TRUE(mounts.bind(d + "/src", d + "/view"));
    ASSERT_TRUE(mounts.bind(d, d + "/src/loop"));  // a cycle: the root inside its own subtree

    auto tree = scan(d, false, true);
    EXPECT_EQ(tree->node(0).size, 3000u);
    const svl::ScanNode* view = node(*tree, d + "/view");
    ASSERT_TRUE(view);
    EXPECT_EQ(view->flags & (F::BindMount | F::OtherDevice), F::BindMount | F::OtherDevice);
    EXPECT_EQ(view->childCount, 0u);
    EXPECT_EQ(tree->bindSources.at(idOf(*tree, d + "/view")), d + "/src");
    EXPECT_EQ(tree->bindSources.at(idOf(*tree, d + "/src/loop")), d);
    EXPECT_EQ(tree->bindSources.size(), 2u);

    // A root given as a symbolic link with a trailing "/" is walked under that name: the bind
    // table is in canonical paths, the sources come back in the form the root was given.
    const std::string aliased = tmp / "link/";
    auto linked = scan(aliased, false, true);
    EXPECT_EQ(linked->node(0).size, 3000u);
    EXPECT_EQ(linked->bindSources.at(idOf(*linked, aliased + "view")), aliased + "src");
    // The root itself a symbolic link: the walk runs on its real path and still finds the bind.
    auto direct = scan(tmp / "link", false, true);
    EXPECT_EQ(direct->node(0).size, 3000u);
    EXPECT_EQ(direct->bindSources.size(), 2u);

    // Without bind detection both binds are walked: src, view (src again) and loop (the root
    // again, without the mounts below it, so src once more).
    auto twice = scan(d, false, false);
    EXPECT_EQ(twice->node(0).size, 3000u * 3);
    EXPECT_TRUE(twice->bindSources.empty());
}

TEST(BoundariesScanTest, BtrfsSubvolumesAndTheTopLevelMount) {
    REQUIRE_ROOT();
    if (!hmtest::haveTool("mkfs.btrfs") || !hmtest::haveTool("btrfs"))
        GTEST_SKIP() << "btrfs-progs missing";
    BtrfsBindLayout layout;
    ASSERT_TRUE(layout.make([](const std::string& top) {
        hmtest::writeFile(top + "/sv1/own", std::string(100, '1'));
        hmtest::writeFile(top + "/sv2/x/f", std::string(5000, '2'));
        hmtest::writeFile(top + "/topfile", std::string(7, 't'));
    })) << layout.error;
    const std::string& m = layout.m;

    // One file system: /top is another device group and not entered; sv2's file is counted
    // once, in /in, and /b points there.
    auto oneFs = scan(m, true, true);
    EXPECT_EQ(oneFs->node(0).size, 100u + 5000);
    EXPECT_EQ(node(*oneFs, m + "/top")->flags & (F::OtherDevice | F::BindMount), F::OtherDevice);
    EXPECT_EQ(node(*oneFs, m + "/in/x/f")->size, 5000u);
    EXPECT_EQ(oneFs->bindSources.at(idOf(*oneFs, m + "/b")), m + "/in/x");

    // Every file system: the top level holds everything; /in and /b point into it.
    auto all = scan(m, false, true);
    EXPECT_EQ(all->node(0).size, 100u + 7 + 100 + 5000);
    EXPECT_EQ(all->bindSources.at(idOf(*all, m + "/in")), m + "/top/sv2");
    EXPECT_EQ(all->bindSources.at(idOf(*all, m + "/b")), m + "/top/sv2/x");
    EXPECT_EQ(all->node(idOf(*all, m + "/top/sv2/x/f")).size, 5000u);
    // Nothing marked counted elsewhere may point at a place the scan does not count.
    for (const auto& [id, source] : all->bindSources)
        EXPECT_TRUE(node(*all, source)) << source;
    for (const auto& [id, source] : oneFs->bindSources) {
        const svl::ScanNode* counted = node(*oneFs, source);
        ASSERT_TRUE(counted) << source;
        EXPECT_FALSE(counted->flags & F::OtherDevice) << source;
    }
}

TEST(BoundariesScanTest, Ext4InsideTheScannedFolder) {
    REQUIRE_ROOT();
    hmtest::TempDir tmp("hm-ext4scan");
    hmtest::LoopMount ext4(tmp.path(), "mkfs.ext4 -q -F", 16);
    ASSERT_TRUE(ext4.ok()) << ext4.error();
    hmtest::writeFile(ext4.mountPoint() + "/inside", std::string(4000, 'e'));
    hmtest::writeFile(tmp / "outside", std::string(10, 'o'));

    auto oneFs = scan(tmp.path(), true, true);
    const svl::ScanNode* mp = node(*oneFs, ext4.mountPoint());
    ASSERT_TRUE(mp);
    EXPECT_EQ(mp->flags & (F::OtherDevice | F::BindMount), F::OtherDevice);
    EXPECT_EQ(mp->childCount, 0u);
    EXPECT_FALSE(node(*oneFs, ext4.mountPoint() + "/inside"));

    auto all = scan(tmp.path(), false, true);
    ASSERT_TRUE(node(*all, ext4.mountPoint() + "/inside"));
    EXPECT_TRUE(all->bindSources.empty());
}
