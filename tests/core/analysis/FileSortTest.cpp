#include "core/analysis/FileSort.h"

#include <gtest/gtest.h>

#include <numeric>
#include <string>

#include "core/analysis/Duplicates.h"
#include "core/analysis/Parallel.h"
#include "core/tree/Attributes.h"
#include "tests/core/analysis/AnalysisTestTree.h"

using namespace analysistest;
using svl::FileSortColumn;

namespace {

std::vector<uint32_t> allIds(const svl::ScanTree& tree) {
    std::vector<uint32_t> ids(tree.nodeCount);
    std::iota(ids.begin(), ids.end(), 0u);
    return ids;
}

std::vector<uint32_t> sorted(const svl::ScanTree& tree, std::vector<uint32_t> ids, FileSortColumn column,
                             bool descending, uint64_t limit = UINT64_MAX, bool newest = false,
                             const svl::DuplicateIndex* dups = nullptr) {
    svl::sortFileIds(tree, ids, column, descending, limit, newest, dups);
    return ids;
}

std::vector<std::string> namesOf(const svl::ScanTree& tree, const std::vector<uint32_t>& ids) {
    std::vector<std::string> names;
    for (uint32_t id : ids)
        names.emplace_back(tree.nodes[id].nameView());
    return names;
}

// The order sortFileIds must produce, computed the slow, obvious way: keys as strings or
// integers, compared with std::stable_sort over ids that start in ascending order.
std::vector<uint32_t> referenceOrder(const svl::ScanTree& tree, std::vector<uint32_t> ids, FileSortColumn column,
                                     bool descending) {
    std::sort(ids.begin(), ids.end());
    auto textKey = [&](uint32_t id) {
        return column == FileSortColumn::Path ? tree.fullPath(id) : std::string(tree.nodes[id].nameView());
    };
    if (column == FileSortColumn::Path || column == FileSortColumn::Name) {
        std::vector<std::string> keys(tree.nodeCount);
        for (uint32_t id : ids)
            keys[id] = textKey(id);
        std::stable_sort(ids.begin(), ids.end(), [&](uint32_t a, uint32_t b) {
            return descending ? keys[b] < keys[a] : keys[a] < keys[b];
        });
    } else {
        std::stable_sort(ids.begin(), ids.end(), [&](uint32_t a, uint32_t b) {
            const svl::ScanNode& x = tree.nodes[a];
            const svl::ScanNode& y = tree.nodes[b];
            return descending ? y.size < x.size : x.size < y.size;
        });
    }
    return ids;
}

}  // namespace

TEST(FileSortLimits, LimitCutsAndShortListsStay) {
    const BuiltTree t = buildTree({folder(-1, "/r"), file(0, "b", 2), file(0, "a", 1), file(0, "c", 3)});
    for (FileSortColumn column : {FileSortColumn::Name, FileSortColumn::Path, FileSortColumn::Size}) {
        EXPECT_TRUE(sorted(*t.tree, allIds(*t.tree), column, false, 0).empty());
        EXPECT_TRUE(sorted(*t.tree, {2}, column, false, 0).empty());
        EXPECT_EQ(sorted(*t.tree, {2}, column, true, 1), std::vector<uint32_t>{2});
        EXPECT_TRUE(sorted(*t.tree, {}, column, true, 5).empty());
    }
    EXPECT_EQ(sorted(*t.tree, {1, 2, 3}, FileSortColumn::Name, false, 2), (std::vector<uint32_t>{2, 1}));
    EXPECT_EQ(sorted(*t.tree, {1, 2, 3}, FileSortColumn::Size, true, 3), (std::vector<uint32_t>{3, 1, 2}));
    EXPECT_EQ(sorted(*t.tree, {1, 2, 3}, FileSortColumn::Size, true, 99), (std::vector<uint32_t>{3, 1, 2}));
}

TEST(FileSortNames, BytewiseOrderWithoutFolding) {
    const BuiltTree t = buildTree({folder(-1, "/r"), file(0, "a", 1), file(0, "B", 1), file(0, "b", 1),
                                   file(0, "ab", 1), file(0, "\xc3\xa9", 1), file(0, "file10", 1),
                                   file(0, "file2", 1)});
    const std::vector<uint32_t> ids{1, 2, 3, 4, 5, 6, 7};
    const std::vector<std::string> ascending{"B", "a", "ab", "b", "file10", "file2", "\xc3\xa9"};
    EXPECT_EQ(namesOf(*t.tree, sorted(*t.tree, ids, FileSortColumn::Name, false)), ascending);
    std::vector<std::string> descending(ascending.rbegin(), ascending.rend());
    EXPECT_EQ(namesOf(*t.tree, sorted(*t.tree, ids, FileSortColumn::Name, true)), descending);
}

TEST(FileSortNames, LongSharedPrefixesAndEqualNames) {
    const std::string p = "abcdefghijklmnopqrstuvwx";  // exactly 24 bytes
    const BuiltTree t = buildTree({folder(-1, "/r"), file(0, p + "b", 1), file(0, p, 1), file(0, p + "a", 1),
                                   file(0, p + "\xff", 1), file(0, "same", 1), file(0, "same", 1),
                                   file(0, p + "a", 1), file(0, "", 1)});
    const std::vector<uint32_t> ids{1, 2, 3, 4, 5, 6, 7, 8};
    // Equal names keep ascending ids in both directions.
    EXPECT_EQ(sorted(*t.tree, ids, FileSortColumn::Name, false), (std::vector<uint32_t>{8, 2, 3, 7, 1, 4, 5, 6}));
    EXPECT_EQ(sorted(*t.tree, ids, FileSortColumn::Name, true), (std::vector<uint32_t>{5, 6, 4, 1, 3, 7, 2, 8}));
}

TEST(FileSortNumbers, ColumnsAndDescendingTies) {
    const uint16_t F = svl::NodeFlag::Folder;
    BuiltTree t = buildTree({
        folder(-1, "/r"),                                        // 0
        Entry{0, "d", 0, 4096, 100, F},                          // 1 folder, newest below 900
        Entry{0, "x", 5, 8192, 300, 0},                          // 2
        Entry{0, "y", 5, 8192, 200, svl::NodeFlag::ExtraHardLink},  // 3
        Entry{0, ".h", 7, 4096, 200, svl::NodeFlag::ReadOnly},   // 4
        Entry{1, "z", 1, 4096, 900, svl::NodeFlag::System},      // 5
        Entry{1, "u", 0, 0, 0, svl::NodeFlag::Unreadable},       // 6 never examined
        Entry{1, "old", 0, 0, -100, 0},                          // 7 from 1969
    });
    const svl::ScanTree& tree = *t.tree;
    const std::vector<uint32_t> ids{1, 2, 3, 4, 5};
    // Size: folder holds its subtree (1); equal sizes keep ascending ids in both directions.
    EXPECT_EQ(sorted(tree, ids, FileSortColumn::Size, false), (std::vector<uint32_t>{1, 5, 2, 3, 4}));
    EXPECT_EQ(sorted(tree, ids, FileSortColumn::Size, true), (std::vector<uint32_t>{4, 2, 3, 1, 5}));
    // An unknown column sorts by size.
    EXPECT_EQ(sorted(tree, ids, FileSortColumn(42), true), (std::vector<uint32_t>{4, 2, 3, 1, 5}));
    EXPECT_EQ(sorted(tree, ids, FileSortColumn(-1), false), (std::vector<uint32_t>{1, 5, 2, 3, 4}));
    // Allocated: the further hard link counts as 0.
    EXPECT_EQ(sorted(tree, ids, FileSortColumn::Allocated, false), (std::vector<uint32_t>{3, 4, 5, 1, 2}));
    // Modified: the folder by its own time, or by the newest time below it.
    EXPECT_EQ(sorted(tree, ids, FileSortColumn::Modified, false, UINT64_MAX, false),
              (std::vector<uint32_t>{1, 3, 4, 2, 5}));
    EXPECT_EQ(sorted(tree, ids, FileSortColumn::Modified, false, UINT64_MAX, true),
              (std::vector<uint32_t>{3, 4, 2, 1, 5}));
    // A date never read sorts as the oldest, before one from 1969.
    const uint32_t never = t.idOf[6], old = t.idOf[7];
    EXPECT_EQ(sorted(tree, {old, never, 2}, FileSortColumn::Modified, false), (std::vector<uint32_t>{never, old, 2}));
    // Attributes: read-only 1 plus hidden 2 by the leading dot; system 4.
    EXPECT_EQ(svl::attributeBits(tree.nodes[4], true, tree.nodes[4].nameView()), 3u);
    EXPECT_EQ(sorted(tree, ids, FileSortColumn::Attributes, false), (std::vector<uint32_t>{1, 2, 3, 4, 5}));
    EXPECT_EQ(sorted(tree, ids, FileSortColumn::Attributes, true), (std::vector<uint32_t>{5, 4, 1, 2, 3}));
}

TEST(FileSortNumbers, DuplicateColumns) {
    BuiltTree t = buildTree({folder(-1, "/r"), folder(0, "d"), file(0, "a.txt", 10), file(0, "b.txt", 3),
                             file(1, "a.txt", 10), file(1, "a (2).txt", 10), file(1, "b.txt", 3), file(1, "c", 50)});
    const svl::ScanTree& tree = *t.tree;
    const std::vector<uint32_t> ids{2, 3, 4, 5, 6, 7};
    // Without an index every id has 0: ascending id order either way.
    EXPECT_EQ(sorted(tree, ids, FileSortColumn::DupCount, true), ids);
    EXPECT_EQ(sorted(tree, ids, FileSortColumn::DupSize, false), ids);
    const svl::DuplicateIndex dups = svl::detectDuplicates(tree, svl::DuplicateMethod::NameSize, nullptr, 0);
    ASSERT_EQ(dups.groups.size(), 2u);
    const auto id = [&](int e) { return t.idOf[size_t(e)]; };
    // Counts: a.txt ×3 → 2 each, b.txt ×2 → 1 each, c → 0.
    EXPECT_EQ(sorted(tree, ids, FileSortColumn::DupCount, true, UINT64_MAX, false, &dups),
              (std::vector<uint32_t>{id(2), id(4), id(5), id(3), id(6), id(7)}));
    // Sizes: a.txt 20 each, b.txt 3 each, c 0.
    EXPECT_EQ(sorted(tree, ids, FileSortColumn::DupSize, false, UINT64_MAX, false, &dups),
              (std::vector<uint32_t>{id(7), id(3), id(6), id(2), id(4), id(5)}));
}

TEST(FileSortPaths, ComparisonFollowsFullPathBytes) {
    const BuiltTree t = buildTree({
        folder(-1, "/x"),      // 0
        folder(0, "a"),        // 1
        file(0, "a-b", 1),     // 2
        file(1, "b", 1),       // 3
        file(0, "a0", 1),      // 4
        folder(0, "A"),        // 5
        file(0, "\xc3\xa9", 1),  // 6
        file(5, "z", 1),       // 7
        folder(1, "bb"),       // 8
        file(8, "c", 1),       // 9
        file(0, "ab", 1),      // 10
        file(1, "b", 1),       // 11 same path as 3
        file(1, "", 1),        // 12 empty name: "/x/a/"
        folder(0, ""),         // 13 "/x/"
        file(13, "q", 1),      // 14 "/x//q"
    });
    const svl::ScanTree& tree = *t.tree;
    const auto id = [&](int e) { return t.idOf[size_t(e)]; };
    EXPECT_EQ(tree.fullPath(id(3)), "/x/a/b");
    EXPECT_LT(svl::comparePaths(tree, id(2), id(3)), 0);   // "/x/a-b" < "/x/a/b"
    EXPECT_LT(svl::comparePaths(tree, id(3), id(4)), 0);   // "/x/a/b" < "/x/a0"
    EXPECT_LT(svl::comparePaths(tree, id(1), id(9)), 0);   // ancestor first
    EXPECT_GT(svl::comparePaths(tree, id(9), 0), 0);
    EXPECT_EQ(svl::comparePaths(tree, id(3), id(11)), 0);
    // Every pair agrees with comparing the built paths.
    for (uint32_t a = 0; a < tree.nodeCount; ++a)
        for (uint32_t b = 0; b < tree.nodeCount; ++b) {
            const int expected = tree.fullPath(a).compare(tree.fullPath(b));
            EXPECT_EQ(svl::comparePaths(tree, a, b), (expected > 0) - (expected < 0)) << a << " " << b;
        }
    const std::vector<uint32_t> ids = allIds(tree);
    EXPECT_EQ(sorted(tree, ids, FileSortColumn::Path, false), referenceOrder(tree, ids, FileSortColumn::Path, false));
    const std::vector<uint32_t> down = sorted(tree, ids, FileSortColumn::Path, true);
    EXPECT_EQ(down, referenceOrder(tree, ids, FileSortColumn::Path, true));
    // A folder comes last when descending; equal paths keep ascending ids.
    EXPECT_EQ(down.back(), 0u);
    const auto at = [&](uint32_t v) { return std::find(down.begin(), down.end(), v) - down.begin(); };
    EXPECT_LT(at(std::min(id(3), id(11))), at(std::max(id(3), id(11))));
}

TEST(FileSortPaths, SeveralRootsOneOfThemSlash) {
    const uint16_t virtualRoot = svl::NodeFlag::VirtualRoot;
    const BuiltTree t = buildTree({
        folder(-1, "Select Multiple", virtualRoot),  // 0
        folder(0, "/home"),                            // 1
        folder(0, "/"),                                // 2
        folder(0, "/home/u"),                          // 3
        file(1, "a", 1),                               // 4  /home/a
        folder(2, "etc"),                              // 5  /etc
        file(2, "home", 1),                            // 6  /home (same path as root 1)
        file(3, "b", 1),                               // 7  /home/u/b
        file(5, "passwd", 1),                          // 8  /etc/passwd
        folder(1, "u"),                                // 9  /home/u (same path as root 3)
        file(9, "a", 1),                               // 10 /home/u/a
        file(0, "/home-x", 1),                         // 11
    });
    const svl::ScanTree& tree = *t.tree;
    EXPECT_EQ(tree.fullPath(t.idOf[8]), "/etc/passwd");
    for (uint32_t a = 0; a < tree.nodeCount; ++a)
        for (uint32_t b = 0; b < tree.nodeCount; ++b) {
            const int expected = tree.fullPath(a).compare(tree.fullPath(b));
            EXPECT_EQ(svl::comparePaths(tree, a, b), (expected > 0) - (expected < 0))
                << tree.fullPath(a) << " vs " << tree.fullPath(b);
        }
    const std::vector<uint32_t> ids = allIds(tree);
    for (bool descending : {false, true})
        EXPECT_EQ(sorted(tree, ids, FileSortColumn::Path, descending),
                  referenceOrder(tree, ids, FileSortColumn::Path, descending));
}

TEST(FileSortRoads, TopNAgreesWithFullSortAtTheBoundary) {
    // With n ids the top-N road is taken when 8 x limit < n: n/8 - 1 takes it, n/8 does not.
    static_assert(kLargeNodes % 8 == 0);
    const BuiltTree t = makeLargeTree(kLargeNodes, 21);
    const svl::ScanTree& tree = *t.tree;
    const std::vector<uint32_t> ids = allIds(tree);
    const uint64_t boundary = kLargeNodes / 8;
    for (FileSortColumn column : {FileSortColumn::Size, FileSortColumn::Name}) {
        for (bool descending : {false, true}) {
            const std::vector<uint32_t> full = sorted(tree, ids, column, descending);
            if (descending == (column == FileSortColumn::Size)) {
                ASSERT_EQ(full, referenceOrder(tree, ids, column, descending));
            }
            for (uint64_t limit : {boundary - 1, boundary, uint64_t(1000)}) {
                const std::vector<uint32_t> top = sorted(tree, ids, column, descending, limit);
                ASSERT_EQ(top.size(), limit);
                EXPECT_TRUE(std::equal(top.begin(), top.end(), full.begin()))
                    << "column " << int(column) << " limit " << limit << " descending " << descending;
            }
        }
    }
    // Paths: a shorter list keeps this quick, the rule is the same (8 x k < n).
    std::vector<uint32_t> some(ids.begin(), ids.begin() + 80000);
    const std::vector<uint32_t> full = sorted(tree, some, FileSortColumn::Path, true);
    EXPECT_EQ(full, referenceOrder(tree, some, FileSortColumn::Path, true));
    for (uint64_t limit : {9999u, 10000u}) {
        const std::vector<uint32_t> top = sorted(tree, some, FileSortColumn::Path, true, limit);
        EXPECT_TRUE(std::equal(top.begin(), top.end(), full.begin())) << limit;
    }
}

TEST(FileSortRoads, ResultDoesNotDependOnThreadCount) {
    for (uint32_t nodes : {0u, 1u, 199999u, 200000u, kLargeNodes}) {
        const BuiltTree t = makeLargeTree(nodes, nodes + 9);
        const svl::ScanTree& tree = *t.tree;
        const std::vector<uint32_t> ids = allIds(tree);
        const svl::DuplicateIndex dups = svl::detectDuplicates(tree, svl::DuplicateMethod::NameSize, nullptr, 0);
        const FileSortColumn columns[] = {FileSortColumn::Name, FileSortColumn::Size, FileSortColumn::Modified,
                                          FileSortColumn::DupSize, FileSortColumn::Path};
        for (FileSortColumn column : columns) {
            // The largest tree takes long under the sanitizers; the smaller ones cover every column.
            if (nodes > 200000 && column != FileSortColumn::Size && column != FileSortColumn::Name)
                continue;
            std::vector<uint32_t> reference;
            {
                svl::ScopedHardwareThreads one(1);
                reference = sorted(tree, ids, column, true, UINT64_MAX, true, &dups);
            }
            ASSERT_EQ(reference.size(), ids.size());
            for (int threads : {2, 8, 64}) {
                svl::ScopedHardwareThreads forced(threads);
                EXPECT_EQ(sorted(tree, ids, column, true, UINT64_MAX, true, &dups), reference)
                    << nodes << " nodes, column " << int(column) << ", " << threads << " threads";
            }
        }
    }
}
