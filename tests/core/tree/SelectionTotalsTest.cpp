#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/tree/SelectionTotals.h"
#include "tests/core/tree/TreeBuilder.h"

using namespace treetest;

namespace {

// /r: a/ (x, y, z a further hard link), b, gone (removed)
std::unique_ptr<svl::ScanTree> sample() {
    auto tree = build(dir("/r", {dir("a", {file("x", 1000, 4096), file("y", 2000, 8192),
                                           file("z", 3000, 8192, 0, svl::NodeFlag::ExtraHardLink)}),
                                 file("b", 10, 4096), file("gone", 500, 4096)}));
    EXPECT_TRUE(tree->markRemoved(uint32_t(find(*tree, "/r/gone"))));
    return tree;
}

}  // namespace

TEST(SelectionTotalsTest, EachByteCountsOnceAndRemovedNodesNotAtAll) {
    const auto tree = sample();
    const uint32_t n = tree->nodeCount;
    auto at = [&](const char* path) { return uint32_t(find(*tree, std::string("/r") + path)); };
    const svl::ScanNode& a = tree->node(at("/a"));
    const svl::ScanNode& root = tree->node(0);
    struct Case {
        const char* label;
        std::vector<uint32_t> rows;
        svl::SelectionTotals expected;
    };
    const Case cases[] = {
        {"three files", {at("/a/x"), at("/a/y"), at("/a/z")}, {6000, 12288, 3, 3}},
        {"a folder and a file inside it", {at("/a/x"), at("/a")}, {a.size, a.allocated, 3, 2}},
        {"a row listed twice", {at("/b"), at("/b")}, {10, 4096, 1, 1}},
        {"a group row and a file in it", {at("/a/x"), n + at("/a")}, {6000, 12288, 3, 2}},
        {"a folder and its group row", {n + at("/a"), at("/a")}, {a.size, a.allocated, 3, 2}},
        {"a removed file", {at("/gone"), at("/b")}, {10, 4096, 1, 1}},
        {"everything", {0, at("/a"), at("/a/x"), at("/a/y"), at("/a/z"), at("/b"), at("/gone")},
         {root.size, root.allocated, 4, 6}},
        {"rows past the group rows", {2 * n, 2 * n + 5}, {0, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        const svl::SelectionTotals t = svl::selectionTotals(*tree, c.rows);
        EXPECT_EQ(t.size, c.expected.size) << c.label;
        EXPECT_EQ(t.allocated, c.expected.allocated) << c.label;
        EXPECT_EQ(t.files, c.expected.files) << c.label;
        EXPECT_EQ(t.rows, c.expected.rows) << c.label;
        // Listed over and over, the rows are totalled in blocks on all cores: the same totals.
        std::vector<uint32_t> repeated;
        while (repeated.size() < 200000)
            repeated.insert(repeated.end(), c.rows.begin(), c.rows.end());
        const svl::SelectionTotals r = svl::selectionTotals(*tree, repeated);
        EXPECT_EQ(std::vector<uint64_t>({r.size, r.allocated, r.files, r.rows}),
                  std::vector<uint64_t>({t.size, t.allocated, t.files, t.rows})) << c.label;
    }

    // A few rows of a large tree: the same rule without a mark per node.
    std::vector<Spec> many;
    for (int i = 0; i < 1000; ++i)
        many.push_back(file("f" + std::to_string(i), 1, 1));
    const auto big = build(dir("/big", {dir("d", std::move(many))}));
    const uint32_t d = uint32_t(find(*big, "/big/d"));
    const svl::SelectionTotals t = svl::selectionTotals(*big, std::vector<uint32_t>{d + 5, d, d + 5});
    EXPECT_EQ(t.size, 1000u);
    EXPECT_EQ(t.files, 1000u);
    EXPECT_EQ(t.rows, 2u);
}
