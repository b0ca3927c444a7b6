#include <gtest/gtest.h>

#include <string>

#include "tests/core/tree/TreeBuilder.h"

using namespace treetest;
using svl::NodeFlag::ExtraHardLink;
using svl::NodeFlag::Removed;

namespace {

// /data: a.txt, sub/ (b.bin, deep/ (c)), "na me"
std::unique_ptr<svl::ScanTree> sample() {
    return build(dir("/data",
                     {file("a.txt", 100, 4096, 50),
                      dir("sub", {file("b.bin", 1000, 8192, 70), dir("deep", {file("c", 5, 4096, 90)}, 4096)}, 4096),
                      file("na me", 7, 4096, 60)},
                     4096));
}

int64_t id(const svl::ScanTree& tree, const std::string& path) {
    const int64_t found = find(tree, path);
    EXPECT_GE(found, 0) << path;
    return found;
}

}  // namespace

TEST(TreePathsTest, FullPathJoinsNamesAndFindPathInvertsIt) {
    auto tree = sample();
    EXPECT_EQ(tree->fullPath(0), "/data");
    for (uint32_t i = 0; i < tree->nodeCount; ++i)
        EXPECT_EQ(find(*tree, tree->fullPath(i)), int64_t(i)) << tree->fullPath(i);
    EXPECT_EQ(tree->fullPath(uint32_t(id(*tree, "/data/sub/deep/c"))), "/data/sub/deep/c");
    EXPECT_EQ(find(*tree, "/data/"), 0);
    EXPECT_EQ(find(*tree, "/data//sub///deep/"), find(*tree, "/data/sub/deep"));
    EXPECT_EQ(find(*tree, "/data/na me"), id(*tree, "/data/na me"));
    EXPECT_EQ(find(*tree, "/dat"), -1);
    EXPECT_EQ(find(*tree, "/database/sub"), -1);
    EXPECT_EQ(find(*tree, "/data/sub/missing"), -1);
    EXPECT_EQ(find(*tree, "/data/SUB"), -1);
    EXPECT_EQ(find(*tree, ""), -1);
}

TEST(TreePathsTest, RootSlashAndRootWithTrailingSlash) {
    auto tree = build(dir("/", {dir("etc", {file("passwd", 1)})}));
    EXPECT_EQ(tree->fullPath(1), "/etc");
    EXPECT_EQ(tree->fullPath(2), "/etc/passwd");
    EXPECT_EQ(find(*tree, "/"), 0);
    EXPECT_EQ(find(*tree, "/etc/passwd"), 2);

    auto relative = build(dir("", {file("x", 1)}));
    EXPECT_EQ(relative->fullPath(1), "/x");

    svl::ScanTree empty;
    EXPECT_EQ(find(empty, "/"), -1);
}

TEST(TreePathsTest, FindChildPathChecksStartAndOffset) {
    auto tree = sample();
    const int64_t sub = id(*tree, "/data/sub");
    const std::string rel = "xx/deep/c";
    EXPECT_EQ(tree->findChildPath(uint32_t(sub), rel.data(), rel.size(), 3), id(*tree, "/data/sub/deep/c"));
    EXPECT_EQ(tree->findChildPath(uint32_t(sub), rel.data(), rel.size(), rel.size()), sub);
    EXPECT_EQ(tree->findChildPath(uint32_t(sub), rel.data(), rel.size(), 999), sub);
    EXPECT_EQ(tree->findChildPath(tree->nodeCount, rel.data(), rel.size(), 3), -1);
}

TEST(TreePathsTest, VirtualRootPathsPreferTheLongerNestedRoot) {
    auto tree = build(dir("Select Multiple",
                          {dir("/srv", {dir("data", {file("old", 1), file("both", 4)})}),
                           dir("/srv/data", {file("new", 2), file("both", 5)}),
                           dir("/tmp/", {file("t", 3)})},
                          0, 0, svl::NodeFlag::VirtualRoot));
    EXPECT_EQ(tree->fullPath(0), "");
    EXPECT_EQ(tree->fullPath(1), "/srv");
    EXPECT_EQ(find(*tree, "/srv"), 1);
    EXPECT_EQ(find(*tree, "/srv/data"), 2);  // equal name wins at once
    EXPECT_EQ(tree->fullPath(uint32_t(find(*tree, "/srv/data/new"))), "/srv/data/new");
    // Only under the shorter root: the longer one fails and the next candidate is tried.
    EXPECT_EQ(tree->fullPath(uint32_t(find(*tree, "/srv/data/old"))), "/srv/data/old");
    EXPECT_EQ(tree->fullPath(uint32_t(find(*tree, "/tmp/t"))), "/tmp/t");
    // Under both roots with the same path text: the node of the longer root, by id.
    const svl::ScanNode& longer = tree->node(2);
    ASSERT_EQ(tree->node(longer.firstChild + 1).nameView(), "both");
    EXPECT_EQ(find(*tree, "/srv/data/both"), int64_t(longer.firstChild + 1));
    EXPECT_EQ(find(*tree, "/srvx/data"), -1);
    EXPECT_EQ(find(*tree, ""), -1);

    auto bare = build(dir("Select Multiple", {}, 0, 0, svl::NodeFlag::VirtualRoot));
    EXPECT_EQ(find(*bare, "/srv"), -1);
}

TEST(TreePathsTest, DirectFilesSummaryCountsRemovedFilesWithoutTheirBytes) {
    auto tree = build(dir("/r",
                          {file("a", 10, 4096, 100), file("link", 10, 4096, 50, ExtraHardLink), dir("d", {file("x", 1000)}),
                           file("gone", 500, 8192, 300)}));
    const uint32_t gone = uint32_t(id(*tree, "/r/gone"));
    ASSERT_TRUE(tree->markRemoved(gone));
    const svl::DirectFilesSummary s = tree->directFilesSummary(0);
    EXPECT_EQ(s.count, 3u);
    EXPECT_EQ(s.removed, 1u);
    EXPECT_EQ(s.size, 20u);
    EXPECT_EQ(s.allocated, 4096u);
    EXPECT_EQ(s.newest, 300);

    const svl::DirectFilesSummary none = tree->directFilesSummary(gone);
    EXPECT_EQ(none.count, 0u);
    EXPECT_EQ(tree->directFilesSummary(tree->nodeCount).size, 0u);
    auto negative = build(dir("/n", {file("a", 1, 0, -50), file("b", 1, 0, -20)}));
    EXPECT_EQ(negative->directFilesSummary(0).newest, -20);
}

TEST(TreePathsTest, MarkRemovedTakesAmountsOutOfEveryAncestor) {
    auto tree = sample();
    const svl::ScanNode root = tree->node(0);
    const uint32_t sub = uint32_t(id(*tree, "/data/sub"));
    const svl::ScanNode subBefore = tree->node(sub);
    const uint32_t deep = uint32_t(id(*tree, "/data/sub/deep"));
    const svl::ScanNode deepNode = tree->node(deep);

    ASSERT_TRUE(tree->markRemoved(deep));
    EXPECT_EQ(tree->node(sub).size, subBefore.size - deepNode.size);
    EXPECT_EQ(tree->node(sub).allocated, subBefore.allocated - deepNode.allocated);
    EXPECT_EQ(tree->node(sub).filesBelow, subBefore.filesBelow - 1);
    EXPECT_EQ(tree->node(sub).foldersBelow, subBefore.foldersBelow - 1);
    EXPECT_EQ(tree->node(0).size, root.size - 5);
    EXPECT_EQ(tree->node(0).foldersBelow, root.foldersBelow - 1);
    EXPECT_TRUE(tree->node(uint32_t(id(*tree, "/data/sub/deep/c"))).flags & Removed);
    EXPECT_EQ(tree->node(deep).size, deepNode.size);  // the node keeps its own values

    EXPECT_FALSE(tree->markRemoved(deep));
    EXPECT_FALSE(tree->markRemoved(uint32_t(id(*tree, "/data/sub/deep/c"))));
    EXPECT_FALSE(tree->markRemoved(0));
    EXPECT_FALSE(tree->markRemoved(tree->nodeCount));
    EXPECT_FALSE(tree->markRemoved(UINT32_MAX));

    // A folder's whole depth is marked, not only its own children.
    auto whole = sample();
    ASSERT_TRUE(whole->markRemoved(sub));
    EXPECT_TRUE(whole->node(uint32_t(id(*whole, "/data/sub/deep/c"))).flags & Removed);

    // A damaged tree (a folder listing itself among its children) is marked, not looped over.
    auto damaged = sample();
    const uint32_t sub2 = uint32_t(id(*damaged, "/data/sub"));
    damaged->node(sub2).firstChild = sub2;
    ASSERT_TRUE(damaged->markRemoved(sub2));
    EXPECT_TRUE(damaged->node(sub2 + 1).flags & Removed);
}

TEST(TreePathsTest, MarkRemovedSaturatesAndSkipsHardLinkAllocation) {
    auto tree = build(dir("/r", {file("primary", 100, 4096), file("extra", 100, 4096, 0, ExtraHardLink)}));
    ASSERT_EQ(tree->node(0).allocated, 4096u);
    ASSERT_TRUE(tree->markRemoved(2));
    EXPECT_EQ(tree->node(0).allocated, 4096u);
    EXPECT_EQ(tree->node(0).size, 100u);
    // Ancestor totals that are already too small (an edited or imported tree) stop at 0.
    tree->node(0).size = 10;
    tree->node(0).filesBelow = 0;
    ASSERT_TRUE(tree->markRemoved(1));
    EXPECT_EQ(tree->node(0).size, 0u);
    EXPECT_EQ(tree->node(0).allocated, 0u);
    EXPECT_EQ(tree->node(0).filesBelow, 0u);
}

TEST(TreePathsTest, RenameWritesANewNameAndRefusesBadInput) {
    auto tree = sample();
    const uint32_t a = uint32_t(id(*tree, "/data/a.txt"));
    const char* oldName = tree->node(a).name;
    const std::string longer = "a much longer name.txt";
    ASSERT_TRUE(tree->rename(a, longer.data(), longer.size()));
    EXPECT_EQ(tree->node(a).nameView(), longer);
    EXPECT_EQ(std::string(tree->node(a).name), longer);  // NUL-terminated
    EXPECT_EQ(std::string(oldName), "a.txt");             // old bytes stay
    EXPECT_EQ(find(*tree, "/data/" + longer), a);
    EXPECT_EQ(find(*tree, "/data/a.txt"), -1);

    ASSERT_TRUE(tree->rename(a, "b", 1));
    // The block is as long as the old name, so a reader of the old length stays in zeros.
    for (size_t i = 1; i <= longer.size(); ++i)
        EXPECT_EQ(tree->node(a).name[i], '\0');

    EXPECT_FALSE(tree->rename(a, "", 0));
    const std::string huge(65536, 'x');
    EXPECT_FALSE(tree->rename(a, huge.data(), huge.size()));
    EXPECT_TRUE(tree->rename(a, huge.data(), 65535));
    EXPECT_EQ(tree->node(a).nameLength, 65535);
    EXPECT_FALSE(tree->rename(tree->nodeCount, "x", 1));
    EXPECT_EQ(tree->node(a).nameLength, 65535);
}

TEST(TreePathsTest, NamesWithInvalidUtf8AreComparedByBytes) {
    const std::string odd = std::string("caf\xE9") + "\xFF";
    auto tree = build(dir("/u", {file(odd, 1), file("caf\xC3\xA9", 2)}));
    EXPECT_EQ(find(*tree, "/u/" + odd), 1);
    EXPECT_EQ(find(*tree, "/u/caf\xC3\xA9"), 2);
    EXPECT_EQ(tree->fullPath(1), "/u/" + odd);
}
