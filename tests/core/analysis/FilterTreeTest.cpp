#include <gtest/gtest.h>

#include "core/analysis/FilterMatch.h"
#include "core/analysis/MatchBitmap.h"
#include "core/analysis/Parallel.h"
#include "tests/core/analysis/FilterTestSupport.h"

using namespace svl;

namespace {

Filter decode(std::string_view text, bool fullPath = false) {
    return decodeFilterText(text, fullPath, nullptr, hmtest::fixedClock());
}

// Names of the new tree in id order, with "/" for each level below the root.
std::vector<std::string> paths(const ScanTree& tree) {
    std::vector<std::string> out;
    for (uint32_t id = 0; id < tree.nodeCount; ++id) {
        std::string p(tree.nodes[id].nameView());
        for (uint32_t at = id; at != 0; at = tree.nodes[at].parent)
            if (at != id)
                p = std::string(tree.nodes[at].nameView()) + "/" + p;
        out.push_back(p);
    }
    return out;
}

struct Sample {
    std::unique_ptr<ScanTree> tree;
    std::vector<uint32_t> id;
    int docs, a, b, pics, p1, gone, g1, empty;
};

Sample sample() {
    hmtest::TreeSpec spec("/r");
    Sample s;
    s.docs = spec.folder(0, "docs");
    s.a = spec.file(s.docs, "a.txt", 100);
    s.b = spec.file(s.docs, "b.jpg", 5000);
    s.pics = spec.folder(0, "pics");
    s.p1 = spec.file(s.pics, "p1.jpg", 9000);
    s.gone = spec.folder(0, "gone");
    s.g1 = spec.file(s.gone, "g1.txt", 7);
    s.empty = spec.folder(0, "empty");
    spec.at(s.gone).flags = NodeFlag::Removed;
    s.tree = spec.build(&s.id);
    return s;
}

}  // namespace

TEST(FilterTreeTest, WithoutFiltersEverythingButRemovedSubtreesIsCopied) {
    Sample s = sample();
    s.tree->errors = 3;
    s.tree->incomplete = true;
    s.tree->seconds = 1.5;
    s.tree->raw = true;
    s.tree->bindSources[s.id[s.pics]] = "/mnt/pics";
    const Filter none = decode("  ");
    const auto out = filterTree(*s.tree, &none, nullptr);
    EXPECT_EQ(paths(*out), (std::vector<std::string>{"/r", "docs", "pics", "empty", "docs/a.txt", "docs/b.jpg",
                                                     "pics/p1.jpg"}));
    EXPECT_EQ(out->nodes[0].size, 14100u);  // fresh totals without the removed folder
    EXPECT_EQ(out->nodes[0].filesBelow, 3u);
    EXPECT_EQ(out->nodes[0].foldersBelow, 3u);
    EXPECT_EQ(out->errors, 3u);
    EXPECT_TRUE(out->incomplete);
    EXPECT_EQ(out->seconds, 1.5);
    EXPECT_FALSE(out->raw);
    ASSERT_EQ(out->bindSources.size(), 1u);
    EXPECT_EQ(out->bindSources.at(2), "/mnt/pics");
    for (uint32_t id = 1; id < out->nodeCount; ++id)
        EXPECT_LT(out->nodes[id].parent, id);
}

TEST(FilterTreeTest, IncludeKeepsAncestorsAndExcludeCutsSubtrees) {
    const Sample s = sample();
    const Filter jpg = decode("*.jpg");
    EXPECT_EQ(paths(*filterTree(*s.tree, &jpg, nullptr)),
              (std::vector<std::string>{"/r", "docs", "pics", "docs/b.jpg", "pics/p1.jpg"}));

    const Filter pics = decode("pics");
    const auto both = filterTree(*s.tree, &jpg, &pics);
    EXPECT_EQ(paths(*both), (std::vector<std::string>{"/r", "docs", "docs/b.jpg"}));
    EXPECT_EQ(both->nodes[0].size, 5000u);

    // The root is never tested against the exclude filter.
    const Filter r = decode("r");
    EXPECT_EQ(filterTree(*s.tree, nullptr, &r)->nodeCount, 9u - 2u);

    // A passing folder stays with its own allocation only; its files need to pass themselves.
    const Filter docs = decode("docs");
    const auto folderOnly = filterTree(*s.tree, &docs, nullptr);
    EXPECT_EQ(paths(*folderOnly), (std::vector<std::string>{"/r", "docs"}));
    EXPECT_EQ(folderOnly->nodes[1].size, 0u);
    EXPECT_EQ(folderOnly->nodes[1].allocated, 4096u);
    // In a full-path filter the folder's name is part of every path below it.
    const Filter docsPath = decode("docs", true);
    EXPECT_EQ(paths(*filterTree(*s.tree, &docsPath, nullptr)),
              (std::vector<std::string>{"/r", "docs", "docs/a.txt", "docs/b.jpg"}));
    // Size conditions see the source totals of folders.
    const Filter big = decode(">8000 =folders");
    EXPECT_EQ(paths(*filterTree(*s.tree, &big, nullptr)), (std::vector<std::string>{"/r", "pics"}));
}

TEST(FilterTreeTest, OwnAllocationNeverGoesNegativeAndImportTotalsSurvive) {
    hmtest::TreeSpec spec("/r");
    const int d = spec.folder(0, "d");
    spec.file(d, "f", 10);
    std::vector<uint32_t> id;
    auto tree = spec.build(&id);
    // An import may hold folder totals that disagree with the children.
    tree->nodes[id[d]].allocated = 100;  // less than its child's 4096
    tree->nodes[id[d]].size = 777;
    tree->nodes[0].filesBelow = 50;
    tree->importMismatch = true;
    const auto out = filterTree(*tree, nullptr, nullptr);
    ASSERT_EQ(out->nodeCount, 3u);
    EXPECT_TRUE(out->importMismatch);
    EXPECT_EQ(out->nodes[1].size, 777u);
    EXPECT_EQ(out->nodes[1].allocated, 100u);
    EXPECT_EQ(out->nodes[0].filesBelow, 50u);
    tree->importMismatch = false;
    const auto fresh = filterTree(*tree, nullptr, nullptr);
    EXPECT_EQ(fresh->nodes[1].allocated, 4096u);  // own part 0 plus the child
    EXPECT_EQ(fresh->nodes[1].size, 10u);
}

TEST(FilterTreeTest, EmptyTreesAndEmptyFilters) {
    ScanTree empty;
    const Filter x = decode("x");
    EXPECT_TRUE(matchBitmap(empty, [&] { return x; }, nullptr, 0, 65536).empty());
    EXPECT_EQ(filterTree(empty, &x, &x)->nodeCount, 0u);
    const Sample s = sample();
    const Filter none = decode("|");
    EXPECT_EQ(matchBitmap(*s.tree, [&] { return none; }, nullptr, 0, 65536), std::vector<uint8_t>(9, 1));
    EXPECT_THROW((void)matchBitmap(*s.tree, FilterSource(), nullptr, 0, 65536), std::bad_function_call);
}

TEST(FilterTreeTest, CancellationAtSliceStarts) {
    const Sample s = sample();
    ScopedHardwareThreads one(1);
    for (const bool fullPath : {false, true}) {
        const Filter f = decode("a", fullPath);
        std::atomic<int> generation{5};
        int calls = 0;
        // Changed before the first slice: nothing is evaluated.
        generation = 6;
        EXPECT_TRUE(matchBitmap(*s.tree, [&] { ++calls; return f; }, &generation, 5, 2).empty());
        EXPECT_EQ(calls, 1);

        // Changed while slice 1 starts (its source call): slice 2 notices.
        generation = 5;
        calls = 0;
        const int passes = fullPath ? 2 : 1;  // the mask pass comes first in full-path mode
        auto flipAt = [&](int when) {
            return [&, when] {
                if (++calls == when)
                    generation = 6;
                return f;
            };
        };
        EXPECT_TRUE(matchBitmap(*s.tree, flipAt(3), &generation, 5, 2).empty());
        // Changed at the last slice's start of the last pass: unnoticed, full result.
        generation = 5;
        calls = 0;
        const std::vector<uint8_t> full = matchBitmap(*s.tree, flipAt(1 + 5 * passes), &generation, 5, 2);
        ASSERT_EQ(full.size(), 9u);
        for (uint32_t id = 0; id < 9; ++id)
            EXPECT_EQ(full[id], filterMatchesNode(*s.tree, id, f)) << id;
    }
}
