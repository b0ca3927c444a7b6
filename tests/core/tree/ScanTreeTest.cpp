#include "core/tree/ScanTree.h"

#include <gtest/gtest.h>

#include <cstring>

using svl::NodeFlag::ExtraHardLink;
using svl::NodeFlag::Folder;

namespace {

// Builds a tree the way a builder does: root first, then one block per folder.
struct Builder {
    svl::ScanTree tree;
    uint32_t add(uint32_t parent, const char* name, uint16_t flags, uint64_t size, uint64_t alloc, int64_t mtime) {
        const char* n = tree.storeName(name);
        uint32_t id = tree.allocateNodes(1);
        svl::ScanNode& r = tree.node(id);
        r = svl::ScanNode{n, size, alloc, mtime, parent, 0, 0, 0, 0, uint16_t(std::strlen(name)), flags};
        if (id != 0) {
            svl::ScanNode& p = tree.node(parent);
            if (p.childCount == 0)
                p.firstChild = id;
            ++p.childCount;
        }
        return id;
    }
    void finish() {
        tree.finishNodeCount();
        tree.computeTotals();
    }
};

}  // namespace

TEST(ScanTree, TotalsAddFilesAndFoldersUpwards) {
    Builder b;
    b.add(0, "/root", Folder, 0, 4096, 100);
    uint32_t sub = b.add(0, "sub", Folder, 0, 4096, 500);  // newer than any file: must not raise the root
    b.add(0, "a", 0, 10, 4096, 200);
    b.add(sub, "b", 0, 7, 4096, 150);
    b.add(sub, "c", ExtraHardLink, 7, 4096, 160);
    b.finish();
    const auto& t = b.tree;
    ASSERT_EQ(t.nodeCount, 5u);
    EXPECT_EQ(t.node(0).size, 24u);
    EXPECT_EQ(t.node(0).allocated, 4u * 4096);  // the hard link's blocks are not added
    EXPECT_EQ(t.node(0).filesBelow, 3u);
    EXPECT_EQ(t.node(0).foldersBelow, 1u);
    EXPECT_EQ(t.node(sub).allocated, 2u * 4096);
    EXPECT_EQ(t.newestTimes[0], 200);
    EXPECT_EQ(t.newestTimes[sub], 500);  // own time newer than its files
}

TEST(ScanTree, RootOnlyAndOlderFile) {
    Builder b;
    b.add(0, "/x", Folder, 0, 0, 300);
    b.finish();
    EXPECT_EQ(b.tree.newestTimes[0], 300);

    Builder c;
    c.add(0, "/y", Folder, 0, 0, 300);
    c.add(0, "old", 0, 1, 0, 100);
    c.finish();
    EXPECT_EQ(c.tree.newestTimes[0], 300);
}

TEST(ScanTree, ClaimsPastTheReservationThrowAndNeverCountUnwrittenRecords) {
    svl::ScanTree t;
    const uint32_t room = uint32_t(t.nodeReserved / sizeof(svl::ScanNode));
    ASSERT_GT(room, 10u);
    uint32_t first = t.allocateNodes(3);
    EXPECT_EQ(first, 0u);
    EXPECT_THROW((void)t.allocateNodes(room), std::bad_alloc);
    EXPECT_THROW((void)t.allocateNodes(1), std::bad_alloc);  // the counter stays advanced
    t.finishNodeCount();
    EXPECT_EQ(t.nodeCount, 3u);
    EXPECT_THROW((void)t.allocateNames(t.nameReserved + 1), std::bad_alloc);
}

TEST(ScanTree, EmptyTreeHasNoNodes) {
    svl::ScanTree t;
    t.finishNodeCount();
    t.computeTotals();
    EXPECT_EQ(t.nodeCount, 0u);
    EXPECT_TRUE(t.newestTimes.empty());
    EXPECT_FALSE(t.incomplete);
}
