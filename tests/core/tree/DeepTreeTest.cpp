// Trees far deeper than any stack: every walk over the tree must work without one
// frame per level (imports and MFT loads can build chains of any depth).
#include "core/analysis/Duplicates.h"
#include "core/analysis/ExtensionStats.h"
#include "core/analysis/MatchBitmap.h"
#include "core/tree/GraftRescans.h"
#include "core/tree/ScanTree.h"
#include "core/treemap/TreemapLayout.h"

#include <gtest/gtest.h>

#include <memory>

using namespace svl;

namespace {

constexpr uint32_t kLevels = 100000;

// Root "r"; every folder "d" holds a one-byte file "f.txt" and the next folder "d".
std::unique_ptr<ScanTree> buildChain() {
    auto tree = std::make_unique<ScanTree>();
    const char* root = tree->storeName("r");
    const char* folder = tree->storeName("d");
    const char* file = tree->storeName("f.txt");
    tree->node(tree->allocateNodes(1)) = ScanNode{root, 0, 0, 0, 0, 0, 0, 0, 0, 1, NodeFlag::Folder};
    uint32_t parent = 0;
    for (uint32_t level = 0; level < kLevels; ++level) {
        const uint32_t first = tree->allocateNodes(2);
        tree->node(first) = ScanNode{file, 1, 4096, 0, parent, 0, 0, 0, 0, 5, 0};
        tree->node(first + 1) = ScanNode{folder, 0, 0, 0, parent, 0, 0, 0, 0, 1, NodeFlag::Folder};
        tree->node(parent).firstChild = first;
        tree->node(parent).childCount = 2;
        parent = first + 1;
    }
    tree->finishNodeCount();
    tree->computeTotals();
    return tree;
}

}  // namespace

TEST(DeepTree, EveryWalkHandlesAHundredThousandLevels) {
    const std::unique_ptr<ScanTree> tree = buildChain();
    const uint32_t deepest = tree->nodeCount - 1;
    ASSERT_EQ(tree->nodeCount, 2 * kLevels + 1);
    EXPECT_EQ(tree->node(0).size, kLevels);
    EXPECT_EQ(tree->node(0).foldersBelow, kLevels);

    const std::string path = tree->fullPath(deepest);
    EXPECT_EQ(path.size(), 1 + 2 * size_t(kLevels));
    EXPECT_EQ(tree->findPath(path.data(), path.size()), int64_t(deepest));

    TreemapOptions options;
    options.showNames = false;
    const TreemapLayout layout = layoutTreemap(*tree, 0, {0, 0, 1000, 1000}, options);
    EXPECT_FALSE(layout.leaves.empty());

    const std::vector<ExtensionStat> stats = computeExtensionStats(*tree);
    ASSERT_EQ(stats.size(), 1u);
    EXPECT_EQ(stats[0].files, kLevels);

    const std::unique_ptr<ScanTree> copy = filterTree(*tree, nullptr, nullptr);
    EXPECT_EQ(copy->nodeCount, tree->nodeCount);
    EXPECT_EQ(copy->fullPath(copy->nodeCount - 1), path);

    const DuplicateIndex duplicates = detectDuplicates(*tree, DuplicateMethod::NameSize, nullptr, 0);
    ASSERT_EQ(duplicates.groups.size(), 1u);
    EXPECT_EQ(duplicates.groups[0].size(), kLevels);

    auto fresh = std::make_shared<ScanTree>();
    fresh->node(fresh->allocateNodes(1)) = ScanNode{fresh->storeName("d"), 7, 0, 0, 0, 0, 0, 0, 0, 1, 0};
    fresh->finishNodeCount();
    fresh->computeTotals();
    const std::unique_ptr<ScanTree> grafted = graftRescans(*tree, {{deepest, fresh}});
    EXPECT_EQ(grafted->node(0).size, kLevels + 7);

    ASSERT_TRUE(tree->markRemoved(2));
    EXPECT_EQ(tree->node(0).size, 1u);
}
