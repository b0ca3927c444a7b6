#include "ui/views/FileSearch.h"

#include "core/tree/ScanTree.h"
#include "tests/ui/views/FileViewTestSupport.h"

#include <gtest/gtest.h>

namespace {

struct SearchCase {
    const char* label;
    const char* text;
    bool entirePath;
    bool folders;
    int dupMethod;
    bool dupsOnly;
    int64_t maxFiles;
    int sortColumn;
    int sortOrder;
    std::vector<uint32_t> expected;
};

SearchResult search(const svl::ScanTree& tree, const SearchParams& params) {
    std::atomic<int> counter{1};
    SearchResult result;
    EXPECT_TRUE(runSearch(tree, params, counter, 1, result));
    return result;
}

}  // namespace

TEST(FileSearch, FiltersSortsAndLimits) {
    const auto tree = fileviewtest::sampleTree();
    const SearchCase cases[] = {
        {"every file by allocated", "", false, false, 0, false, -1, 4, 1, {6, 8, 7, 3, 5, 4}},
        {"folders listed too", "", false, true, 0, false, -1, 4, 1, {0, 2, 1, 6, 8, 7, 3, 5, 4}},
        {"row limit", "", false, false, 0, false, 2, 4, 1, {6, 8}},
        {"name substring", "report", false, false, 0, false, -1, 3, 1, {3, 5}},
        {"name substring ascending", "report", false, false, 0, false, -1, 2, 0, {5, 3}},
        {"% of Root sorts like Size", "report", false, false, 0, false, -1, 2, 0, {5, 3}},
        {"no sort indicator sorts by size", "", false, false, 0, false, -1, -1, 1, {6, 8, 7, 3, 5, 4}},
        {"full path term", "docs/", true, false, 0, false, -1, 3, 1, {6, 5, 4}},
        {"path term in name mode", "data/pics/", false, true, 0, false, -1, 3, 1, {8, 7}},
        {"duplicates only", "", false, false, 2, true, -1, 3, 1, {6, 8}},
        {"duplicates only without a method", "", false, false, 0, true, -1, 3, 1, {6, 8, 7, 3, 5, 4}},
        {"duplicate condition sees the index", "=dups", false, false, 1, false, -1, 3, 1, {6, 8}},
        {"duplicate condition on full paths", "=dups", true, false, 1, false, -1, 3, 1, {6, 8}},
        {"duplicate condition without an index", "=dups", false, false, 0, false, -1, 3, 1, {}},
        {"nothing matches", "zzz", false, true, 2, false, -1, 3, 1, {}},
        {"regular expression with a path", "\\pics/.*jpg", false, false, 0, false, -1, 3, 1, {7}},
        {"regular expression on entire paths", "\\img.?1.*jpg", true, false, 0, false, -1, 3, 1, {7}},
    };
    for (const SearchCase& c : cases) {
        SearchParams params;
        params.text = c.text;
        params.matchEntirePath = c.entirePath;
        params.folders = c.folders;
        params.dupMethod = c.dupMethod;
        params.dupsOnly = c.dupsOnly && c.dupMethod != 0;
        params.maxFiles = c.maxFiles;
        params.sortColumn = c.sortColumn;
        params.sortOrder = c.sortOrder;
        const SearchResult result = search(*tree, params);
        EXPECT_EQ(result.ids, c.expected) << c.label;
        EXPECT_EQ(bool(result.duplicates), c.dupMethod != 0) << c.label;
        EXPECT_EQ(result.duplicatesComputed, c.dupMethod != 0) << c.label;
    }
}

TEST(FileSearch, TotalsCountListedRowsOnce) {
    const auto tree = fileviewtest::sampleTree();
    tree->node(5).flags |= svl::NodeFlag::ExtraHardLink;
    ASSERT_TRUE(tree->markRemoved(7));

    SearchParams params;
    params.maxFiles = -1;
    params.folders = false;
    SearchResult result = search(*tree, params);
    EXPECT_EQ(result.ids.size(), 6u) << "the removed file stays listed";
    EXPECT_EQ(result.totalSize, 500u + 500 + 100 + 20 + 10);
    EXPECT_EQ(result.totalAllocated, 500u + 500 + 100 + 10) << "no allocation for a further hard link";

    params.maxFiles = 2;
    result = search(*tree, params);
    EXPECT_EQ(result.totalSize, 1000u) << "only the rows within the limit";

    // Folders on: the root holds everything listed, so the total is the root's alone.
    params.folders = true;
    params.maxFiles = -1;
    result = search(*tree, params);
    EXPECT_EQ(result.ids.size(), 9u);
    EXPECT_EQ(result.totalSize, tree->node(0).size);
    EXPECT_EQ(result.totalAllocated, tree->node(0).allocated);
}

TEST(FileSearch, DeepChainIsTotalledWithoutRecursion) {
    treemaptest::TreeBuilder b("/deep");
    uint32_t parent = 0;
    for (int level = 0; level < 100000; ++level)
        parent = b.folder(parent, "d");
    b.file(parent, "leaf.bin", 7);
    const auto tree = b.finish();

    SearchParams params;
    params.maxFiles = -1;
    const SearchResult all = search(*tree, params);
    EXPECT_EQ(all.ids.size(), tree->nodeCount);
    EXPECT_EQ(all.totalSize, 7u);

    params.text = "leaf";
    params.matchEntirePath = true;
    const SearchResult leaf = search(*tree, params);
    ASSERT_EQ(leaf.ids.size(), 1u);
    EXPECT_EQ(leaf.ids[0], tree->nodeCount - 1);
}

TEST(FileSearch, SupersededRunsAndCachedIndexes) {
    const auto tree = fileviewtest::sampleTree();
    SearchParams params;
    params.dupMethod = 2;
    std::atomic<int> counter{5};
    SearchResult result;
    EXPECT_FALSE(runSearch(*tree, params, counter, 4, result)) << "a newer request exists";
    params.text = "docs/";
    params.matchEntirePath = true;
    EXPECT_FALSE(runSearch(*tree, params, counter, 4, result)) << "the bitmap gives up too";

    auto cached = std::make_shared<svl::DuplicateIndex>();
    cached->groupOf.assign(tree->nodeCount, svl::DuplicateIndex::kNoGroup);
    cached->groups = {{3, 4}};  // an index that detection would never produce
    cached->groupOf[3] = cached->groupOf[4] = 0;
    params = SearchParams{};
    params.dupMethod = 2;
    params.dupsOnly = true;
    params.cachedDuplicates = cached;
    result = search(*tree, params);
    EXPECT_FALSE(result.duplicatesComputed);
    EXPECT_EQ(result.duplicates, cached);
    EXPECT_EQ(result.ids, (std::vector<uint32_t>{3, 4}));
}
