#include <gtest/gtest.h>

#include "core/tree/GraftRescans.h"
#include "tests/core/tree/TreeBuilder.h"

using namespace treetest;
using svl::NodeFlag::Removed;
using svl::NodeFlag::Unreadable;

namespace {

// /r (own 4096): keep.txt, a/ (old1, bad [unreadable], sub/ (deep)), b/ (x), c.txt
std::unique_ptr<svl::ScanTree> oldTree() {
    auto tree = build(dir("/r",
                          {file("keep.txt", 10, 4096, 5),
                           dir("a", {file("old1", 100, 4096, 7), file("bad", 0, 0, 0, Unreadable),
                                     dir("sub", {file("deep", 1000, 4096, 9)}, 4096)},
                               4096, 3),
                           dir("b", {file("x", 20, 4096, 8)}, 4096), file("c.txt", 30, 4096, 6)},
                          4096, 1));
    tree->errors = 1;
    tree->remote = true;
    tree->seconds = 2.5;
    return tree;
}

uint32_t at(const svl::ScanTree& tree, const std::string& path) {
    const int64_t id = find(tree, path);
    EXPECT_GE(id, 0) << path;
    return id < 0 ? 0 : uint32_t(id);
}

std::shared_ptr<svl::ScanTree> share(std::unique_ptr<svl::ScanTree> tree) {
    return std::shared_ptr<svl::ScanTree>(std::move(tree));
}

// Every child id above its parent, children contiguous: what computeTotals relies on.
void expectSound(const svl::ScanTree& tree) {
    for (uint32_t id = 1; id < tree.nodeCount; ++id) {
        const svl::ScanNode& n = tree.nodes[id];
        ASSERT_LT(n.parent, id);
        const svl::ScanNode& p = tree.nodes[n.parent];
        ASSERT_GE(id, p.firstChild);
        ASSERT_LT(id, p.firstChild + p.childCount);
    }
}

}  // namespace

TEST(GraftRescansTest, ReplacesARescannedFolderAndKeepsTheRest) {
    auto old = oldTree();
    auto fresh = build(dir("/r/a", {file("new1", 500, 8192, 40), dir("n", {file("n1", 5, 4096, 41)}, 4096)}, 4096, 30));
    fresh->errors = 2;
    const std::vector<svl::RescanRecord> records{{at(*old, "/r/a"), share(std::move(fresh))}};
    auto tree = svl::graftRescans(*old, records);

    expectSound(*tree);
    EXPECT_EQ(tree->fullPath(0), "/r");
    EXPECT_EQ(find(*tree, "/r/a/old1"), -1);
    EXPECT_EQ(find(*tree, "/r/a/sub/deep"), -1);
    const svl::ScanNode& a = tree->node(at(*tree, "/r/a"));
    EXPECT_EQ(a.modified, 30);
    EXPECT_EQ(a.size, 505u);
    EXPECT_EQ(a.allocated, 4096u + 8192 + 4096 + 4096);
    EXPECT_EQ(a.filesBelow, 2u);
    EXPECT_EQ(a.foldersBelow, 1u);
    EXPECT_EQ(tree->node(0).size, 10u + 505 + 20 + 30);
    EXPECT_EQ(tree->node(0).allocated, 4096u + 4096 + (4096 + 8192 + 4096 + 4096) + (4096 + 4096) + 4096);
    EXPECT_EQ(tree->newestTimes[0], 41);
    EXPECT_EQ(tree->node(at(*tree, "/r/b/x")).size, 20u);
    // The old errors lose the one unreadable entry of the replaced folder; the fresh ones add.
    EXPECT_EQ(tree->errors, 0u + 2);
    EXPECT_TRUE(tree->remote);
    EXPECT_EQ(tree->seconds, 2.5);
    EXPECT_FALSE(tree->incomplete);
    EXPECT_FALSE(tree->raw);
}

TEST(GraftRescansTest, MissingOrEmptyFreshTreesDropTheFolder) {
    auto old = oldTree();
    auto empty = std::make_shared<svl::ScanTree>();  // root could not be examined
    empty->errors = 1;
    const std::vector<svl::RescanRecord> records{{at(*old, "/r/a"), empty}, {at(*old, "/r/b"), nullptr}};
    auto tree = svl::graftRescans(*old, records);
    expectSound(*tree);
    EXPECT_EQ(find(*tree, "/r/a"), -1);
    EXPECT_EQ(find(*tree, "/r/b"), -1);
    EXPECT_EQ(tree->nodeCount, 3u);
    EXPECT_EQ(tree->node(0).size, 40u);
    EXPECT_EQ(tree->node(0).allocated, 4096u * 3);
    EXPECT_EQ(tree->errors, 0u);
}

TEST(GraftRescansTest, RemovedNodesAreNotCarriedOver) {
    auto old = oldTree();
    ASSERT_TRUE(old->markRemoved(at(*old, "/r/a/sub")));
    ASSERT_TRUE(old->markRemoved(at(*old, "/r/c.txt")));
    auto tree = svl::graftRescans(*old, {});
    expectSound(*tree);
    EXPECT_EQ(find(*tree, "/r/a/sub"), -1);
    EXPECT_EQ(find(*tree, "/r/c.txt"), -1);
    EXPECT_EQ(tree->node(0).size, old->node(0).size);
    EXPECT_EQ(tree->node(0).allocated, old->node(0).allocated);
    EXPECT_EQ(tree->node(0).filesBelow, old->node(0).filesBelow);
    EXPECT_EQ(tree->node(0).foldersBelow, old->node(0).foldersBelow);
    EXPECT_EQ(tree->errors, 1u);
    for (uint32_t id = 0; id < tree->nodeCount; ++id)
        EXPECT_FALSE(tree->nodes[id].flags & Removed);
}

TEST(GraftRescansTest, IgnoredRecordsLateRecordsAndNestedRecords) {
    auto old = oldTree();
    auto freshA = share(build(dir("/r/a", {file("z", 1)})));
    auto freshSub = share(build(dir("/r/a/sub", {file("y", 1000000)})));
    freshSub->errors = 7;
    freshSub->incomplete = true;
    auto stale = share(build(dir("/r/b", {file("stale", 3)})));
    auto freshB = share(build(dir("/r/b", {file("x2", 4)})));
    const std::vector<svl::RescanRecord> records{{0, freshA},
                                                 {old->nodeCount, freshA},
                                                 {at(*old, "/r/a/sub"), freshSub},  // inside the replaced /r/a
                                                 {at(*old, "/r/a"), freshA},
                                                 {at(*old, "/r/b"), stale},
                                                 {at(*old, "/r/b"), freshB}};
    auto tree = svl::graftRescans(*old, records);
    expectSound(*tree);
    EXPECT_GE(find(*tree, "/r/keep.txt"), 0);
    EXPECT_GE(find(*tree, "/r/a/z"), 0);
    EXPECT_EQ(find(*tree, "/r/a/sub"), -1);
    EXPECT_EQ(find(*tree, "/r/b/stale"), -1);
    EXPECT_GE(find(*tree, "/r/b/x2"), 0);
    // The nested record was never grafted: neither its errors nor its incompleteness count.
    EXPECT_EQ(tree->errors, 0u);
    EXPECT_FALSE(tree->incomplete);
}

TEST(GraftRescansTest, IncompleteFreshTreeMakesTheResultIncomplete) {
    auto old = oldTree();
    auto fresh = share(build(dir("/r/b", {file("partial", 1)})));
    fresh->incomplete = true;
    auto tree = svl::graftRescans(*old, {{at(*old, "/r/b"), fresh}});
    EXPECT_TRUE(tree->incomplete);
    EXPECT_EQ(tree->errors, 1u);

    // A cancelled scan keeps saying so after a complete rescan of one of its folders.
    auto cut = oldTree();
    cut->incomplete = true;
    auto whole = share(build(dir("/r/b", {file("all", 1)})));
    EXPECT_TRUE(svl::graftRescans(*cut, {{at(*cut, "/r/b"), whole}})->incomplete);
}

TEST(GraftRescansTest, BindSourcesAndEnteredMountsFollowTheirNodes) {
    auto old = build(dir("/r", {dir("m", {}, 0, 0, svl::NodeFlag::BindMount | svl::NodeFlag::OtherDevice),
                                dir("f", {dir("in", {})}), dir("e", {})}));
    old->bindSources[at(*old, "/r/m")] = "/srv/m";
    old->enteredMounts[at(*old, "/r/e")] = {1, 2, 3};
    old->enteredMounts[at(*old, "/r/f/in")] = {9, 9, 9};  // rescanned away
    auto fresh = build(dir("/r/f", {dir("x", {}), dir("bm", {}, 0, 0, svl::NodeFlag::BindMount)}));
    fresh->bindSources[2] = "/srv/bm";
    fresh->enteredMounts[0] = {4, 5, 6};  // the rescanned folder is itself a mount's root
    fresh->enteredMounts[1] = {7, 8, 9};
    auto tree = svl::graftRescans(*old, {{at(*old, "/r/f"), share(std::move(fresh))}});
    ASSERT_EQ(tree->bindSources.size(), 2u);
    EXPECT_EQ(tree->bindSources.at(at(*tree, "/r/m")), "/srv/m");
    EXPECT_EQ(tree->bindSources.at(at(*tree, "/r/f/bm")), "/srv/bm");
    using Mount = svl::ScanTree::MountIdentity;
    ASSERT_EQ(tree->enteredMounts.size(), 3u);
    EXPECT_EQ(tree->enteredMounts.at(at(*tree, "/r/e")), (Mount{1, 2, 3}));
    EXPECT_EQ(tree->enteredMounts.at(at(*tree, "/r/f")), (Mount{4, 5, 6}));
    EXPECT_EQ(tree->enteredMounts.at(at(*tree, "/r/f/x")), (Mount{7, 8, 9}));
}

// The roots a scan could not reach stay known as such by their new ids; one rescanned is
// what its fresh scan says.
TEST(GraftRescansTest, UnreachedRootsFollowTheirNodes) {
    auto old = build(dir("Select Multiple", {dir("/a", {dir("s", {})}), dir("/gone", {}), dir("/shut", {}),
                                             dir("/dead", {})},
                         0, 0, svl::NodeFlag::VirtualRoot));
    old->unreachedRoots = {{at(*old, "/gone"), svl::RootReach::Missing},
                           {at(*old, "/shut"), svl::RootReach::Denied},
                           {at(*old, "/dead"), svl::RootReach::NoAnswer}};
    auto stillShut = build(dir("/shut", {}));
    stillShut->unreachedRoots = {{0, svl::RootReach::Denied}};
    auto tree = svl::graftRescans(*old, {{at(*old, "/a/s"), share(build(dir("/a/s", {file("n", 1)})))},
                                         {at(*old, "/shut"), share(std::move(stillShut))},
                                         {at(*old, "/dead"), share(build(dir("/dead", {file("back", 1)})))}});
    using Unreached = std::vector<std::pair<uint32_t, svl::RootReach>>;
    EXPECT_EQ(tree->unreachedRoots, (Unreached{{at(*tree, "/gone"), svl::RootReach::Missing},
                                               {at(*tree, "/shut"), svl::RootReach::Denied}}));
}

TEST(GraftRescansTest, EmptyOldTreeAndLongNames) {
    svl::ScanTree empty;
    EXPECT_EQ(svl::graftRescans(empty, {})->nodeCount, 0u);

    const std::string longName(70000, 'n');
    auto old = build(dir("/r", {file("short", 1)}));
    ASSERT_TRUE(old->rename(1, "s", 1));
    auto tree = svl::graftRescans(*old, {});
    EXPECT_EQ(tree->node(1).nameView(), "s");
    EXPECT_EQ(std::string(tree->node(1).name), "s");
    // A stored name longer than 65535 bytes is copied whole.
    auto withLong = std::make_unique<svl::ScanTree>();
    ASSERT_EQ(withLong->allocateNodes(2), 0u);
    withLong->node(0) = svl::ScanNode{};
    withLong->node(0).name = withLong->storeName("/r");
    withLong->node(0).nameLength = 2;
    withLong->node(0).flags = svl::NodeFlag::Folder;
    withLong->node(0).firstChild = 1;
    withLong->node(0).childCount = 1;
    withLong->node(1) = svl::ScanNode{};
    withLong->node(1).name = withLong->storeName(longName);
    withLong->node(1).nameLength = svl::kMaxNameLength;
    withLong->finishNodeCount();
    withLong->computeTotals();
    auto copied = svl::graftRescans(*withLong, {});
    EXPECT_EQ(std::string(copied->node(1).name), longName);
    EXPECT_EQ(copied->node(1).nameLength, svl::kMaxNameLength);
}
